// zanstream probe, decode and the built-in demo, run as a user runs them:
// the real program loading the real plug-in library, on media made by the
// ffmpeg tool. Outputs are checked against what ffprobe and ffmpeg say
// about the same files.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/MediaProbe.h"
#include "tests/common/TestMedia.h"
#include "tests/common/TestSupport.h"
#include "tests/network/TestHttpServer.h"

namespace {

using zan::test::Media;
using zan::test::mediaPath;
using zan::test::ProcessResult;
using zan::test::readFile;
using zan::test::runProcess;
using zan::test::TemporaryFolder;

ProcessResult zanstream(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), ZANSTREAM_PATH);
  return runProcess(arguments);
}

// The JSON object on the last line of |text|; fails the test when that
// line is not one.
const QJsonObject lastJsonObject(const std::string& text) {
  std::string line = text;
  while (!line.empty() && line.back() == '\n') line.pop_back();
  line = line.substr(line.find_last_of('\n') == std::string::npos ? 0 : line.find_last_of('\n') + 1);
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << " in: " << line;
  EXPECT_TRUE(document.isObject()) << line;
  return document.object();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) out.push_back(line);
  return out;
}

uint64_t u64(const QJsonValue& value) { return static_cast<uint64_t>(value.toDouble(-1)); }

// Every key of |object| is present and of the JSON type given.
void expectMembers(const QJsonObject& object, const std::vector<std::pair<const char*, QJsonValue::Type>>& members,
                   const char* where) {
  for (const auto& [name, type] : members) {
    ASSERT_TRUE(object.contains(name)) << where << " lacks " << name;
    EXPECT_EQ(object.value(name).type(), type) << where << "." << name;
  }
  EXPECT_EQ(static_cast<size_t>(object.size()), members.size()) << where << " has other members";
}

constexpr auto kString = QJsonValue::String;
constexpr auto kNumber = QJsonValue::Double;
constexpr auto kBool = QJsonValue::Bool;
constexpr auto kObject = QJsonValue::Object;

