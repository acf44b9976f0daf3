// zanstream demux and redecode as a user runs them: the real program
// loading the real plug-in library. What the program adds is checked
// (options, exit codes, the JSON summary), the counts against ffprobe.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/common/CliJson.h"
#include "tests/common/MediaProbe.h"
#include "tests/common/TestMedia.h"
#include "tests/common/TestSupport.h"

namespace zan::test {
namespace {

ProcessResult zanstream(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), ZANSTREAM_PATH);
  return runProcess(arguments);
}

TEST(StageCliTest, DemuxAndRedecodeSummariseWhatTheFileHolds) {
  const std::string path = mediaPath(Media::kMpegTsH264Aac);
  const ProbeResult probe = probeMedia(path);
  const std::vector<std::vector<std::string>> runs = {
      {"demux", path, "--json"},  // format from the extension
      {"demux", path, "--json", "--format", "mpegts", "--chunk", "777"},
      {"redecode", path, "--json"},
  };
  uint64_t audioBytes = 0;
  for (const auto& arguments : runs) {
    SCOPED_TRACE(arguments.size());
    const ProcessResult run = zanstream(arguments);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const QJsonObject json = lastJsonObject(run.out);
    EXPECT_EQ(json["location"].toString().toStdString(), path);
    // Frame times and sizes are the stages' and the core's tests.
    for (const char* kind : {"video", "audio"})
      EXPECT_EQ(json[kind]["frames"].toInt(), probe.frameCount(probe.first(kind)->index)) << kind;
    if (audioBytes == 0) audioBytes = u64(json["audio"]["bytes"]);
    EXPECT_EQ(u64(json["audio"]["bytes"]), audioBytes);
  }
}

TEST(StageCliTest, FailuresAreExitCodesWithoutASummary) {
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
  } cases[] = {
      {{"demux", mediaPath(Media::kRandomBytes), "--json", "--format", "mpegts"}, 1},
      {{"demux", "/nonexistent/stream.ts", "--json"}, 1},
      {{"redecode", "/nonexistent/medium.mp4", "--json"}, 1},
      {{"demux", "a.ts", "b.ts"}, 2},
      {{"demux", "a.ts", "--chunk", "0"}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments[0] + " " + std::to_string(c.arguments.size()));
    const ProcessResult run = zanstream(c.arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_FALSE(run.err.empty());
    EXPECT_EQ(run.out.find('{'), std::string::npos) << run.out;
  }
}

}  // namespace
}  // namespace zan::test
