// The plug-in library as the engine sees it: loaded with dlopen, exporting
// exactly its two factories.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "tests/common/TestSupport.h"
#include "zan/streamer/PluginInterfaces.h"

namespace {

TEST(PluginLibraryTest, ExportsOnlyTheTwoFactories) {
  const zan::test::ProcessResult nm = zan::test::runProcess({"nm", "-D", "--defined-only", ZAN_PLUGIN_PATH});
  ASSERT_EQ(nm.exitCode, 0) << nm.err;
  std::set<std::string> symbols;
  std::istringstream lines(nm.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string address, type, name;
    fields >> address >> type >> name;
    if (name.empty()) continue;  // a line without an address
    symbols.insert(name);
  }
  EXPECT_EQ(symbols, (std::set<std::string>{"InputPluginFactory", "TranscoderPluginFactory"})) << nm.out;
}

class FactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(ZAN_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    transcoder_ = reinterpret_cast<TranscoderPluginFactoryFn>(dlsym(handle_, "TranscoderPluginFactory"));
    input_ = reinterpret_cast<InputPluginFactoryFn>(dlsym(handle_, "InputPluginFactory"));
    ASSERT_NE(transcoder_, nullptr);
    ASSERT_NE(input_, nullptr);
  }
  void TearDown() override {
    if (handle_) dlclose(handle_);
  }
  void* handle_ = nullptr;
  TranscoderPluginFactoryFn transcoder_ = nullptr;
  InputPluginFactoryFn input_ = nullptr;
};

TEST_F(FactoryTest, NamesAreExactAndCaseSensitive) {
  for (const char* name : {"ffmpegdecoder", "FFMPEGDECODER", "", "FFMpegInput", "FFMpegDecoder ", " FFMpegDemuxer",
                           "FFMpegAudioResample", "FFMpegAudioResampler2"}) {
    EXPECT_EQ(transcoder_(name), nullptr) << name;
  }
  EXPECT_EQ(transcoder_(nullptr), nullptr);
}

TEST_F(FactoryTest, EveryCallReturnsANewObject) {
  for (const char* name : {"FFMpegDecoder", "FFMpegDemuxer", "FFMpegEncoder", "FFMpegAudioResampler"}) {
    std::unique_ptr<zan::streamer::TranscoderPluginInterface> first(transcoder_(name));
    std::unique_ptr<zan::streamer::TranscoderPluginInterface> second(transcoder_(name));
    if (first) {
      EXPECT_NE(first.get(), second.get()) << name;
    }
  }
  std::unique_ptr<zan::streamer::InputPluginInterface> a(input_());
  std::unique_ptr<zan::streamer::InputPluginInterface> b(input_());
  if (a) {
    EXPECT_NE(a.get(), b.get());
  }
}

}  // namespace
