// zanstream as a user runs it, with the real plug-in library: only what the
// program adds (options, exit codes, output formats, the files it writes),
// compared with ffprobe and ffmpeg; decoding itself is tested in the core.

#include <QJsonArray>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/CliJson.h"
#include "tests/common/LittleEndian.h"
#include "tests/common/MediaProbe.h"
#include "tests/common/TestMedia.h"
#include "tests/common/TestSupport.h"
#include "tests/network/TestHttpServer.h"

namespace {

using zan::test::lastJsonObject;
using zan::test::le16;
using zan::test::le32;
using zan::test::Media;
using zan::test::mediaPath;
using zan::test::ProcessResult;
using zan::test::readFile;
using zan::test::runProcess;
using zan::test::TemporaryFolder;
using zan::test::u64;

constexpr size_t kPictureBytes = 160 * 120 * 2;  // the test clips' pictures, YUYV

ProcessResult zanstream(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), ZANSTREAM_PATH);
  return runProcess(arguments);
}

size_t lineCount(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

// Each of the five plug-ins is listed once, with or without a library named.
TEST(ZanstreamCliTest, PluginsListsEveryNameOnceWhereverTheLibraryOptionStands) {
  const ProcessResult run = zanstream({"--library", ZAN_PLUGIN_PATH, "plugins"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(lineCount(run.out), 5u) << run.out;
  for (const char* name : {"FFMpegInput", "FFMpegDecoder", "FFMpegDemuxer", "FFMpegEncoder", "FFMpegAudioResampler"})
    EXPECT_TRUE(std::regex_search(run.out, std::regex(std::string("(^|\n)") + name + " (yes|no)\n"))) << name;
  EXPECT_EQ(zanstream({"plugins", "--library", ZAN_PLUGIN_PATH}).out, run.out);
  EXPECT_EQ(zanstream({"plugins"}).out, run.out);
}

TEST(ZanstreamCliTest, LibrariesThatCannotServeAreClearErrors) {
  for (const char* library : {"/nonexistent/libnothing.so", "libm.so.6", "/lib/x86_64-linux-gnu/libm.so.6"}) {
    const ProcessResult run = zanstream({"--library", library, "plugins"});
    EXPECT_NE(run.exitCode, 0) << library;
    EXPECT_NE(run.err.find(library), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "") << library;
  }
}

TEST(ProbeCliTest, JsonOnOneLineAgreesWithFfprobeAndSkippedStreamsStayCompressed) {
  for (Media media : {Media::kMp4H264Aac, Media::kMp3Audio}) {
    const std::string path = mediaPath(media);
    SCOPED_TRACE(path);
    const ProcessResult run = zanstream({"probe", path, "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_EQ(lineCount(run.out), 1u) << run.out;
    const QJsonObject json = lastJsonObject(run.out);
    const zan::test::ProbeResult& probe = zan::test::probeMedia(media);
    EXPECT_EQ(json["location"].toString().toStdString(), path);
    EXPECT_EQ(u64(json["medium"]["size"]), std::filesystem::file_size(path));
    // The description itself is the core's test; here where it is printed.
    EXPECT_EQ(json["input"]["audio"]["sample_rate"].toInt(), probe.first("audio")->sampleRate);
    if (media == Media::kMp3Audio) {
      EXPECT_TRUE(json["output"]["video"].isNull());
      continue;
    }
    EXPECT_EQ(json["input"]["video"]["width"].toInt(), probe.first("video")->width);
    const QJsonObject skipped = lastJsonObject(zanstream({"probe", path, "--json", "--skip-audio"}).out);
    EXPECT_EQ(skipped["output"]["audio"]["codec"].toString(), "aac");
    EXPECT_EQ(skipped["output"]["video"]["codec"].toString(), "raw");
  }
}

// The input's error and its cause reach the user; a medium without audio
// or video (subtitles alone) fails like one that does not open.
TEST(ProbeDecodeCliTest, MediumThatDoesNotOpenIsErrorOneAndSaysWhy) {
  TemporaryFolder folder;
  const std::string subtitles = folder.file("subtitles.srt");
  zan::test::writeFile(subtitles, "1\n00:00:00,000 --> 00:00:01,000\nhello\n\n");
  const std::pair<std::string, std::string> cases[] = {
      {folder.file("missing.mp4"), "error 2: FFMpeg input: File could not be rendered. (no such file)\n"},
      {mediaPath(Media::kRandomBytes), "error 2: FFMpeg input: File could not be rendered. (not a media stream)\n"},
      {subtitles, ": no audio or video stream\n"},
  };
  for (const std::string command : {"probe", "decode"}) {
    for (const auto& [path, expected] : cases) {
      SCOPED_TRACE(command + " " + path);
      const ProcessResult run = zanstream({command, path, "--json"});
      EXPECT_EQ(run.exitCode, 1);
      EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
      EXPECT_EQ(run.out, "");
    }
  }
}

TEST(ProbeDecodeCliTest, HelpIsExitCodeZeroAndUsageErrorsTwo) {
  const ProcessResult help = zanstream({"decode", "--json", "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind("usage: zanstream decode", 0), 0u) << help.out;
  const std::string path = mediaPath(Media::kMp4H264Aac);
  const std::vector<std::vector<std::string>> cases = {
      {"frobnicate"}, {"plugins", "--bogus"}, {"decode", "--json"}, {"probe", path, path},
      {"decode", path, "--seek", "-5"}, {"decode", path, "--seek"}, {"decode", path, "--mode", "fast"},
      {"decode", path, "--video-out="},
      {"probe", path, "--seek", "5"},  // an option of another command
  };
  for (const auto& arguments : cases) {
    const ProcessResult run = zanstream(arguments);
    SCOPED_TRACE(arguments[0] + " " + arguments.back());
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_FALSE(run.err.empty());
    EXPECT_EQ(run.out, "");
  }
}

// The summary counts what ffprobe decodes (its figures are the summary's
// own test), a line per frame, and the options reach the input.
TEST(DecodeCliTest, SummaryFrameLinesAndOptions) {
  const std::string path = mediaPath(Media::kMp4H264Aac);
  const zan::test::ProbeResult probe = zan::test::probeMedia(path);
  const int videoIndex = probe.first("video")->index;
  const ProcessResult run = zanstream({"decode", path, "--frames", "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const QJsonObject json = lastJsonObject(run.out);
  EXPECT_EQ(json["video"]["frames"].toInt(), probe.frameCount(videoIndex));
  EXPECT_EQ(json["video"]["key_frames"].toInt(), probe.keyFrameCount(videoIndex));
  EXPECT_EQ(json["audio"]["frames"].toInt(), probe.frameCount(probe.first("audio")->index));
  EXPECT_TRUE(json["events"].toArray().isEmpty());
  // One line per frame, then the summary.
  EXPECT_EQ(lineCount(run.out), static_cast<size_t>(json["video"]["frames"].toInt() + json["audio"]["frames"].toInt() + 1));

  const ProcessResult limited = zanstream({"decode", path, "--frames", "--max-frames", "10", "--json"});
  ASSERT_EQ(limited.exitCode, 0) << limited.err;
  EXPECT_EQ(lineCount(limited.out), 11u) << limited.out;
  const QJsonObject none = lastJsonObject(zanstream({"decode", path, "--json", "--mode", "none"}).out);
  EXPECT_EQ(none["video"]["frames"].toInt(), 0);
  EXPECT_EQ(none["audio"]["frames"].toInt(), json["audio"]["frames"].toInt());
  const QJsonObject seeked = lastJsonObject(zanstream({"decode", path, "--json", "--seek", "2000"}).out);
  EXPECT_GE(u64(seeked["video"]["first_us"]), 2000000u);
  EXPECT_LT(seeked["video"]["frames"].toInt(), json["video"]["frames"].toInt());
  // Past the end nothing can be decoded: that is an error, not success.
  const ProcessResult past = zanstream({"decode", path, "--seek", "60000"});
  EXPECT_EQ(past.exitCode, 1);
  EXPECT_NE(past.err.find("60000 ms"), std::string::npos) << past.err;
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
  ASSERT_EQ(file.size(), header.size() + static_cast<size_t>(frames) * (6 + kPictureBytes));

  // ffmpeg -i FILE -f rawvideo -pix_fmt yuv422p REFERENCE: the same
  // pictures, planar. Luma is copied by both; chroma is resampled from 4:2:0
  // by each and may differ in rounding.
  const std::string reference = folder.file("reference.yuv");
  const ProcessResult ffmpeg =
      runProcess({"ffmpeg", "-nostdin", "-loglevel", "error", "-i", path, "-f", "rawvideo", "-pix_fmt", "yuv422p", reference});
  ASSERT_EQ(ffmpeg.exitCode, 0) << ffmpeg.err;
  const std::string expected = readFile(reference);
  ASSERT_EQ(expected.size(), static_cast<size_t>(frames) * kPictureBytes);
  const size_t luma = 160 * 120;
  for (int frame = 0; frame < frames; ++frame) {
    const size_t at = header.size() + static_cast<size_t>(frame) * (6 + kPictureBytes);
    ASSERT_EQ(file.compare(at, 6, "FRAME\n"), 0) << "frame " << frame;
    const char* ours = file.data() + at + 6;
    const char* theirs = expected.data() + static_cast<size_t>(frame) * kPictureBytes;
    ASSERT_EQ(std::string(ours, luma), std::string(theirs, luma)) << "luma of frame " << frame;
    int worst = 0;
    for (size_t i = luma; i < kPictureBytes; ++i)
      worst = std::max(worst, std::abs(static_cast<unsigned char>(ours[i]) - static_cast<unsigned char>(theirs[i])));
    ASSERT_LE(worst, 3) << "chroma of frame " << frame;
  }
}

TEST(DecodeCliTest, AudioOutIsWavInTheProbedFormatAndPassThroughWritesNoFile) {
  const std::string path = mediaPath(Media::kMp4H264Aac);
  TemporaryFolder folder;
  const QJsonObject audio = lastJsonObject(zanstream({"probe", path, "--json"}).out)["output"]["audio"].toObject();
  const ProcessResult decoded = zanstream({"decode", path, "--json", "--audio-out", folder.file("out.wav")});
  ASSERT_EQ(decoded.exitCode, 0) << decoded.err;
  const std::string file = readFile(folder.file("out.wav"));
  ASSERT_GE(file.size(), 44u);
  EXPECT_EQ(le16(file, 22), audio["channels"].toInt());
  EXPECT_EQ(static_cast<int>(le32(file, 24)), audio["sample_rate"].toInt());
  EXPECT_EQ(le16(file, 34), audio["bits_per_sample"].toInt());
  // Behind the format chunk's header and its data chunk's header: every byte decoded.
  EXPECT_EQ(file.size() - (20 + le32(file, 16) + 8), u64(lastJsonObject(decoded.out)["audio"]["bytes"]));

  const std::string y4m = folder.file("pass.y4m"), wav = folder.file("pass.wav");
  const ProcessResult run =
      zanstream({"decode", path, "--json", "--skip-video", "--skip-audio", "--video-out", y4m, "--audio-out", wav});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_FALSE(std::filesystem::exists(y4m));
  EXPECT_FALSE(std::filesystem::exists(wav));
  EXPECT_NE(run.err.find(y4m), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(wav), std::string::npos) << run.err;
  // Compressed packets are far smaller than the pictures they stand for.
  const QJsonObject json = lastJsonObject(run.out);
  EXPECT_GT(json["video"]["frames"].toInt(), 0);
  EXPECT_LT(u64(json["video"]["bytes"]), u64(json["video"]["frames"]) * kPictureBytes / 10);
}

TEST(DecodeCliTest, ProgressLineOnlyOnATerminal) {
  const std::string path = mediaPath(Media::kMp4H264Aac);
  // script(1) gives the program a pseudo-terminal and copies what it wrote there.
  const std::string onTerminal =
      runProcess({"script", "-qec", std::string("'") + ZANSTREAM_PATH + "' decode '" + path + "'", "/dev/null"}).out;
  EXPECT_NE(onTerminal.find("\r\033[K"), std::string::npos) << onTerminal;
  EXPECT_NE(onTerminal.find(" s / 4.0 s"), std::string::npos) << onTerminal;
  const ProcessResult piped = zanstream({"decode", path});
  ASSERT_EQ(piped.exitCode, 0) << piped.err;
  EXPECT_EQ((piped.err + piped.out).find('\r'), std::string::npos);
}

TEST(DecodeCliTest, DownloadEventsAndBufferStatusAreReported) {
  const std::string file = mediaPath(Media::kFlvSorensonMp3);
  zan::test::TestHttpServer server;
  server.addResource("/clip.flv", zan::test::fileResource(file));
  const ProcessResult run = zanstream({"decode", server.url("/clip.flv"), "--json", "--buffer-status"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const QJsonObject json = lastJsonObject(run.out);
  EXPECT_GT(json["video"]["frames"].toInt(), 0);
  EXPECT_EQ(json["events"].toArray(), QJsonArray({"INPUT_END_OF_FILE"})) << run.out;
  // "buffer READ HISTORY_START BUFFERED_END CONTENT_LENGTH", the last one at
  // the end of the medium: everything read, and all of it (less than the
  // history size) still behind the reader.
  const std::string size = std::to_string(std::filesystem::file_size(file));
  EXPECT_NE(run.err.find("buffer " + size + " 0 " + size + " " + size + "\n"), std::string::npos) << run.err;

  // A download that breaks off for good is a failure for the user: what
  // arrived is decoded or transcoded and kept, the program says so.
  server.addResource("/cut.flv", zan::test::fileResource(file),
                     zan::test::RouteOptions{.acceptRanges = false, .honourRange = false,
                                             .cutAfterBytes = static_cast<int64_t>(std::stoll(size) / 2)});
  TemporaryFolder folder;
  const std::string out = folder.file("cut.flv");
  for (const ProcessResult& cut : {zanstream({"decode", server.url("/cut.flv"), "--json"}),
                                   zanstream({"transcode", server.url("/cut.flv"), "-o", out})}) {
    EXPECT_EQ(cut.exitCode, 1) << cut.err;
    EXPECT_NE(cut.err.find("the download broke off"), std::string::npos) << cut.err;
  }
  EXPECT_GT(std::filesystem::file_size(out), 0u);
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
    EXPECT_NE(result.err.find("error 404: "), std::string::npos) << result.err;
  }
}

TEST(DemoCliTest, WithoutArgumentsProbesAndDecodesAMediumOfItsOwnAndRemovesIt) {
  TemporaryFolder folder;
  const zan::test::ScopedEnvironment temporary("TMPDIR", folder.path());
  const ProcessResult run = runProcess({ZANSTREAM_PATH});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  for (const char* expected : {"$ zanstream probe ", "$ zanstream decode ", "  video: 75 frames, 0.000 .. 2.960 s"})
    EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
  EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

}  // namespace

namespace {

// The transcode command's own wiring: the container, codec and setting
// options reach the encoder, and the summary describes the file written.
TEST(TranscodeCliTest, OptionsReachTheEncoderAndTheSummaryDescribesTheFile) {
  TemporaryFolder folder;
  const std::string out = folder.file("out.ts");
  const ProcessResult run = zanstream({"transcode", mediaPath(Media::kMp4H264Aac), "-o", out, "--format", "mpegts",
                                       "--acodec", "mp2", "--fps", "10", "--size", "96x64", "--set", "gopSize=1",
                                       "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const QJsonObject json = lastJsonObject(run.out);
  EXPECT_EQ(json["format"].toString(), "mpegts");
  EXPECT_EQ(json["video"].toObject()["frames_in"].toInt(), 100);
  EXPECT_EQ(u64(json["bytes"]), std::filesystem::file_size(out));

  const zan::test::ProbeResult probe = zan::test::probeMedia(out);
  EXPECT_EQ(readFile(out).substr(0, 1), "\x47");  // an MPEG-TS packet's sync byte
  ASSERT_NE(probe.first("audio"), nullptr);
  EXPECT_EQ(probe.first("audio")->codec, "mp2");
  const int video = probe.first("video")->index;
  EXPECT_EQ(probe.frameCount(video), 40);  // 4 s at 10 fps
  EXPECT_EQ(json["video"].toObject()["frames_out"].toInt(), 40);
  EXPECT_EQ(probe.first("video")->width, 96);
  EXPECT_EQ(probe.first("video")->height, 64);
  EXPECT_EQ(probe.keyFrameCount(video), 40);  // a GOP of one picture

  EXPECT_EQ(zanstream({"transcode", mediaPath(Media::kMp4H264Aac)}).exitCode, 2);  // no -o
  EXPECT_EQ(zanstream({"transcode", mediaPath(Media::kMp4H264Aac), "-o", out, "--set", "gopSize"}).exitCode, 2);
  EXPECT_EQ(zanstream({"transcode", mediaPath(Media::kMp4H264Aac), "-o", out, "--size", "96"}).exitCode, 2);
  const ProcessResult refused =
      zanstream({"transcode", mediaPath(Media::kMp4H264Aac), "-o", out, "--vcodec", "nosuchcodec", "--acodec", "none"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("the encoder refused the request"), std::string::npos) << refused.err;
}

// HLS: every segment of every rendition decodes alone from a key frame,
// the renditions cut together, and the playlists add up to the medium.
TEST(TranscodeCliTest, HlsSegmentsStandAloneCutTogetherAndThePlaylistsSpanTheMedium) {
  TemporaryFolder folder;
  zan::test::ScopedEnvironment temporary("TMPDIR", folder.path());
  const std::string media = zan::test::generateMedia(
      "mp4_h264_aac_21s", "mp4",
      "-f lavfi -i testsrc2=size=160x120:rate=25:duration=21 -f lavfi -i sine=frequency=440:sample_rate=44100:duration=21 "
      "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -ac 2 -b:a 64k");
  const std::string hls = folder.file("hls");
  const ProcessResult run = zanstream({"transcode", media, "--hls", hls, "--set", "needLowBitrateStream=2", "--set",
                                       "lowVideoBitrate1=64000", "--set", "lowVideoBitrate2=200000", "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const QJsonObject video = lastJsonObject(run.out)["video"].toObject();
  EXPECT_EQ(video["frames_out"].toInt(), video["frames_in"].toInt());

  // Segment start times (the first picture's, the first sound's) by
  // rendition ("" for the main one) and number.
  std::map<std::string, std::map<int, std::pair<double, double>>> starts;
  const std::regex name(R"(segment-\d+-(\d+)(-low-\d+)?\.ts)");
  for (const auto& entry : std::filesystem::directory_iterator(hls)) {
    std::smatch match;
    const std::string file = entry.path().filename().string();
    if (!std::regex_match(file, match, name)) continue;
    const zan::test::ProbeResult probe = zan::test::probeMedia(entry.path().string());
    const zan::test::ProbeStream* stream = probe.first("video");
    ASSERT_NE(stream, nullptr) << file;
    const auto first = std::find_if(probe.frames.begin(), probe.frames.end(),
                                    [&](const zan::test::ProbeFrame& frame) { return frame.stream == stream->index; });
    ASSERT_NE(first, probe.frames.end()) << file;
    EXPECT_TRUE(first->key) << file;
    const zan::test::ProbeStream* audio = probe.first("audio");
    ASSERT_NE(audio, nullptr) << file;
    const std::vector<uint64_t> sound = probe.frameTimes(audio->index);
    ASSERT_FALSE(sound.empty()) << file;
    starts[match[2]][std::stoi(match[1])] = {
        static_cast<double>(first->bestEffort) * stream->timeBaseNum / stream->timeBaseDen, sound.front() / 1e6};
  }
  ASSERT_EQ(starts.size(), 3u);
  const std::map<int, std::pair<double, double>>& main = starts[""];
  ASSERT_EQ(main.size(), 3u);  // 10 s, 10 s and the rest
  for (const auto& [rendition, times] : starts) {
    std::vector<int> numbers, mainNumbers;
    for (const auto& [number, start] : times) {
      numbers.push_back(number);
      // Pictures and sound are cut at the same place in every rendition.
      EXPECT_NEAR(start.first, main.at(number).first, 1e-3) << rendition << " segment " << number;
      EXPECT_NEAR(start.second, main.at(number).second, 1e-3) << rendition << " segment " << number;
    }
    for (const auto& [number, start] : main) mainNumbers.push_back(number);
    EXPECT_EQ(numbers, mainNumbers) << rendition;
  }
  EXPECT_GE(main.at(2).first - main.at(1).first, 10.0);
  EXPECT_GE(main.at(3).first - main.at(2).first, 10.0);

  const double seconds = zan::test::probeMedia(media).duration;
  for (const char* playlist : {"main.m3u8", "low-64000.m3u8", "low-200000.m3u8"}) {
    SCOPED_TRACE(playlist);
    const std::string text = readFile(hls + "/" + playlist);
    double sum = 0.0, longest = 0.0;
    for (size_t at = text.find("#EXTINF:"); at != std::string::npos; at = text.find("#EXTINF:", at + 1)) {
      sum += std::atof(text.c_str() + at + 8);
      longest = std::max(longest, std::atof(text.c_str() + at + 8));
    }
    EXPECT_NEAR(sum, seconds, 0.04);
    EXPECT_NE(text.find("#EXT-X-TARGETDURATION:" + std::to_string(static_cast<int>(std::ceil(longest))) + "\n"),
              std::string::npos);
    EXPECT_NE(text.find("#EXT-X-ENDLIST"), std::string::npos);
    EXPECT_NEAR(zan::test::probeMedia(hls + "/" + playlist).duration, seconds, 0.04);
  }
  const ProcessResult programs = runProcess(
      {"ffprobe", "-v", "error", "-show_entries", "program=program_id", "-of", "compact", hls + "/master.m3u8"});
  size_t variants = 0;
  for (size_t at = programs.out.find("program_id="); at != std::string::npos; at = programs.out.find("program_id=", at + 1))
    ++variants;
  EXPECT_EQ(variants, 3u) << programs.out;
  // Nothing is left behind in the cache folder but the folder.
  EXPECT_TRUE(std::filesystem::is_empty(folder.file("ZanStreamCache")));
  EXPECT_EQ(zanstream({"transcode", media, "--hls", hls, "--format", "flv"}).exitCode, 2);
}

}  // namespace

namespace {

// True once some socket of this machine is bound to UDP |port|.
bool udpPortBound(int port) {
  char needle[8];
  std::snprintf(needle, sizeof needle, ":%04X ", port);
  return readFile("/proc/net/udp").find(needle) != std::string::npos;
}

// An even UDP port whose next three are free too, as far as one can tell.
int freeRtpPort() {
  for (int port = 20000 + static_cast<int>(getpid() % 20000) * 2 % 20000;; port += 4)
    if (!udpPortBound(port) && !udpPortBound(port + 1) && !udpPortBound(port + 2) && !udpPortBound(port + 3))
      return port;
}

// RTP to a real receiver: ffmpeg opens the SDP, listens, and decodes what
// zanstream sends at the pace of a live sender, until the RTCP goodbyes.
TEST(TranscodeCliTest, FfmpegDecodesTheRtpStreamFromTheSdp) {
  const std::string media = mediaPath(Media::kMp4H264Aac);
  const zan::test::ProbeResult source = zan::test::probeMedia(media);
  const int sourceFrames = source.frameCount(source.first("video")->index);
  const double sourceSeconds =
      static_cast<double>(source.sampleCount(source.first("audio")->index)) / source.first("audio")->sampleRate;
  struct Row {
    const char* name;
    std::vector<std::string> options;
    const char* audioFormat;  // as the SDP names it
  };
  const Row rows[] = {
      {"AAC as LATM", {}, "MP4A-LATM"},
      {"AAC as MPEG-4 generic", {"--set", "audioUseLATM=0"}, "MPEG4-GENERIC"},
      {"AMR-NB", {"--acodec", "amr_nb"}, "AMR/8000"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TemporaryFolder folder;
    const int port = freeRtpPort();
    auto send = [&](const std::string& sdp, bool realtime) {
      std::vector<std::string> arguments = {"transcode", media, "--rtp", "rtp://127.0.0.1:" + std::to_string(port),
                                            "--payload-size", "1200", "--sdp", sdp};
      arguments.insert(arguments.end(), row.options.begin(), row.options.end());
      if (realtime) arguments.push_back("--realtime");
      return zanstream(arguments);
    };
    // The description is known before anything is sent; the receiver
    // starts from it.
    const std::string sdp = folder.file("stream.sdp");
    const ProcessResult described = send(sdp, false);
    ASSERT_EQ(described.exitCode, 0) << described.err;
    EXPECT_NE(readFile(sdp).find(row.audioFormat), std::string::npos) << readFile(sdp);

    ProcessResult received;
    std::thread receiver([&] {
      received = runProcess({"ffmpeg", "-nostdin", "-v", "error", "-protocol_whitelist", "file,udp,rtp", "-i", sdp,
                             "-f", "framecrc", "-"},
                            std::chrono::seconds(60));
    });
    const bool listening = zan::test::waitFor([&] { return udpPortBound(port); }, std::chrono::seconds(20));
    const ProcessResult sent = send(folder.file("again.sdp"), true);
    receiver.join();
    ASSERT_TRUE(listening);
    ASSERT_EQ(sent.exitCode, 0) << sent.err;
    EXPECT_EQ(readFile(folder.file("again.sdp")), readFile(sdp));
    ASSERT_EQ(received.exitCode, 0) << received.err;

    // framecrc: "#tb 1: 1/RATE" heads the audio, then one line
    // "STREAM, DTS, PTS, DURATION, SIZE, CRC" per decoded frame.
    int pictures = 0;
    double audioSamples = 0, audioRate = 0;
    std::istringstream output(received.out);
    for (std::string line; std::getline(output, line);) {
      if (line.rfind("#tb 1: 1/", 0) == 0) audioRate = std::atof(line.c_str() + 9);
      std::vector<std::string> fields;
      std::istringstream stream(line);
      for (std::string field; std::getline(stream, field, ',');) fields.push_back(field);
      if (fields.size() < 6) continue;
      if (fields[0] == "0") ++pictures;
      if (fields[0] == "1") audioSamples += std::atof(fields[3].c_str());
    }
    ASSERT_GT(audioRate, 0);
    const double audioSeconds = audioSamples / audioRate;
    EXPECT_GE(pictures, sourceFrames * 95 / 100);
    EXPECT_GE(audioSeconds, sourceSeconds * 0.95);
  }
}

}  // namespace
