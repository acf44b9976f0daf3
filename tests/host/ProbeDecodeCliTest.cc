// zanstream as a user runs it, with the real plug-in library: only what the
// program adds (options, exit codes, output formats, the files it writes),
// compared with ffprobe and ffmpeg; decoding itself is tested in the core.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QJsonArray>
#include <algorithm>
#include <atomic>
#include <bitset>
#include <climits>
#include <cmath>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
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

// 21 s of 160x120 pictures (a key picture a second) and a tone: long
// enough for segments of ten seconds, or to be stopped halfway.
std::string clip21s() {
  return zan::test::generateMedia(
      "mp4_h264_aac_21s", "mp4",
      "-f lavfi -i testsrc2=size=160x120:rate=25:duration=21 -f lavfi -i sine=frequency=440:sample_rate=44100:duration=21 "
      "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -ac 2 -b:a 64k");
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
      {"transcode", path}, {"transcode", path, "-o", "x.flv", "--set", "gopSize"},
      {"transcode", path, "-o", "x.flv", "--size", "96"}, {"transcode", path, "--hls", "x", "--format", "flv"},
      {"transcode", path, "--hls", "x", "--vcodec", "copy", "--set", "needLowBitrateStream=1"},  // companions need pictures
  };
  for (const auto& arguments : cases) {
    const ProcessResult run = zanstream(arguments);
    SCOPED_TRACE(arguments[0] + " " + arguments.back());
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_FALSE(run.err.empty());
    EXPECT_EQ(run.out, "");
  }
}

// One run, every output: the summary counts what ffprobe decodes (its
// figures are the summary's own test), a line per frame; the pictures as
// Y4M match FFmpeg's decode, the sound as WAV in the format probe states.
TEST(DecodeCliTest, SummaryFrameLinesY4mAndWav) {
  const std::string path = mediaPath(Media::kMp4H264Aac);
  const zan::test::ProbeResult probe = zan::test::probeMedia(path);
  const int videoIndex = probe.first("video")->index;
  TemporaryFolder folder;
  const std::string y4m = folder.file("out.y4m"), wav = folder.file("out.wav");
  const ProcessResult run = zanstream({"decode", path, "--frames", "--json", "--video-out", y4m, "--audio-out", wav});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const QJsonObject json = lastJsonObject(run.out);
  const int frames = json["video"]["frames"].toInt();
  EXPECT_EQ(frames, probe.frameCount(videoIndex));
  EXPECT_EQ(json["video"]["key_frames"].toInt(), probe.keyFrameCount(videoIndex));
  EXPECT_EQ(json["audio"]["frames"].toInt(), probe.frameCount(probe.first("audio")->index));
  EXPECT_TRUE(json["events"].toArray().isEmpty());
  // One line per frame, then the summary.
  EXPECT_EQ(lineCount(run.out), static_cast<size_t>(frames + json["audio"]["frames"].toInt() + 1));

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

  const QJsonObject audio = lastJsonObject(zanstream({"probe", path, "--json"}).out)["output"]["audio"].toObject();
  const std::string sound = readFile(wav);
  ASSERT_GE(sound.size(), 44u);
  EXPECT_EQ(le16(sound, 22), audio["channels"].toInt());
  EXPECT_EQ(static_cast<int>(le32(sound, 24)), audio["sample_rate"].toInt());
  EXPECT_EQ(le16(sound, 34), audio["bits_per_sample"].toInt());
  // Behind the format chunk's header and its data chunk's header: every byte decoded.
  EXPECT_EQ(sound.size() - (20 + le32(sound, 16) + 8), u64(json["audio"]["bytes"]));
}

