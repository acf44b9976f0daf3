// The plug-in library as the engine sees it: loaded with dlopen, exporting
// exactly its two factories, which know their names exactly.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "tests/common/Harness.h"
#include "tests/common/TestSupport.h"

namespace zan::test {
namespace {

TEST(PluginLibraryTest, ExportsOnlyTheTwoFactories) {
  const ProcessResult nm = runProcess({"nm", "-D", "--defined-only", ZAN_PLUGIN_PATH});
  ASSERT_EQ(nm.exitCode, 0) << nm.err;
  std::set<std::string> symbols;
  std::istringstream lines(nm.out);
  for (std::string address, type, name; lines >> address >> type >> name;) symbols.insert(name);
  EXPECT_EQ(symbols, (std::set<std::string>{"InputPluginFactory", "TranscoderPluginFactory"})) << nm.out;
}

TEST(PluginLibraryTest, FactoriesKnowExactNamesAndMakeANewObjectEachCall) {
  const TranscoderPluginFactoryFn transcoder = transcoderFactory(ZAN_PLUGIN_PATH);
  const InputPluginFactoryFn input = inputFactory(ZAN_PLUGIN_PATH);
  ASSERT_NE(transcoder, nullptr);
  ASSERT_NE(input, nullptr);
  for (const char* name : {"ffmpegdecoder", "", "FFMpegInput", "FFMpegDecoder ", " FFMpegDemuxer",
                           "FFMpegAudioResample", "FFMpegAudioResampler2"})
    EXPECT_EQ(transcoder(name), nullptr) << name;
  EXPECT_EQ(transcoder(nullptr), nullptr);
  for (const char* name : {"FFMpegDecoder", "FFMpegDemuxer", "FFMpegEncoder", "FFMpegAudioResampler"}) {
    std::unique_ptr<streamer::TranscoderPluginInterface> first(transcoder(name));
    std::unique_ptr<streamer::TranscoderPluginInterface> second(transcoder(name));
    EXPECT_TRUE(!first || first.get() != second.get()) << name;
  }
  std::unique_ptr<streamer::InputPluginInterface> a(input());
  std::unique_ptr<streamer::InputPluginInterface> b(input());
  ASSERT_NE(a, nullptr);
  EXPECT_NE(a.get(), b.get());
}

}  // namespace
}  // namespace zan::test
