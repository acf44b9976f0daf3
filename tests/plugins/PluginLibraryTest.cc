// The plug-in library as the engine sees it: loaded with dlopen, its two
// factories knowing their names exactly.
#include <gtest/gtest.h>

#include <memory>

#include "tests/common/Harness.h"

namespace zan::test {
namespace {

// Every name is matched exactly (the command-line test lists the names that
// make a stage); no name, or a near one, makes nothing; each call makes a
// new object, never a shared one.
TEST(PluginLibraryTest, FactoriesKnowExactNamesAndMakeANewObjectEachCall) {
  const TranscoderPluginFactoryFn transcoder = transcoderFactory(ZAN_PLUGIN_PATH);
  const InputPluginFactoryFn input = inputFactory(ZAN_PLUGIN_PATH);
  ASSERT_TRUE(transcoder && input);
  for (const char* name : {static_cast<const char*>(nullptr), "", "ffmpegdecoder", "FFMpegDecoder ", "FFMpegInput"})
    EXPECT_EQ(transcoder(name), nullptr) << (name ? name : "null");
  std::unique_ptr<streamer::TranscoderPluginInterface> first(transcoder("FFMpegDecoder")), second(transcoder("FFMpegDecoder"));
  EXPECT_TRUE(first && first.get() != second.get());
  std::unique_ptr<streamer::InputPluginInterface> a(input()), b(input());
  EXPECT_TRUE(a && a.get() != b.get());
}

}  // namespace
}  // namespace zan::test