// The options reach the input; pass-through writes no file.
TEST(DecodeCliTest, OptionsReachTheInputAndPassThroughWritesNoFile) {
  const std::string path = mediaPath(Media::kMp4H264Aac);
  const ProcessResult limited = zanstream({"decode", path, "--frames", "--max-frames", "10", "--json"});
  ASSERT_EQ(limited.exitCode, 0) << limited.err;
  EXPECT_EQ(lineCount(limited.out), 11u) << limited.out;
  const QJsonObject none = lastJsonObject(zanstream({"decode", path, "--json", "--mode", "none"}).out);
  EXPECT_EQ(none["video"]["frames"].toInt(), 0);
  const QJsonObject seeked = lastJsonObject(zanstream({"decode", path, "--json", "--seek", "2000"}).out);
  EXPECT_GE(u64(seeked["video"]["first_us"]), 2000000u);
  // Past the end nothing can be decoded: that is an error, not success.
  const ProcessResult past = zanstream({"decode", path, "--seek", "60000"});
  EXPECT_EQ(past.exitCode, 1);
  EXPECT_NE(past.err.find("60000 ms"), std::string::npos) << past.err;

  TemporaryFolder folder;
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

  // A stream that cannot be made fails the whole request, and says which.
  for (const char* option : {"--vcodec", "--acodec"}) {
    const ProcessResult refused = zanstream({"transcode", mediaPath(Media::kMp4H264Aac), "-o", out, option, "nosuchcodec"});
    EXPECT_EQ(refused.exitCode, 1) << option;
    EXPECT_NE(refused.err.find("the encoder refused the request"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("codec nosuchcodec"), std::string::npos) << refused.err;
  }

  // copy, into HLS: the source's every picture, named copy in the summary,
  // in segments cut on its key frames (one each 2.48 s) whose lengths the
  // playlist gives, adding up to the medium. A container that cannot carry
  // the source's codec is refused by name.
  const std::string gops = zan::test::generateMedia(
      "mp4_h264_aac_gop62", "mp4",
      "-f lavfi -i testsrc2=size=160x120:rate=25:duration=9 -f lavfi -i sine=frequency=440:sample_rate=44100:duration=9 "
      "-c:v libx264 -preset ultrafast -g 62 -keyint_min 62 -sc_threshold 0 -pix_fmt yuv420p -c:a aac -ac 2");
  const ProcessResult copy = zanstream({"transcode", gops, "--hls", folder.file("copied"), "--vcodec", "copy", "--acodec",
                                        "copy", "--set", "segmentDuration=3", "--json"});
  ASSERT_EQ(copy.exitCode, 0) << copy.err;
  const zan::test::ProbeResult source = zan::test::probeMedia(gops);
  const int sourceFrames = source.frameCount(source.first("video")->index);
  const QJsonObject copiedVideo = lastJsonObject(copy.out)["video"].toObject();
  EXPECT_EQ(copiedVideo["codec"].toString(), "copy");
  EXPECT_EQ(copiedVideo["frames_in"].toInt(), sourceFrames);
  const std::string list = readFile(folder.file("copied/main.m3u8"));
  const std::regex listed(R"(#EXTINF:([0-9.]+),\n(\S+\.ts))");
  std::vector<double> lengths;
  int copiedFrames = 0;
  for (auto it = std::sregex_iterator(list.begin(), list.end(), listed); it != std::sregex_iterator(); ++it) {
    lengths.push_back(std::stod((*it)[1]));
    const zan::test::ProbeResult segment = zan::test::probeMedia(folder.file("copied/" + (*it)[2].str()));
    const int index = segment.first("video")->index;
    copiedFrames += segment.frameCount(index);
    EXPECT_TRUE(std::find_if(segment.frames.begin(), segment.frames.end(), [&](const zan::test::ProbeFrame& frame) {
                  return frame.stream == index;
                })->key) << (*it)[2];
  }
  EXPECT_EQ(copiedFrames, sourceFrames);
  ASSERT_EQ(lengths.size(), 2u) << list;
  EXPECT_NEAR(lengths[0], 4.96, 1e-3);
  EXPECT_NEAR(lengths[0] + lengths[1], source.duration, 0.04);
  // The target duration holds from the first playlist on: the aim plus the
  // source's longest key-frame run and a picture, rounded.
  const std::vector<uint64_t> keys = source.frameTimes(source.first("video")->index, true);
  uint64_t longest = 0;
  for (size_t i = 1; i < keys.size(); ++i) longest = std::max(longest, keys[i] - keys[i - 1]);
  EXPECT_NE(list.find("#EXT-X-TARGETDURATION:" + std::to_string(std::lround(3 + (longest + 40000) / 1e6)) + "\n"),
            std::string::npos) << list;
  const ProcessResult uncarried = zanstream(
      {"transcode", mediaPath(Media::kFlvSorensonMp3), "-o", folder.file("svq.mp4"), "--format", "mp4", "--vcodec", "copy"});
  EXPECT_EQ(uncarried.exitCode, 1);
  EXPECT_NE(uncarried.err.find("mp4 cannot carry the source's video codec svq"), std::string::npos) << uncarried.err;
}

// Ctrl-C mid-run (a realtime read of a longer clip, so the signal lands
// while frames flow): every frame handed to the encoder is in the finished
// output, which a reader takes without complaint to its last frame; the
// exit status says a signal stopped it. (HLS is interrupted in the live
// relay below.)
TEST(TranscodeCliTest, InterruptFinishesTheOutputCleanly) {
  TemporaryFolder folder;
  const std::string media = clip21s();
  for (const std::string format : {"flv", "mp4"}) {
    SCOPED_TRACE(format);
    const std::string out = folder.file("out." + format);
    // --foreground: the signal goes to zanstream alone, once, as Ctrl-C's does.
    const ProcessResult run = runProcess({"timeout", "--foreground", "--preserve-status", "-s", "INT", "4", ZANSTREAM_PATH,
                                          "transcode", media, "--realtime", "--json", "-o", out, "--format", format});
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_NE(run.err.find("stopped by signal 2"), std::string::npos) << run.err;
    const int frames = lastJsonObject(run.out)["video"]["frames_in"].toInt();
    EXPECT_GT(frames, 25);
    EXPECT_LT(frames, 450);
    const ProcessResult decoded = runProcess({"ffmpeg", "-v", "error", "-i", out, "-f", "null", "-"});
    EXPECT_EQ(decoded.exitCode, 0);
    EXPECT_EQ(decoded.err, "");  // no cut tag or fragment at the end
    const zan::test::ProbeResult probe = zan::test::probeMedia(out);
    ASSERT_NE(probe.first("video"), nullptr);
    EXPECT_EQ(probe.frameCount(probe.first("video")->index), frames);
  }
  // A source gone silent a third of the way in, the network limit a minute
  // away: the first Ctrl-C still finishes what was read, at once.
  const zan::test::ScopedEnvironment patient("ZAN_NETWORK_TIMEOUT_MS", "60000");
  const std::string flv = zan::test::generateMedia("flv_h264_aac_21s", "flv", "-i " + media + " -c copy");
  zan::test::TestHttpServer server;
  server.addResource("/silent.flv", zan::test::fileResource(flv),
                     {.stallAfterBytes = static_cast<int64_t>(std::filesystem::file_size(flv) / 3), .stallAfterMs = 600000});
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult run = runProcess({"timeout", "--foreground", "--preserve-status", "-s", "INT", "3", ZANSTREAM_PATH,
                                        "transcode", server.url("/silent.flv"), "--json", "-o", folder.file("out.flv")});
  EXPECT_EQ(run.exitCode, 130) << run.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_GT(lastJsonObject(run.out)["video"]["frames_out"].toInt(), 100);
}

// A live relay: an endless chunked stream over HTTP (a clip looped by the
// ffmpeg tool at its own pace), FLV through the library's client and
// MPEG-TS through FFmpeg's, into a live HLS window of three one-second
// segments, until Ctrl-C. The folder stays bounded while the stream runs;
// at the end every frame taken in is written, the list is closed and slid,
// what left it is gone from the folder, and what it lists plays.
TEST(TranscodeCliTest, LiveHttpSourceSlidesAWindowUntilInterrupted) {
  for (const char* format : {"flv", "mpegts"}) {
    SCOPED_TRACE(format);
    TemporaryFolder folder;
    zan::test::ScopedEnvironment temporary("TMPDIR", folder.path());
    zan::test::TestHttpServer server;
    const std::string path = std::string("/live.") + (format == std::string("flv") ? "flv" : "ts");
    server.addLiveStream(path,
                         {"ffmpeg", "-v", "error", "-re", "-stream_loop", "-1", "-i", mediaPath(Media::kMp4H264Aac),
                          "-c", "copy", "-f", format, "pipe:1"},
                         "application/octet-stream");
    const std::string hls = folder.file("live");
    auto segmentFiles = [&] {
      size_t files = 0;
      std::error_code ignored;
      for (const auto& file : std::filesystem::directory_iterator(hls, ignored)) files += file.path().extension() == ".ts";
      return files;
    };
    std::atomic<bool> running{true};
    size_t mostFiles = 0;
    std::thread watch([&] {
      for (; running; std::this_thread::sleep_for(std::chrono::milliseconds(100))) mostFiles = std::max(mostFiles, segmentFiles());
    });
    const ProcessResult run = runProcess({"timeout", "--foreground", "--preserve-status", "-s", "INT", "13",
                                          ZANSTREAM_PATH, "transcode", server.url(path), "--hls", hls,
                                          "--hls-list-size", "3", "--set", "segmentDuration=1", "--json"});
    running = false;
    watch.join();
    EXPECT_EQ(run.exitCode, 130) << run.err;
    const QJsonObject video = lastJsonObject(run.out)["video"].toObject();
    EXPECT_GT(video["frames_in"].toInt(), 200);  // more than the clip
    EXPECT_EQ(video["frames_out"].toInt(), video["frames_in"].toInt());
    // Three listed, about four out of the list for their length plus the
    // list's, one on its way in: bounded, where the run without a window
    // leaves twelve.
    EXPECT_LE(mostFiles, 9u);
    EXPECT_GE(mostFiles, 3u);
    EXPECT_EQ(segmentFiles(), 3u);
    const std::string list = readFile(hls + "/main.m3u8");
    EXPECT_NE(list.find("#EXT-X-ENDLIST"), std::string::npos);
    EXPECT_EQ(list.find("#EXT-X-MEDIA-SEQUENCE:0\n"), std::string::npos) << list;
    const std::regex entry(R"(#EXTINF:[0-9.]+,\n(segment-[0-9-]+\.ts))");
    size_t listed = 0;
    for (auto it = std::sregex_iterator(list.begin(), list.end(), entry); it != std::sregex_iterator(); ++it, ++listed)
      EXPECT_GT(zan::test::probeMedia(hls + "/" + (*it)[1].str()).frameCount(0), 0) << (*it)[1];
    EXPECT_EQ(listed, 3u) << list;
    const ProcessResult played = runProcess({"ffmpeg", "-v", "error", "-i", hls + "/main.m3u8", "-f", "null", "-"});
    EXPECT_EQ(played.exitCode, 0);
    EXPECT_EQ(played.err, "");
    EXPECT_TRUE(std::filesystem::is_empty(folder.file("ZanStreamCache")));
  }
}

// HLS: every segment of every rendition decodes alone from a key frame,
// the renditions cut together, and the playlists add up to the medium.
TEST(TranscodeCliTest, HlsSegmentsStandAloneCutTogetherAndThePlaylistsSpanTheMedium) {
  TemporaryFolder folder;
  zan::test::ScopedEnvironment temporary("TMPDIR", folder.path());
  const std::string media = clip21s();
  const std::string hls = folder.file("hls");
  const ProcessResult run = zanstream({"transcode", media, "--hls", hls, "--set", "needLowBitrateStream=2", "--set",
                                       "lowVideoBitrate1=64000", "--set", "lowVideoBitrate2=200000", "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const QJsonObject video = lastJsonObject(run.out)["video"].toObject();
  EXPECT_EQ(video["frames_out"].toInt(), video["frames_in"].toInt());

  // Segment start times (the first picture's, the first sound's) by
  // rendition ("" for the main one) and number.
  std::map<std::string, std::map<int, std::pair<double, double>>> starts;
  std::map<std::string, std::string> firstSegment;  // by rendition
  const std::regex name(R"(segment-\d+-(\d+)(-low-\d+)?\.ts)");
  for (const auto& entry : std::filesystem::directory_iterator(hls)) {
    std::smatch match;
    const std::string file = entry.path().filename().string();
    if (!std::regex_match(file, match, name)) continue;
    const zan::test::ProbeResult probe = zan::test::probeMedia(entry.path().string());
    ASSERT_TRUE(probe.first("video") && probe.first("audio")) << file;
    const std::vector<uint64_t> pictures = probe.frameTimes(probe.first("video")->index),
                                keys = probe.frameTimes(probe.first("video")->index, true),
                                sound = probe.frameTimes(probe.first("audio")->index);
    ASSERT_TRUE(!keys.empty() && !sound.empty()) << file;
    EXPECT_EQ(pictures.front(), keys.front()) << file;  // the first picture is a key picture
    if (match[1] == "1") firstSegment[match[2]] = entry.path().string();
    starts[match[2]][std::stoi(match[1])] = {pictures.front() / 1e6, sound.front() / 1e6};
  }
  ASSERT_EQ(starts.size(), 3u);
  const std::map<int, std::pair<double, double>>& main = starts[""];
  ASSERT_EQ(main.size(), 3u);  // 10 s, 10 s and the rest
  for (const auto& [rendition, times] : starts) {
    ASSERT_EQ(times.size(), main.size()) << rendition;
    for (const auto& [number, start] : times) {
      // Pictures and sound are cut at the same place in every rendition.
      ASSERT_EQ(main.count(number), 1u) << rendition << " segment " << number;
      EXPECT_NEAR(start.first, main.at(number).first, 1e-3) << rendition << " segment " << number;
      EXPECT_NEAR(start.second, main.at(number).second, 1e-3) << rendition << " segment " << number;
    }
  }
  EXPECT_GE(main.at(2).first - main.at(1).first, 10.0);
  EXPECT_GE(main.at(3).first - main.at(2).first, 10.0);

  const double seconds = zan::test::probeMedia(media).duration;
  for (const char* playlist : {"main.m3u8", "low-64000.m3u8", "low-200000.m3u8"}) {
    SCOPED_TRACE(playlist);
    const std::string text = readFile(hls + "/" + playlist);
    double longest = 0.0;
    for (size_t at = text.find("#EXTINF:"); at != std::string::npos; at = text.find("#EXTINF:", at + 1))
      longest = std::max(longest, std::atof(text.c_str() + at + 8));
    // The target duration the growing playlist began with: the ten seconds
    // the encoder aims at, which every segment rounds to at most.
    EXPECT_NE(text.find("#EXT-X-TARGETDURATION:10\n"), std::string::npos);
    EXPECT_LE(std::round(longest), 10.0);
    EXPECT_NE(text.find("#EXT-X-PLAYLIST-TYPE:VOD\n"), std::string::npos);
    EXPECT_NE(text.find("#EXT-X-ENDLIST"), std::string::npos);
    EXPECT_NEAR(zan::test::probeMedia(hls + "/" + playlist).duration, seconds, 0.04);
  }
  const ProcessResult programs = runProcess(
      {"ffprobe", "-v", "error", "-show_entries", "program=program_id", "-of", "compact", hls + "/master.m3u8"});
  size_t variants = 0;
  for (size_t at = programs.out.find("program_id="); at != std::string::npos; at = programs.out.find("program_id=", at + 1))
    ++variants;
  EXPECT_EQ(variants, 3u) << programs.out;
  // The master playlist ranks the renditions by bandwidth and names what
  // ffprobe finds in each one's first segment: the H.264 profile and level,
  // the AAC object type, the picture rate.
  const std::string master = readFile(hls + "/master.m3u8");
  EXPECT_NE(master.find("#EXT-X-INDEPENDENT-SEGMENTS\n"), std::string::npos);
  const std::map<std::string, std::string> profileIdc = {{"Baseline", "42"}, {"Main", "4d"}, {"High", "64"}};
  const std::regex entry(
      R"re(#EXT-X-STREAM-INF:BANDWIDTH=(\d+),CODECS="avc1\.(\w\w)\w\w(\w\w),mp4a\.40\.(\d+)",RESOLUTION=\d+x\d+,FRAME-RATE=([\d.]+)\n(main|low-\d+)\.m3u8\n)re");
  long long bandwidth = LLONG_MAX;
  size_t entries = 0;
  for (std::sregex_iterator at(master.begin(), master.end(), entry), end; at != end; ++at, ++entries) {
    const std::smatch& m = *at;
    SCOPED_TRACE(m[6].str());
    EXPECT_LE(std::stoll(m[1]), bandwidth);
    bandwidth = std::stoll(m[1]);
    // ("-" appended, not "-" + a temporary: GCC 12 at -O3 warns of overlap.)
    std::string suffix;
    if (m[6] != "main") suffix.append("-").append(m[6].str());
    const std::string facts = runProcess({"ffprobe", "-v", "error", "-show_entries", "stream=profile,level,avg_frame_rate",
                                          "-of", "default=nw=1", firstSegment[suffix]}).out;
    std::smatch probed;
    ASSERT_TRUE(std::regex_search(facts, probed, std::regex(R"(profile=(\w+)\nlevel=(\d+)\navg_frame_rate=(\d+)/(\d+)\n)")))
        << facts;
    EXPECT_EQ(m[2].str(), profileIdc.count(probed[1]) ? profileIdc.at(probed[1]) : "?");
    EXPECT_EQ(std::stoi(m[3], nullptr, 16), std::stoi(probed[2]));
    // The rate pictures come at (a 2 fps companion keeps a 25 fps grid).
    EXPECT_NEAR(std::stod(m[5]), std::stod(probed[3]) / std::stod(probed[4]), 0.01 * std::stod(m[5]));
    EXPECT_NE(facts.find("profile=LC"), std::string::npos);
    EXPECT_EQ(m[4].str(), "2");  // AAC LC
  }
  EXPECT_EQ(entries, 3u) << master;
  // Nothing is left behind in the cache folder but the folder.
  EXPECT_TRUE(std::filesystem::is_empty(folder.file("ZanStreamCache")));
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

// The datagrams that reach ports PORT to PORT + 3 of 127.0.0.1 until
// stop(), by port, each with the time it came.
class UdpCapture {
 public:
  struct Datagram {
    std::chrono::steady_clock::time_point arrived;
    std::vector<uint8_t> bytes;
  };
  explicit UdpCapture(int port) {
    for (int i = 0; i < 4; ++i) {
      polls_[i] = {::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), POLLIN, 0};
      const int size = 8 << 20;  // the sender does not pace without --realtime
      ::setsockopt(polls_[i].fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(port + i));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      EXPECT_EQ(::bind(polls_[i].fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << port + i;
    }
    thread_ = std::thread([this, port] {
      std::vector<uint8_t> buffer(65536);
      while (!stop_) {
        if (::poll(polls_, 4, 50) <= 0) continue;
        for (int i = 0; i < 4; ++i) {
          const ssize_t size = polls_[i].revents & POLLIN ? ::recv(polls_[i].fd, buffer.data(), buffer.size(), 0) : 0;
          if (size > 0) received_[port + i].push_back({std::chrono::steady_clock::now(), {buffer.begin(), buffer.begin() + size}});
        }
      }
    });
  }
  ~UdpCapture() { stop(); }
  // Closes the ports (free for others again) and returns what came.
  std::map<int, std::vector<Datagram>> stop() {
    if (thread_.joinable()) {
      stop_ = true;
      thread_.join();
      for (const pollfd& poll : polls_) ::close(poll.fd);
    }
    return received_;
  }

 private:
  pollfd polls_[4];
  std::map<int, std::vector<Datagram>> received_;  // the thread's until stop()
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

uint32_t be32(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint32_t>(bytes[at] << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 | bytes[at + 3]);
}

// RTP to real receivers: ffmpeg (and, for LATM, GStreamer, whose
// receiver ends the stream at the RTCP goodbye and drops what it has not
// played) opens the SDP, listens, and decodes every picture and the whole
// sound that zanstream sends at the pace of a live sender. AAC frames are
// larger than the payload size here, so they go out in fragments.
TEST(TranscodeCliTest, RtpStreamFromTheSdpDecodesWhole) {
  struct Row {
    const char* name;
    std::vector<std::string> options;
    const char* audioFormat;  // as the SDP names it
    uint32_t frameSamples;    // RTP time from one audio frame to the next
    bool latm;  // also read by FFmpeg's strict LATM reader, and received by GStreamer
    bool copied = false;  // the pictures received are the source's own
    Media from = Media::kMp4H264Aac;
  };
  const Row rows[] = {
      {"AAC as LATM", {}, "MP4A-LATM", 1024, true},
      {"AAC as MPEG-4 generic", {"--set", "audioUseLATM=0"}, "MPEG4-GENERIC", 1024, false},
      {"AMR-NB", {"--acodec", "amr_nb"}, "AMR/8000", 160, false},
      {"H.264 and AAC copied", {"--vcodec", "copy", "--acodec", "copy"}, "MP4A-LATM", 1024, false, true},
      // SBR doubles the core's frames: 2048 samples at 48 kHz.
      {"HE-AAC copied", {"--vcodec", "copy", "--acodec", "copy"}, "MP4A-LATM/48000", 2048, false, true, Media::kFlvHeAac},
  };
  constexpr size_t kPayloadSize = 200;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string media = mediaPath(row.from);
    const zan::test::ProbeResult source = zan::test::probeMedia(media);
    const zan::test::ProbeStream& video = *source.first("video");
    const int sourceFrames = source.frameCount(video.index);
    const zan::test::ProbeStream& audio = *source.first("audio");
    const double sourceSeconds = static_cast<double>(source.sampleCount(audio.index)) / audio.sampleRate;
    TemporaryFolder folder;
    const int port = freeRtpPort();
    auto send = [&](const std::string& sdp, bool realtime) {
      std::vector<std::string> arguments = {"transcode", media, "--rtp", "rtp://127.0.0.1:" + std::to_string(port),
                                            "--payload-size", std::to_string(kPayloadSize), "--sdp", sdp};
      arguments.insert(arguments.end(), row.options.begin(), row.options.end());
      if (realtime) arguments.push_back("--realtime");
      return zanstream(arguments);
    };
    // The description is known before anything is sent; the receivers
    // start from it. This first run is read as it is sent (LATM in real
    // time).
    const std::string sdp = folder.file("stream.sdp");
    UdpCapture capture(port);
    const ProcessResult described = send(sdp, row.latm);
    ASSERT_EQ(described.exitCode, 0) << described.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto sent = capture.stop();
    const std::string description = readFile(sdp);
    EXPECT_NE(description.find(row.audioFormat), std::string::npos) << description;
    // RTP: payloads within the size; the marker on the last payload of a
    // picture or AAC frame, and on the first AMR payload only; audio times
    // one frame apart (compared where no datagram went missing between).
    for (const int stream : {port, port + 2}) {
      const auto& packets = sent[stream];
      ASSERT_GT(packets.size(), 90u) << stream;
      for (size_t i = 0; i < packets.size(); ++i) {
        const std::vector<uint8_t>& packet = packets[i].bytes;
        EXPECT_LE(packet.size(), 12 + kPayloadSize);
        if (i + 1 == packets.size() ||
            static_cast<uint16_t>((packet[2] << 8 | packet[3]) + 1) != (packets[i + 1].bytes[2] << 8 | packets[i + 1].bytes[3]))
          continue;
        const uint32_t step = be32(packets[i + 1].bytes, 4) - be32(packet, 4);
        const bool amr = stream == port + 2 && row.frameSamples == 160;
        EXPECT_EQ((packet[1] & 0x80) != 0, amr ? i == 0 : step != 0) << stream << " " << i;
        // A copy keeps its source's times: FLV's whole milliseconds land
        // up to one away from the frame's exact step.
        const uint32_t slack = row.copied && audio.timeBaseDen < audio.sampleRate
                                   ? static_cast<uint32_t>((audio.sampleRate + audio.timeBaseDen - 1) / audio.timeBaseDen)
                                   : 0;
        EXPECT_TRUE(stream == port || step == 0 || (step + slack >= row.frameSamples && step <= row.frameSamples + slack))
            << step << " at " << i;
      }
    }
    // RTCP: every compound begins with a sender report and names the
    // source (SDES CNAME); the last one of each stream is the goodbye.
    for (const int control : {port + 1, port + 3}) {
      ASSERT_GE(sent[control].size(), 2u) << control;
      for (const UdpCapture::Datagram& datagram : sent[control]) {
        const std::vector<uint8_t>& compound = datagram.bytes;
        std::vector<int> types;
        for (size_t at = 0; at + 4 <= compound.size(); at += 4 * (1 + (compound[at + 2] << 8 | compound[at + 3]))) {
          types.push_back(compound[at + 1]);
          EXPECT_TRUE(compound[at + 1] != 202 || compound[at + 8] == 1) << "a CNAME item";
        }
        ASSERT_GE(types.size(), 2u);
        EXPECT_EQ(types[0], 200);
        EXPECT_EQ(types[1], 202);
        EXPECT_EQ(types.back() == 203, &datagram == &sent[control].back());
      }
    }
    if (row.latm) {
      // In real time each payload arrives at its media time, sound and
      // pictures together, and the goodbyes after the last one's play-out.
      const auto start = std::min(sent[port].front().arrived, sent[port + 2].front().arrived);
      auto arrived = [&](const UdpCapture::Datagram& datagram) {
        return std::chrono::duration<double>(datagram.arrived - start).count();
      };
      double lastEnd = 0;
      for (const int stream : {port, port + 2})
        for (const UdpCapture::Datagram& datagram : sent[stream]) {
          const double mediaTime =
              (be32(datagram.bytes, 4) - be32(sent[stream][0].bytes, 4)) / (stream == port ? 90000.0 : 44100.0);
          EXPECT_NEAR(arrived(datagram), mediaTime, 0.25) << stream;
          lastEnd = std::max(lastEnd, mediaTime);
        }
      for (const int control : {port + 1, port + 3}) EXPECT_GT(arrived(sent[control].back()), lastEnd + 0.2) << control;
      // The SDP's StreamMuxConfig (to its end: buffer fullness 0xFF, no
      // other data, no CRC) in front of each AudioMuxElement as sent makes
      // a LOAS stream, which FFmpeg's strict LATM reader must decode whole.
      std::smatch hex;
      ASSERT_TRUE(std::regex_search(description, hex, std::regex("config=([0-9a-f]+)")));
      std::string config, bits, loas;  // bits as '0' and '1'
      for (char digit : hex[1].str()) config += std::bitset<4>(std::stoul(std::string(1, digit), nullptr, 16)).to_string();
      config.resize(config.rfind('1') + 3);
      size_t elements = 0;
      for (const UdpCapture::Datagram& packet : sent[port + 2]) {
        if (bits.empty()) bits = "0" + config;  // useSameStreamMux
        for (size_t at = 12; at < packet.bytes.size(); ++at) bits += std::bitset<8>(packet.bytes[at]).to_string();
        if (!(packet.bytes[1] & 0x80)) continue;
        bits.resize((bits.size() + 7) / 8 * 8, '0');
        const size_t length = bits.size() / 8;
        loas += {'\x56', static_cast<char>(0xE0 | length >> 8), static_cast<char>(length & 0xFF)};
        for (size_t at = 0; at < bits.size(); at += 8) loas += static_cast<char>(std::stoi(bits.substr(at, 8), nullptr, 2));
        bits.clear();
        ++elements;
      }
      zan::test::writeFile(folder.file("audio.loas"), loas);
      const ProcessResult decoded =
          runProcess({"ffmpeg", "-nostdin", "-v", "error", "-f", "loas", "-i", folder.file("audio.loas"), "-f", "framecrc", "-"});
      EXPECT_EQ(decoded.err, "");
      EXPECT_GT(elements, static_cast<size_t>(sourceSeconds * 44100 / 1024));
      EXPECT_EQ(lineCount(decoded.out) - static_cast<size_t>(std::count(decoded.out.begin(), decoded.out.end(), '#')),
                elements);
    }

    for (const bool gstreamer : {false, true}) {
      if (gstreamer && !row.latm) continue;
      SCOPED_TRACE(gstreamer ? "GStreamer" : "FFmpeg");
      const std::string frames = folder.file("pictures.yuv"), sound = folder.file("sound.pcm");
      std::vector<std::string> receiver = {"ffmpeg", "-nostdin", "-v", "error", "-protocol_whitelist", "file,udp,rtp", "-i",
                                           sdp, "-map", "0:v", "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "yuv420p", frames, "-map",
                                           "0:a", "-f", "s16le", "-ac", "1", sound};
      if (gstreamer)
        receiver = {"gst-launch-1.0", "-q", "filesrc", "location=" + sdp, "!", "sdpdemux", "name=d", "d.stream_0", "!",
                    "queue", "!", "decodebin", "!", "videoconvert", "!", "video/x-raw,format=I420", "!", "filesink",
                    "location=" + frames, "d.stream_1", "!", "queue", "!", "decodebin", "!", "audioconvert", "!",
                    "audio/x-raw,format=S16LE,channels=1", "!", "filesink", "location=" + sound};
      ProcessResult received;
      std::thread listener([&] { received = runProcess(receiver, std::chrono::seconds(60)); });
      const bool listening = zan::test::waitFor([&] { return udpPortBound(port) && udpPortBound(port + 2); },
                                                std::chrono::seconds(20));
      const ProcessResult again = send(folder.file("again.sdp"), true);
      listener.join();
      ASSERT_TRUE(listening);
      ASSERT_EQ(again.exitCode, 0) << again.err;
      EXPECT_EQ(readFile(folder.file("again.sdp")), description);
      ASSERT_EQ(received.exitCode, 0) << received.err;
      EXPECT_EQ(std::filesystem::file_size(frames), static_cast<uintmax_t>(sourceFrames * video.width * video.height * 3 / 2));
      if (row.copied) {
        const std::string decoded = folder.file("source.yuv");
        ASSERT_EQ(runProcess({"ffmpeg", "-nostdin", "-v", "error", "-i", media, "-fps_mode", "passthrough", "-f", "rawvideo",
                              "-pix_fmt", "yuv420p", decoded}).exitCode, 0);
        EXPECT_TRUE(readFile(frames) == readFile(decoded)) << "the received pictures differ from the source's";
      }
      const double rate = row.frameSamples == 160 ? 8000 : audio.sampleRate;
      EXPECT_NEAR(static_cast<double>(std::filesystem::file_size(sound)) / 2 / rate, sourceSeconds, 0.05);
    }
  }
}

}  // namespace