TEST(ProbeCliTest, JsonDescribesMediumAndStreamsAsFfprobeSees) {
  struct Case {
    Media media;
    bool video, audio;
  };
  const Case cases[] = {
      {Media::kMp4H264Aac, true, true},
      {Media::kMkvH264Vorbis, true, true},
      {Media::kMp3Audio, false, true},
  };
  for (const Case& c : cases) {
    const std::string path = mediaPath(c.media);
    SCOPED_TRACE(path);
    const zan::test::ProbeResult probe = zan::test::probeMedia(path);
    const ProcessResult run = zanstream({"probe", path, "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_EQ(lines(run.out).size(), 1u) << "one JSON object, one line: " << run.out;
    const QJsonObject json = lastJsonObject(run.out);
    expectMembers(json, {{"location", kString}, {"medium", kObject}, {"input", kObject}, {"output", kObject}}, "probe");
    EXPECT_EQ(json["location"].toString().toStdString(), path);

    const QJsonObject medium = json["medium"].toObject();
    expectMembers(medium,
                  {{"title", kString}, {"author", kString}, {"duration_ms", kNumber}, {"size", kNumber},
                   {"bitrate", kNumber}, {"seekable", kBool}, {"live", kBool}},
                  "medium");
    EXPECT_NEAR(medium["duration_ms"].toDouble(), probe.duration * 1000, 100);
    EXPECT_EQ(u64(medium["size"]), std::filesystem::file_size(path));
    EXPECT_GT(medium["bitrate"].toDouble(), 0);
    EXPECT_TRUE(medium["seekable"].toBool());
    EXPECT_FALSE(medium["live"].toBool());

    const QJsonObject input = json["input"].toObject();
    const QJsonObject output = json["output"].toObject();
    ASSERT_TRUE(input["format"].isString());
    EXPECT_FALSE(input["format"].toString().isEmpty());
    if (c.video) {
      const zan::test::ProbeStream& stream = *probe.first("video");
      const QJsonObject in = input["video"].toObject();
      expectMembers(in,
                    {{"codec", kString}, {"width", kNumber}, {"height", kNumber}, {"frame_rate", kNumber},
                     {"bitrate", kNumber}},
                    "input.video");
      EXPECT_EQ(in["codec"].toString().toStdString(), stream.codec);
      EXPECT_EQ(in["width"].toInt(), stream.width);
      EXPECT_EQ(in["height"].toInt(), stream.height);
      EXPECT_DOUBLE_EQ(in["frame_rate"].toDouble(), 25.0);
      const QJsonObject out = output["video"].toObject();
      expectMembers(out,
                    {{"codec", kString}, {"width", kNumber}, {"height", kNumber}, {"frame_rate", kNumber},
                     {"pixel_format", kNumber}, {"frame_size", kNumber}, {"bitrate", kNumber}},
                    "output.video");
      EXPECT_EQ(out["codec"].toString(), "raw");
      EXPECT_EQ(out["pixel_format"].toInt(), 5);
      EXPECT_EQ(out["frame_size"].toInt(), out["width"].toInt() * out["height"].toInt() * 2);
    } else {
      EXPECT_TRUE(input["video"].isNull());
      EXPECT_TRUE(output["video"].isNull());
    }
    if (c.audio) {
      const zan::test::ProbeStream& stream = *probe.first("audio");
      const QJsonObject in = input["audio"].toObject();
      expectMembers(in, {{"codec", kString}, {"sample_rate", kNumber}, {"channels", kNumber}, {"bitrate", kNumber}},
                    "input.audio");
      EXPECT_EQ(in["sample_rate"].toInt(), stream.sampleRate);
      EXPECT_EQ(in["channels"].toInt(), stream.channels);
      const QJsonObject out = output["audio"].toObject();
      expectMembers(out,
                    {{"codec", kString}, {"sample_rate", kNumber}, {"channels", kNumber},
                     {"bits_per_sample", kNumber}, {"bitrate", kNumber}},
                    "output.audio");
      EXPECT_EQ(out["codec"].toString(), "raw");
      const int bits = out["bits_per_sample"].toInt();
      EXPECT_TRUE(bits == 8 || bits == 16 || bits == 32) << bits;
      EXPECT_EQ(out["bitrate"].toInt(), out["sample_rate"].toInt() * out["channels"].toInt() * bits);
    } else {
      EXPECT_TRUE(input["audio"].isNull());
      EXPECT_TRUE(output["audio"].isNull());
    }
  }
}

TEST(ProbeCliTest, SkippedStreamIsDescribedAsStored) {
  const std::string path = mediaPath(Media::kMp4H264Aac);
  const ProcessResult run = zanstream({"probe", path, "--json", "--skip-audio"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const QJsonObject json = lastJsonObject(run.out);
  EXPECT_EQ(json["output"]["audio"]["codec"].toString(), json["input"]["audio"]["codec"].toString());
  EXPECT_EQ(json["output"]["audio"]["codec"].toString(), "aac");
  EXPECT_EQ(json["output"]["video"]["codec"].toString(), "raw");
}

// The input's error and its cause reach the user; a medium without audio
// or video (subtitles alone) fails like one that does not open.
TEST(ProbeDecodeCliTest, MediumThatDoesNotOpenIsErrorOneAndSaysWhy) {
  TemporaryFolder folder;
  const std::string subtitles = folder.file("subtitles.srt");
  zan::test::writeFile(subtitles, "1\n00:00:00,000 --> 00:00:01,000\nhello\n\n");
  struct Case {
    std::string path;
    std::string expected;  // in stderr; COMMAND stands for the command
  };
  const std::vector<Case> cases{
      {folder.file("missing.mp4"), "error 2: FFMpeg input: File could not be rendered. (no such file)\n"},
      {mediaPath(Media::kRandomBytes), "error 2: FFMpeg input: File could not be rendered. (not a media stream)\n"},
      {subtitles, "zanstream COMMAND: no audio or video stream\n"},
  };
  for (const std::string command : {"probe", "decode"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(command + " " + c.path);
      const ProcessResult run = zanstream({command, c.path, "--json"});
      EXPECT_EQ(run.exitCode, 1);
      const std::string expected = std::regex_replace(c.expected, std::regex("COMMAND"), command);
      EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
      EXPECT_EQ(run.out, "");
    }
  }
}

TEST(ProbeDecodeCliTest, BadOptionsAreUsageErrors) {
  const std::string path = mediaPath(Media::kMp4H264Aac);
  struct Case {
    std::vector<std::string> arguments;
    const char* message;
  };
  const Case cases[] = {
      {{"probe"}, "missing LOCATION"},
      {{"decode"}, "missing LOCATION"},
      {{"decode", "--json"}, "missing LOCATION"},
      {{"probe", path, path}, "one LOCATION only"},
      {{"decode", path, "--seek", "abc"}, "option --seek needs a whole number"},
      {{"decode", path, "--seek", "-5"}, "option --seek needs a whole number"},
      {{"decode", path, "--seek"}, "option --seek needs a value"},
      {{"decode", path, "--reset", "1.5"}, "option --reset needs a whole number"},
      {{"decode", path, "--max-frames", "0"}, "option --max-frames needs a whole number"},
      {{"decode", path, "--mode", "fast"}, "unknown --mode 'fast'"},
      {{"decode", path, "--video-out="}, "option --video-out needs a file name"},
      {{"probe", path, "--duration", "10s"}, "option --duration needs a whole number"},
      {{"probe", path, "--seek", "5"}, "unknown option --seek"},
      {{"decode", path, "--bogus"}, "unknown option --bogus"},
      {{"demo", path}, "takes no arguments"},
  };
  for (const Case& c : cases) {
    const ProcessResult run = zanstream(c.arguments);
    std::string shown;
    for (const auto& argument : c.arguments) shown += argument + " ";
    EXPECT_EQ(run.exitCode, 2) << shown;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << shown << "\n" << run.err;
    EXPECT_EQ(run.out, "") << shown;
  }
}

TEST(ProbeDecodeCliTest, EveryCommandHasHelp) {
  for (const std::string command : {"probe", "decode", "demo"}) {
    const ProcessResult run = zanstream({command, "--help"});
    EXPECT_EQ(run.exitCode, 0) << command;
    EXPECT_EQ(run.out.rfind("usage: zanstream " + command, 0), 0u) << run.out;
  }
  const ProcessResult overview = zanstream({"--help"});
  for (const char* command : {"demo", "plugins", "probe", "decode"})
    EXPECT_NE(overview.out.find(std::string("  ") + command + " "), std::string::npos) << overview.out;
}

TEST(DecodeCliTest, SummaryCountsWhatFfprobeDecodes) {
  const std::string path = mediaPath(Media::kMp4H264Aac);
  const zan::test::ProbeResult probe = zan::test::probeMedia(path);
  const int videoIndex = probe.first("video")->index;
  const int audioIndex = probe.first("audio")->index;
  const ProcessResult run = zanstream({"decode", path, "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ASSERT_EQ(lines(run.out).size(), 1u) << run.out;
  const QJsonObject json = lastJsonObject(run.out);
  const std::vector<std::pair<const char*, QJsonValue::Type>> streamMembers = {
      {"frames", kNumber}, {"first_us", kNumber}, {"last_us", kNumber}, {"bytes", kNumber}, {"key_frames", kNumber}};
  expectMembers(json["video"].toObject(), streamMembers, "video");
  expectMembers(json["audio"].toObject(), streamMembers, "audio");

  const QJsonObject video = json["video"].toObject();
  const std::vector<uint64_t> videoTimes = probe.frameTimes(videoIndex);
  EXPECT_EQ(video["frames"].toInt(), probe.frameCount(videoIndex));
  EXPECT_EQ(video["key_frames"].toInt(), probe.keyFrameCount(videoIndex));
  EXPECT_EQ(u64(video["first_us"]), videoTimes.front());
  EXPECT_EQ(u64(video["last_us"]), videoTimes.back());
  EXPECT_EQ(u64(video["bytes"]), static_cast<uint64_t>(video["frames"].toInt()) * 160 * 120 * 2);

  const QJsonObject audio = json["audio"].toObject();
  EXPECT_EQ(audio["frames"].toInt(), probe.frameCount(audioIndex));
  EXPECT_EQ(u64(audio["first_us"]), 0u);
  EXPECT_NEAR(audio["last_us"].toDouble(), 4e6, 50000);
  // 32-bit stereo samples of every decoded AAC frame.
  EXPECT_EQ(u64(audio["bytes"]), static_cast<uint64_t>(probe.sampleCount(audioIndex)) * 2 * 4);

  ASSERT_TRUE(json["elapsed_ms"].isDouble());
  EXPECT_GE(json["elapsed_ms"].toDouble(), 0);
  // The position is that of the last frame delivered, of either stream.
  const uint64_t position = u64(json["position_ms"]);
  EXPECT_TRUE(position == u64(video["last_us"]) / 1000 || position == u64(audio["last_us"]) / 1000) << position;
  EXPECT_TRUE(json["events"].isArray());
  EXPECT_TRUE(json["events"].toArray().isEmpty());
}

TEST(DecodeCliTest, FrameLinesHaveTheDocumentedForm) {
  const std::string path = mediaPath(Media::kMp4H264Aac);
  const ProcessResult run = zanstream({"decode", path, "--frames", "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::vector<std::string> all = lines(run.out);
  ASSERT_GT(all.size(), 1u);
  const QJsonObject summary = lastJsonObject(run.out);
  const std::regex form("(audio|video) ([0-9]+|nopts) ([0-9]+|nopts) ([0-9]+) ([01])");
  int videoFrames = 0, audioFrames = 0, videoKeys = 0;
  uint64_t previousVideo = 0;
  for (size_t i = 0; i + 1 < all.size(); ++i) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(all[i], match, form)) << "line " << i << ": " << all[i];
    if (match[1] == "video") {
      ++videoFrames;
      videoKeys += match[5] == "1";
      EXPECT_EQ(match[4], "38400");
      EXPECT_EQ(match[3], "40000");
      const uint64_t time = std::stoull(match[2]);
      if (videoFrames > 1) {
        EXPECT_GT(time, previousVideo) << all[i];
      }
      previousVideo = time;
    } else {
      ++audioFrames;
    }
  }
  EXPECT_EQ(videoFrames, summary["video"]["frames"].toInt());
  EXPECT_EQ(videoKeys, summary["video"]["key_frames"].toInt());
  EXPECT_EQ(audioFrames, summary["audio"]["frames"].toInt());

  const ProcessResult limited = zanstream({"decode", path, "--frames", "--max-frames", "10"});
  ASSERT_EQ(limited.exitCode, 0) << limited.err;
  int frameLines = 0;
  for (const std::string& line : lines(limited.out)) frameLines += std::regex_match(line, form);
  EXPECT_EQ(frameLines, 10);
}

TEST(DecodeCliTest, SeekLandsAtOrAfterTheTarget) {
  const std::string path = mediaPath(Media::kMp4H264Aac);
  for (const uint64_t targetMs : {1000u, 1500u, 3000u}) {
    SCOPED_TRACE(targetMs);
    const ProcessResult run = zanstream({"decode", path, "--json", "--seek", std::to_string(targetMs)});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const QJsonObject json = lastJsonObject(run.out);
    const uint64_t target = targetMs * 1000;
    const QJsonObject video = json["video"].toObject();
    ASSERT_GT(video["frames"].toInt(), 0);
    EXPECT_GE(u64(video["first_us"]), target);
    // Not further than the next key frame (one a second).
    EXPECT_LE(u64(video["first_us"]), target + 1000000);
    EXPECT_EQ(u64(video["last_us"]), 3960000u);
    const QJsonObject audio = json["audio"].toObject();
    ASSERT_GT(audio["frames"].toInt(), 0);
    // An audio frame may begin just before the target it contains.
    EXPECT_GE(u64(audio["first_us"]) + 50000, target);
    EXPECT_LE(u64(audio["first_us"]), target + 1000000);
  }
  // Past the end nothing can be decoded: that is an error, not success.
  const ProcessResult past = zanstream({"decode", path, "--seek", "60000"});
  EXPECT_EQ(past.exitCode, 1);
  EXPECT_NE(past.err.find("60000 ms"), std::string::npos) << past.err;
}

TEST(DecodeCliTest, DecodingModesLimitThePictures) {
  const std::string path = mediaPath(Media::kMp4H264Aac);
  const zan::test::ProbeResult probe = zan::test::probeMedia(path);
  const int keyFrames = probe.keyFrameCount(probe.first("video")->index);
  ASSERT_GT(keyFrames, 1);

  const ProcessResult key = zanstream({"decode", path, "--frames", "--mode", "key"});
  ASSERT_EQ(key.exitCode, 0) << key.err;
  int videoLines = 0;
  for (const std::string& line : lines(key.out)) {
    if (line.rfind("video ", 0) != 0) continue;
    ++videoLines;
    EXPECT_EQ(line.back(), '1') << line;
  }
  EXPECT_EQ(videoLines, keyFrames);

  const ProcessResult all = zanstream({"decode", path, "--json", "--mode", "all"});
  const ProcessResult none = zanstream({"decode", path, "--json", "--mode", "none"});
  ASSERT_EQ(none.exitCode, 0) << none.err;
  const QJsonObject allJson = lastJsonObject(all.out), noneJson = lastJsonObject(none.out);
  EXPECT_EQ(allJson["video"]["frames"].toInt(), probe.frameCount(probe.first("video")->index));
  EXPECT_EQ(noneJson["video"]["frames"].toInt(), 0);
  EXPECT_TRUE(noneJson["video"]["first_us"].isNull());
  EXPECT_EQ(noneJson["audio"]["frames"].toInt(), allJson["audio"]["frames"].toInt());
}

TEST(DecodeCliTest, VideoOutIsY4mThatMatchesFfmpegsDecode) {
  const std::string path = mediaPath(Media::kMp4H264Aac);
  TemporaryFolder folder;
  const std::string y4m = folder.file("out.y4m");
  const ProcessResult run = zanstream({"decode", path, "--json", "--video-out", y4m});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const int frames = lastJsonObject(run.out)["video"]["frames"].toInt();
  ASSERT_GT(frames, 0);

  const std::string file = readFile(y4m);
  const std::string header = "YUV4MPEG2 W160 H120 F25:1 Ip A0:0 C422\n";
  ASSERT_EQ(file.compare(0, header.size(), header), 0) << file.substr(0, 60);
  const size_t pictureSize = 160 * 120 * 2;
  ASSERT_EQ(file.size(), header.size() + static_cast<size_t>(frames) * (6 + pictureSize));

  // ffmpeg -i FILE -f rawvideo -pix_fmt yuv422p REFERENCE: the same
  // pictures, planar. Luma is copied by both; chroma is resampled from 4:2:0
  // by each and may differ in rounding.
  const std::string reference = folder.file("reference.yuv");
  const ProcessResult ffmpeg =
      runProcess({"ffmpeg", "-nostdin", "-loglevel", "error", "-i", path, "-f", "rawvideo", "-pix_fmt", "yuv422p", reference});
  ASSERT_EQ(ffmpeg.exitCode, 0) << ffmpeg.err;
  const std::string expected = readFile(reference);
  ASSERT_EQ(expected.size(), static_cast<size_t>(frames) * pictureSize);
  const size_t luma = 160 * 120;
  for (int frame = 0; frame < frames; ++frame) {
    const size_t at = header.size() + static_cast<size_t>(frame) * (6 + pictureSize);
    ASSERT_EQ(file.compare(at, 6, "FRAME\n"), 0) << "frame " << frame;
    const char* ours = file.data() + at + 6;
    const char* theirs = expected.data() + static_cast<size_t>(frame) * pictureSize;
    ASSERT_EQ(std::string(ours, luma), std::string(theirs, luma)) << "luma of frame " << frame;
    int worst = 0;
    for (size_t i = luma; i < pictureSize; ++i)
      worst = std::max(worst, std::abs(static_cast<unsigned char>(ours[i]) - static_cast<unsigned char>(theirs[i])));
    ASSERT_LE(worst, 3) << "chroma of frame " << frame;
  }
}

uint32_t le32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
  return value;
}

uint16_t le16(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) | (static_cast<unsigned char>(bytes[at + 1]) << 8));
}

TEST(DecodeCliTest, AudioOutIsWavThatAgreesWithTheProbe) {
  struct Case {
    std::string path;
    int bits;
  };
  const Case cases[] = {
      {mediaPath(Media::kMp4H264Aac), 32},  // AAC decodes to float, delivered as signed 32-bit
      {mediaPath(Media::kWavS16), 16},
      // ffmpeg -f lavfi -i sine=frequency=440:sample_rate=8000:duration=2 -c:a pcm_u8 wav_u8_mono.wav
      {zan::test::generateMedia("wav_u8_mono", "wav",
                                "-f lavfi -i sine=frequency=440:sample_rate=8000:duration=2 -c:a pcm_u8"),
       8},
  };
  TemporaryFolder folder;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const ProcessResult probe = zanstream({"probe", c.path, "--json"});
    ASSERT_EQ(probe.exitCode, 0) << probe.err;
    const QJsonObject audio = lastJsonObject(probe.out)["output"]["audio"].toObject();
    ASSERT_EQ(audio["bits_per_sample"].toInt(), c.bits);
    const std::string wav = folder.file("out.wav");
    const ProcessResult run = zanstream({"decode", c.path, "--json", "--audio-out", wav});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const uint64_t bytes = u64(lastJsonObject(run.out)["audio"]["bytes"]);
    ASSERT_GT(bytes, 0u);

    const std::string file = readFile(wav);
    ASSERT_GE(file.size(), 44u);
    ASSERT_EQ(file.substr(0, 4), "RIFF");
    EXPECT_EQ(le32(file, 4), file.size() - 8);
    ASSERT_EQ(file.substr(8, 8), "WAVEfmt ");
    const uint32_t fmtSize = le32(file, 16);
    const int channels = le16(file, 22);
    const int bits = le16(file, 34);
    EXPECT_EQ(le16(file, 20), bits > 16 || channels > 2 ? 0xFFFE : 1);
    EXPECT_EQ(channels, audio["channels"].toInt());
    EXPECT_EQ(static_cast<int>(le32(file, 24)), audio["sample_rate"].toInt());
    EXPECT_EQ(bits, c.bits);
    EXPECT_EQ(le16(file, 32), channels * bits / 8);
    EXPECT_EQ(le32(file, 28), le32(file, 24) * le16(file, 32));
    const size_t data = 20 + fmtSize;
    ASSERT_EQ(file.substr(data, 4), "data");
    EXPECT_EQ(le32(file, data + 4), bytes);
    EXPECT_EQ(bytes % le16(file, 32), 0u);
    EXPECT_EQ(file.size(), data + 8 + bytes + (bytes & 1));
  }
}

TEST(DecodeCliTest, CompressedPassThroughWritesNoPictureOrSoundFile) {
  const std::string path = mediaPath(Media::kMp4H264Aac);
  TemporaryFolder folder;
  const std::string y4m = folder.file("out.y4m"), wav = folder.file("out.wav");
  const ProcessResult run =
      zanstream({"decode", path, "--json", "--skip-video", "--skip-audio", "--video-out", y4m, "--audio-out", wav});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_FALSE(std::filesystem::exists(y4m));
  EXPECT_FALSE(std::filesystem::exists(wav));
  EXPECT_NE(run.err.find("the video is passed through compressed (h264); " + y4m + " is not written"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("the audio is passed through compressed (aac); " + wav + " is not written"),
            std::string::npos)
      << run.err;
  // Compressed packets are far smaller than the pictures they stand for.
  const QJsonObject json = lastJsonObject(run.out);
  EXPECT_GT(json["video"]["frames"].toInt(), 0);
  EXPECT_LT(u64(json["video"]["bytes"]), u64(json["video"]["frames"]) * 160 * 120 * 2 / 10);
}

// Runs zanstream with its standard streams on a pseudo-terminal and returns
// everything it wrote there.
std::string runOnTerminal(const std::vector<std::string>& arguments) {
  int terminal = -1;
  const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (child == 0) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(ZANSTREAM_PATH));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  std::string output;
  if (child < 0) return output;
  char buffer[4096];
  for (;;) {
    struct pollfd ready = {terminal, POLLIN, 0};
    if (poll(&ready, 1, 60000) <= 0) break;
    const ssize_t n = read(terminal, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the child has exited
    output.append(buffer, static_cast<size_t>(n));
  }
  close(terminal);
  int status = 0;
  waitpid(child, &status, 0);
  return output;
}

TEST(DecodeCliTest, ProgressLineOnlyOnATerminal) {
  const std::string path = mediaPath(Media::kMp4H264Aac);
  const std::string onTerminal = runOnTerminal({"decode", path});
  EXPECT_NE(onTerminal.find("\r\033[K"), std::string::npos) << onTerminal;
  EXPECT_NE(onTerminal.find(" s / 4.0 s"), std::string::npos) << onTerminal;
  EXPECT_NE(onTerminal.find("decoded   " + path), std::string::npos) << onTerminal;

  const ProcessResult piped = zanstream({"decode", path});
  ASSERT_EQ(piped.exitCode, 0) << piped.err;
  EXPECT_EQ(piped.err.find('\r'), std::string::npos);
  EXPECT_EQ(piped.out.find('\r'), std::string::npos);
}

TEST(DecodeCliTest, DownloadEventsAndBufferStatusAreReported) {
  const std::string file = mediaPath(Media::kFlvSorensonMp3);
  zan::test::TestHttpServer server;
  server.addResource("/clip.flv", zan::test::fileResource(file));
  const std::string url = server.url("/clip.flv");
  const ProcessResult run = zanstream({"decode", url, "--json", "--buffer-status"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const QJsonObject json = lastJsonObject(run.out);
  EXPECT_GT(json["video"]["frames"].toInt(), 0);
  const QJsonArray events = json["events"].toArray();
  ASSERT_EQ(events.size(), 1) << run.out;
  EXPECT_EQ(events[0].toString(), "INPUT_END_OF_FILE");
  EXPECT_NE(run.err.find("zanstream decode: event INPUT_END_OF_FILE\n"), std::string::npos) << run.err;
  // "buffer READ HISTORY_START BUFFERED_END CONTENT_LENGTH", the last one at
  // the end of the medium: everything read, and all of it (less than the
  // history size) still behind the reader.
  const std::string size = std::to_string(std::filesystem::file_size(file));
  EXPECT_NE(run.err.find("buffer " + size + " 0 " + size + " " + size + "\n"), std::string::npos) << run.err;
}

// The library's network threads outlive a failed open; the program must
// still end cleanly every time (it once crashed at exit in about one run in
// four, when the library was unloaded under them).
TEST(DecodeCliTest, UnreachableServerIsErrorOneAndExitsCleanly) {
  zan::test::TestHttpServer server;
  const std::string url = server.url("/gone.flv");
  server.stop();
  for (int run = 0; run < 8; ++run) {
    const ProcessResult result = zanstream({"decode", url});
    ASSERT_EQ(result.exitCode, 1) << result.err;
    EXPECT_NE(result.err.find("error 404: FFMpeg input: URL could not be reached."), std::string::npos) << result.err;
  }
}

TEST(DemoCliTest, WithoutArgumentsProbesAndDecodesAMediumOfItsOwn) {
  TemporaryFolder folder;
  const zan::test::ScopedEnvironment temporary("TMPDIR", folder.path());
  const ProcessResult run = runProcess({ZANSTREAM_PATH});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("zanstream demo: made " + folder.path() + "/zanstream-demo-"), std::string::npos) << run.out;
  for (const char* expected : {"$ zanstream probe ", "input     format mov", "  video   h264 320x240, 25.000 fps",
                               "  audio   aac 44100 Hz, 2 channels", "pixel format 5", "$ zanstream decode ",
                               "  video: 75 frames, 0.000 .. 2.960 s, 11520000 bytes"}) {
    EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
  }
  const std::regex audioLine("  audio: 1[23][0-9] frames, 0\\.000 \\.\\. 2\\.9[0-9]+ s, [0-9]+ bytes");
  EXPECT_TRUE(std::regex_search(run.out, audioLine)) << run.out;
  // The medium is gone afterwards.
  EXPECT_TRUE(std::filesystem::is_empty(folder.path()));

  const ProcessResult named = runProcess({ZANSTREAM_PATH, "demo"});
  EXPECT_EQ(named.exitCode, 0) << named.err;
}

}  // namespace
