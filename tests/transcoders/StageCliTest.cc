// zanstream demux and redecode, run as a user runs them: the real program
// loading the real plug-in library, on media made by the ffmpeg tool (see
// tests/common/TestMedia.h for the commands). Their JSON summaries are read
// with Qt's strict parser and compared with what a decoding core opened on
// the same file delivers.
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/common/TestMedia.h"
#include "tests/common/TestSupport.h"
#include "tests/transcoders/StageTestSupport.h"

namespace zan {
namespace {

using test::Frames;
using test::Media;
using test::ProcessResult;

constexpr uint64_t kPictureBytes = 160 * 120 * 2;

ProcessResult zanstream(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), ZANSTREAM_PATH);
  return test::runProcess(arguments);
}

// The JSON object on the last line of |text|.
QJsonObject lastJsonObject(const std::string& text) {
  std::string line = text;
  while (!line.empty() && line.back() == '\n') line.pop_back();
  const auto newline = line.find_last_of('\n');
  if (newline != std::string::npos) line = line.substr(newline + 1);
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << " in: " << line;
  EXPECT_TRUE(document.isObject()) << line;
  return document.object();
}

uint64_t u64(const QJsonValue& value) { return static_cast<uint64_t>(value.toDouble(-1)); }

// What a core opened on the file delivers.
const Frames& fileFrames(Media media) {
  static std::map<Media, Frames> cache;
  auto found = cache.find(media);
  if (found != cache.end()) return found->second;
  FFMpegDecoderCore core;
  EXPECT_EQ(core.init(test::mediaPath(media), test::mediaRecipe(media).extension), 0);
  return cache[media] = test::readCore(core);
}

// One stream of a summary against the frames a core delivered, times
// counted from the stream's first frame.
void expectStream(const QJsonObject& summary, const char* name, const std::vector<test::Frame>& expected) {
  SCOPED_TRACE(name);
  ASSERT_TRUE(summary[name].isObject()) << name << " is not an object";
  const QJsonObject stream = summary[name].toObject();
  ASSERT_FALSE(expected.empty());
  uint64_t bytes = 0, keys = 0;
  for (const test::Frame& frame : expected) {
    bytes += frame.size;
    keys += frame.key ? 1 : 0;
  }
  EXPECT_EQ(u64(stream["frames"]), expected.size());
  EXPECT_EQ(u64(stream["first_us"]), 0u);
  // Within a millisecond: FFmpeg times the audio of an unseekable stream by
  // counting frames.
  EXPECT_NEAR(static_cast<double>(u64(stream["last_us"])),
              static_cast<double>(expected.back().time - expected.front().time), 1000.0);
  EXPECT_EQ(u64(stream["bytes"]), bytes);
  EXPECT_EQ(u64(stream["key_frames"]), keys);
}

bool inputPluginAnswers() {
  const ProcessResult plugins = zanstream({"plugins"});
  return plugins.exitCode == 0 && plugins.out.find("FFMpegInput yes\n") != std::string::npos;
}

TEST(StageCliTest, DemuxSummarisesWhatTheFileHolds) {
  const std::string path = test::mediaPath(Media::kMpegTsH264Aac);
  const Frames& expected = fileFrames(Media::kMpegTsH264Aac);
  struct Case {
    std::vector<std::string> options;
  } cases[] = {
      {{}},                                  // 1316-byte packets, format from the extension
      {{"--chunk", "100000"}},               // packets larger than any read
      {{"--format", "mpegts", "--chunk", "777"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {"demux", path, "--json"};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    SCOPED_TRACE(arguments.size());
    const ProcessResult run = zanstream(arguments);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const QJsonObject json = lastJsonObject(run.out);
    EXPECT_EQ(json["location"].toString().toStdString(), path);
    EXPECT_TRUE(json["elapsed_ms"].isDouble());
    expectStream(json, "video", expected.video);
    expectStream(json, "audio", expected.audio);
    EXPECT_EQ(u64(json["video"].toObject()["bytes"]), expected.video.size() * kPictureBytes);
  }
  const ProcessResult text = zanstream({"demux", path});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_NE(text.out.find("demuxed   " + path + " (ts, 1316-byte packets)\n  audio: "), std::string::npos) << text.out;
}

TEST(StageCliTest, DemuxFailuresAreClearErrors) {
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    std::string message;
  } cases[] = {
      {{"demux", test::mediaPath(Media::kRandomBytes), "--json", "--format", "mpegts"},
       1,
       "could not be demuxed as 'mpegts' (see FFMpegDemuxer.log)"},
      {{"demux", "/nonexistent/stream.ts"}, 1, "cannot read /nonexistent/stream.ts"},
      {{"demux"}, 2, "missing FILE"},
      {{"demux", "a.ts", "b.ts"}, 2, "one FILE only"},
      {{"demux", "a.ts", "--chunk", "0"}, 2, "option --chunk needs a whole number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const ProcessResult run = zanstream(c.arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find('{'), std::string::npos) << run.out;
  }
}

TEST(StageCliTest, RedecodeSummarisesTheDecodedFrames) {
  if (!inputPluginAnswers()) GTEST_SKIP() << "the plug-in library answers no input plug-in (FFMpegInput) yet";
  const std::string path = test::mediaPath(Media::kMpegTsH264Aac);
  const Frames& expected = fileFrames(Media::kMpegTsH264Aac);
  const ProcessResult run = zanstream({"redecode", path, "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const QJsonObject json = lastJsonObject(run.out);
  EXPECT_EQ(json["location"].toString().toStdString(), path);
  // Pictures are counted out at 25 fps from 0 and sound blocks follow one
  // another; the counts, sizes and key pictures are the file's.
  expectStream(json, "video", expected.video);
  expectStream(json, "audio", expected.audio);
  EXPECT_EQ(u64(json["video"].toObject()["bytes"]), expected.video.size() * kPictureBytes);
}

TEST(StageCliTest, RedecodeFailuresAreClearErrors) {
  if (!inputPluginAnswers()) GTEST_SKIP() << "the plug-in library answers no input plug-in (FFMpegInput) yet";
  const ProcessResult missing = zanstream({"redecode", "/nonexistent/medium.mp4", "--json"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("error "), std::string::npos) << missing.err;
  EXPECT_EQ(missing.out.find('{'), std::string::npos) << missing.out;
  const ProcessResult usage = zanstream({"redecode"});
  EXPECT_EQ(usage.exitCode, 2);
  EXPECT_NE(usage.err.find("missing LOCATION"), std::string::npos) << usage.err;
}

}  // namespace
}  // namespace zan
