// The zanstream program's plug-in loading and command dispatch, as a user
// runs it: what it lists, the library it loads, and its exit codes.
#include <gtest/gtest.h>

#include <string>

#include "tests/common/TestSupport.h"

namespace {

using zan::test::runProcess;

TEST(ZanstreamCliTest, PluginsListsEveryNameOnceWhereverTheLibraryOptionStands) {
  const auto result = runProcess({ZANSTREAM_PATH, "--library", ZAN_PLUGIN_PATH, "plugins"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  std::string expected;
  for (const char* name : {"FFMpegInput", "FFMpegDecoder", "FFMpegDemuxer", "FFMpegEncoder", "FFMpegAudioResampler"}) {
    const std::string line = std::string(name) + (result.out.find(std::string(name) + " yes\n") != std::string::npos
                                                      ? " yes\n"
                                                      : " no\n");
    expected += line;
  }
  EXPECT_EQ(result.out, expected);
  EXPECT_EQ(runProcess({ZANSTREAM_PATH, "plugins", "--library", ZAN_PLUGIN_PATH}).out, result.out);
  EXPECT_EQ(runProcess({ZANSTREAM_PATH, "plugins"}).out, result.out);
}

TEST(ZanstreamCliTest, LibrariesThatCannotServeAreClearErrors) {
  for (const char* library : {"/nonexistent/libnothing.so", "libm.so.6", "/lib/x86_64-linux-gnu/libm.so.6"}) {
    const auto result = runProcess({ZANSTREAM_PATH, "--library", library, "plugins"});
    EXPECT_NE(result.exitCode, 0) << library;
    EXPECT_NE(result.err.find(library), std::string::npos) << result.err;
    EXPECT_TRUE(result.out.empty()) << library;
  }
}

TEST(ZanstreamCliTest, HelpAndUsageErrors) {
  const auto help = runProcess({ZANSTREAM_PATH, "decode", "--json", "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind("usage: zanstream decode", 0), 0u) << help.out;
  EXPECT_EQ(runProcess({ZANSTREAM_PATH, "--help"}).exitCode, 0);
  EXPECT_EQ(runProcess({ZANSTREAM_PATH, "frobnicate"}).exitCode, 2);
  EXPECT_EQ(runProcess({ZANSTREAM_PATH, "plugins", "--bogus"}).exitCode, 2);
}

}  // namespace
