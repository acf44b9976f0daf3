// The zanstream program end to end, as a user runs it.
#include <gtest/gtest.h>

#include <string>

#include "tests/common/TestSupport.h"

namespace {

using zan::test::runProcess;

TEST(ZanstreamCliTest, PluginsListsEveryNameOnce) {
  const auto result = runProcess({ZANSTREAM_PATH, "plugins"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const char* names[] = {"FFMpegInput", "FFMpegDecoder", "FFMpegDemuxer", "FFMpegEncoder", "FFMpegAudioResampler"};
  std::string expectedShape;
  size_t at = 0;
  for (const char* name : names) {
    const std::string prefix = std::string(name) + " ";
    ASSERT_EQ(result.out.compare(at, prefix.size(), prefix), 0) << result.out;
    at += prefix.size();
    const bool yes = result.out.compare(at, 4, "yes\n") == 0;
    const bool no = result.out.compare(at, 3, "no\n") == 0;
    ASSERT_TRUE(yes || no) << result.out;
    at += yes ? 4 : 3;
  }
  EXPECT_EQ(at, result.out.size());
}

TEST(ZanstreamCliTest, ExplicitLibraryPathIsUsed) {
  const auto result = runProcess({ZANSTREAM_PATH, "--library", ZAN_PLUGIN_PATH, "plugins"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const auto after = runProcess({ZANSTREAM_PATH, "plugins", "--library", ZAN_PLUGIN_PATH});
  EXPECT_EQ(after.exitCode, 0) << after.err;
  EXPECT_EQ(after.out, result.out);
}

TEST(ZanstreamCliTest, UnloadableLibraryIsAClearError) {
  const auto missing = runProcess({ZANSTREAM_PATH, "--library", "/nonexistent/libnothing.so", "plugins"});
  EXPECT_NE(missing.exitCode, 0);
  EXPECT_NE(missing.err.find("cannot load plug-in library /nonexistent/libnothing.so"), std::string::npos)
      << missing.err;
  EXPECT_TRUE(missing.out.empty());
}

TEST(ZanstreamCliTest, LibraryWithoutFactoriesIsAClearError) {
  const auto result = runProcess({ZANSTREAM_PATH, "--library", "libm.so.6", "plugins"});
  // A bare name is looked for in the working folder, not the system paths.
  EXPECT_NE(result.exitCode, 0);
  const auto lacking = runProcess({ZANSTREAM_PATH, "--library", "/lib/x86_64-linux-gnu/libm.so.6", "plugins"});
  EXPECT_NE(lacking.exitCode, 0);
  EXPECT_NE(lacking.err.find("lacks the InputPluginFactory function"), std::string::npos) << lacking.err;
}

TEST(ZanstreamCliTest, HelpAndUsageErrors) {
  const auto overview = runProcess({ZANSTREAM_PATH, "--help"});
  EXPECT_EQ(overview.exitCode, 0);
  EXPECT_NE(overview.out.find("usage: zanstream"), std::string::npos);
  EXPECT_NE(overview.out.find("plugins"), std::string::npos);

  const auto commandHelp = runProcess({ZANSTREAM_PATH, "plugins", "--help"});
  EXPECT_EQ(commandHelp.exitCode, 0);
  EXPECT_NE(commandHelp.out.find("usage: zanstream plugins"), std::string::npos);

  const auto unknown = runProcess({ZANSTREAM_PATH, "frobnicate"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_NE(unknown.err.find("unknown command 'frobnicate'"), std::string::npos);

  const auto badOption = runProcess({ZANSTREAM_PATH, "plugins", "--bogus"});
  EXPECT_EQ(badOption.exitCode, 2);
  EXPECT_NE(badOption.err.find("unknown option --bogus"), std::string::npos);
}

}  // namespace
