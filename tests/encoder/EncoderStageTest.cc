// The "FFMpegEncoder" stage as the engine drives it, through the built
// plug-in: media decoded by the input plug-in and encoded into every
// container, read back by ffprobe; the A/V alignment cases and the output
// back-pressure with packets made here.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/records/Records.h"
#include "tests/common/Harness.h"
#include "tests/common/MediaProbe.h"
#include "tests/common/TestMedia.h"
#include "tests/common/TestSupport.h"
#include "zan/streamer/PluginInterfaces.h"

namespace zan {
namespace {

using streamer::PACKET_AUDIO;
using streamer::PACKET_END;
using streamer::PACKET_MUXED;
using streamer::PACKET_VIDEO;
using streamer::PACKETTYPE;
using streamer::PLUGIN_OK;
using streamer::TranscoderPluginInterface;

std::unique_ptr<TranscoderPluginInterface> makeEncoder() {
  TranscoderPluginFactoryFn factory = test::transcoderFactory(ZAN_PLUGIN_PATH);
  return std::unique_ptr<TranscoderPluginInterface>(factory ? factory("FFMpegEncoder") : nullptr);
}

std::unique_ptr<streamer::InputPluginInterface> makeInput() {
  InputPluginFactoryFn factory = test::inputFactory(ZAN_PLUGIN_PATH);
  return std::unique_ptr<streamer::InputPluginInterface>(factory ? factory() : nullptr);
}

// One encoder with its request records, started, and a reader thread that
// gathers its container bytes until PACKET_END.
class EncoderRun {
 public:
  host::Medium medium;
  host::TranscoderInput input;
  host::Requested requested;
  host::Settings settings;

  ~EncoderRun() {
    if (encoder_) encoder_->stop();
    if (reader_.joinable()) reader_.join();
    if (encoder_) encoder_->close();
  }

  // init and start; the reader starts only when |readLater| is false.
  bool start(bool readLater = false) {
    encoder_ = makeEncoder();
    if (!encoder_ || encoder_->init(&medium, &input, &requested, &settings) != PLUGIN_OK) return false;
    if (!encoder_->start()) return false;
    if (!readLater) startReading();
    return true;
  }
  // Reads until PACKET_END (or false), after what was read before.
  void startReading() {
    reader_ = std::thread([this] {
      const test::Frames more = test::readFrames(*encoder_, test::kNoLimit, true);
      output_.all.insert(output_.all.end(), more.all.begin(), more.all.end());
      output_.ends += more.ends;
    });
  }
  // The end packet, read to its marker; the reader then goes on.
  void endAndReadOn() {
    encoder_->write(test::makePacket(PACKET_END));
    reader_.join();
    startReading();
  }
  int ends() const { return output_.ends; }
  void write(PACKETTYPE type, const uint8_t* bytes, size_t size, uint64_t time, bool key = false) {
    encoder_->write(test::makePacket(type, std::vector<uint8_t>(bytes, bytes + size), time, 0, key));
  }
  // Writes the end packet, waits for the reader and stores the container
  // bytes and the announced segment files.
  std::string finish(const std::string& path) {
    encoder_->write(test::makePacket(PACKET_END));
    reader_.join();
    std::string bytes;
    for (const test::Frame& frame : output_.all) {
      if (frame.type == PACKET_MUXED) bytes.append(frame.bytes.begin(), frame.bytes.end());
      // The path as UTF-16LE; the test folders' paths are ASCII.
      if (frame.type == streamer::PACKET_SEGMENT) segments.emplace_back();
      for (size_t i = 0; frame.type == streamer::PACKET_SEGMENT && i < frame.bytes.size(); i += 2)
        segments.back() += static_cast<char>(frame.bytes[i]);
    }
    test::writeFile(path, bytes);
    return path;
  }
  TranscoderPluginInterface& encoder() { return *encoder_; }
  std::vector<std::string> segments;  // announced files, in order

 private:
  std::unique_ptr<TranscoderPluginInterface> encoder_;
  std::thread reader_;
  test::Frames output_;
};

class EncoderStageTest : public ::testing::Test {
 protected:
  EncoderStageTest() : appData_("ZAN_APPDATA", folder_.file("appdata")) {}
  void SetUp() override { ASSERT_NE(test::transcoderFactory(ZAN_PLUGIN_PATH), nullptr); }

  test::TemporaryFolder folder_;
  test::ScopedEnvironment appData_;
};

// ---- containers ----

struct ContainerCase {
  const char* format;
  const char* videoCodec;  // engine names
  const char* audioCodec;
  const char* probedVideo;  // ffprobe's names; null: no video
  const char* probedAudio;
  double videoRate;  // 0: the input's
  test::Media media = test::Media::kMp4H264Aac;
  bool copy = false;  // the input delivers both streams as stored; the encoder copies them
  int width = 0, height = 0;  // the requested picture size; 0: the input's
  unsigned videoBitrate = 400000;
  bool constantBitrate = false;
};

// Decodes |from| with the input plug-in and encodes it as |row| asks; a
// stream to copy is passed through compressed.
std::string transcode(const std::string& from, const ContainerCase& row, const std::string& path,
                      bool copyVideo = false, bool copyAudio = false) {
  auto input = makeInput();
  EXPECT_NE(input, nullptr);
  host::Medium source(from);
  if (copyVideo) input->skipVideoDecoding();
  if (copyAudio) input->skipAudioDecoding();
  host::ErrorRecord error;
  EXPECT_TRUE(input->open(&source, &error)) << error.getMessage();
  host::StreamDescription delivered;
  input->getOutputStreamDescription(&delivered);
  input->getMediumDescription(&source);

  EncoderRun run;
  run.medium = source;
  delivered.copyTo(&run.input.stream());
  host::StreamDescription& target = run.requested.target();
  target.setFormat(row.format);
  target.video().setCodec(row.videoCodec);
  target.video().setBitrate(row.videoBitrate);
  if (row.constantBitrate) run.settings.put("useConstantBitrate", "1");
  target.video().setFrameRate(delivered.getVideo()->getFrameRate());
  target.video().setWidth(row.width);
  target.video().setHeight(row.height);
  target.audio().setCodec(row.audioCodec);
  target.audio().setBitrate(128000);
  EXPECT_TRUE(run.start());
  input->start();
  for (const test::Frame& frame : test::readFrames(*input, test::kNoLimit, true).all)
    run.write(frame.type, frame.bytes.data(), frame.bytes.size(), frame.time, frame.key);
  input->stop();
  input->close();
  return run.finish(path);
}

// FFmpeg's psnr filter: the average PSNR (all planes) of the pictures of
// |path| against those of |reference|; NaN when ffmpeg fails.
double psnr(const std::string& path, const std::string& reference) {
  const test::ProcessResult run =
      test::runProcess({"ffmpeg", "-nostdin", "-i", path, "-i", reference, "-lavfi", "psnr", "-f", "null", "-"});
  const size_t at = run.err.find("average:");
  return run.exitCode == 0 && at != std::string::npos ? std::atof(run.err.c_str() + at + 8) : NAN;
}

TEST_F(EncoderStageTest, EveryContainerAtOnceReadsBackWithTheInputsFramesAndDuration) {
  const ContainerCase cases[] = {
      {"flv", "h264", "aac", "h264", "aac", 0},
      {"flv", "svq", "mp3", "flv1", "mp3", 0},
      {"mpegts", "h264", "aac", "h264", "aac", 0},
      {"mpegts", "mpeg2", "mp2", "mpeg2video", "mp2", 24},  // MPEG-2 always runs at 24 fps
      {"mp4", "h264", "aac", "h264", "aac", 0},
      {"mp3", "none", "mp3", nullptr, "mp3", 0},
      {"amr", "none", "amr_nb", nullptr, "amr_nb", 0},
      {"3gp", "h264", "amr", "h264", "amr_wb", 0},
      // Copied, not encoded: the times still reach the container in its
      // own time base.
      {"flv", "svq", "mp3", "flv1", "mp3", 0, test::Media::kFlvSorensonMp3, /*copy=*/true},
  };
  // Every row at once, each encoder on a thread of its own: encoders in one
  // process share nothing.
  std::vector<std::string> paths;
  for (const ContainerCase& row : cases)
    paths.push_back(folder_.file(std::string("out-") + row.videoCodec + (row.copy ? "-copy." : ".") + row.format));
  std::vector<std::thread> threads;
  for (size_t i = 0; i < std::size(cases); ++i)
    threads.emplace_back(
        [&, i] { transcode(test::mediaPath(cases[i].media), cases[i], paths[i], cases[i].copy, cases[i].copy); });
  for (std::thread& thread : threads) thread.join();

  for (size_t i = 0; i < std::size(cases); ++i) {
    const ContainerCase& row = cases[i];
    SCOPED_TRACE(std::string(row.format) + " " + row.videoCodec + "+" + row.audioCodec + (row.copy ? " copied" : ""));
    const test::ProbeResult in = test::probeMedia(test::mediaPath(row.media));
    const test::ProbeStream& inVideo = *in.first("video");
    const test::ProbeStream& inAudio = *in.first("audio");
    const double inSeconds = static_cast<double>(in.sampleCount(inAudio.index)) / inAudio.sampleRate;
    const int inFrames = in.frameCount(inVideo.index);
    const test::ProbeResult out = test::probeMedia(paths[i]);

    const test::ProbeStream* audio = out.first("audio");
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->codec, row.probedAudio);
    // One encoded frame of audio; the encoder's priming adds at most one
    // more where the container cannot say to skip it.
    const int frameSamples = audio->codec == "aac" ? 1024 : audio->codec == "amr_nb" ? 160 : audio->codec == "amr_wb" ? 320 : 1152;
    const double audioFrame = static_cast<double>(frameSamples) / audio->sampleRate;
    const double outSeconds = static_cast<double>(out.sampleCount(audio->index)) / audio->sampleRate;
    EXPECT_NEAR(outSeconds, inSeconds, 2 * audioFrame);

    const test::ProbeStream* video = out.first("video");
    if (row.probedVideo == nullptr) {
      EXPECT_EQ(video, nullptr);
      continue;
    }
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->codec, row.probedVideo);
    EXPECT_EQ(video->width, inVideo.width);
    EXPECT_EQ(video->height, inVideo.height);
    if (row.videoRate == 0) EXPECT_EQ(out.frameCount(video->index), inFrames);
    else EXPECT_NEAR(out.frameCount(video->index), inSeconds * row.videoRate, 1.0);
    if (i == 0) {
      // Picture quality as the ffmpeg tool gets it with the same H.264
      // settings, from the same 4:2:2 pictures the input delivers.
      const std::string reference = folder_.file("reference.flv");
      const test::ProcessResult made = test::runProcess(
          {"ffmpeg", "-v", "error", "-nostdin", "-i", test::mediaPath(test::Media::kMp4H264Aac), "-vf",
           "format=yuyv422,format=yuv420p", "-c:v", "libx264", "-crf", "25", "-refs", "1", "-subq", "5", "-me_range",
           "12", "-me_method", "dia", "-partitions", "i4x4+p8x8+b8x8", "-g", "25", "-keyint_min", "25", "-b-pyramid",
           "normal", "-qmin", "2", "-qmax", "31", "-qdiff", "3", "-qcomp", "0.8", "-qblur", "0.8", "-trellis", "0",
           "-an", reference});
      ASSERT_EQ(made.exitCode, 0) << made.err;
      const std::string source = test::mediaPath(test::Media::kMp4H264Aac);
      EXPECT_NEAR(psnr(paths[i], source), psnr(reference, source), 0.5);
    }
    // Audio begins with the pictures. The containers' start times also
    // carry the encoders' own delays (B-picture reordering shifts the
    // video, AAC priming the audio) exactly as the ffmpeg tool's outputs
    // do, so the bound is the window's wider side both ways.
    const std::vector<uint64_t> audioTimes = out.frameTimes(audio->index);
    const std::vector<uint64_t> videoTimes = out.frameTimes(video->index);
    ASSERT_FALSE(audioTimes.empty() || videoTimes.empty());
    const double audioStart = static_cast<double>(audioTimes.front()) / 1e6;
    const double videoStart = static_cast<double>(*std::min_element(videoTimes.begin(), videoTimes.end())) / 1e6;
    EXPECT_GE(audioStart, videoStart - 0.100);
    EXPECT_LE(audioStart, videoStart + 0.100);
  }
}

// Times (s) of the white pictures, or with |sound| of the beeps' onsets (a
// loud millisecond after a quiet half second), as FFmpeg decodes |path|.
std::vector<double> onsets(const std::string& path, bool sound) {
  const std::string graph = sound ? "amovie=" + path + ",asetnsamples=44,astats=metadata=1:reset=1" : "movie=" + path + ",signalstats";
  const std::string tag = sound ? "lavfi.astats.Overall.Peak_level" : "lavfi.signalstats.YAVG";
  std::istringstream lines(test::runProcess({"ffprobe", "-v", "error", "-f", "lavfi", "-i", graph, "-show_entries",
                                             "frame=pts_time:frame_tags=" + tag, "-of", "csv=p=0"}).out);
  std::vector<double> times;
  double time = 0.0, value = 0.0, loud = -1.0;  // silence reads as -inf; priming noise stays below -12 dB
  for (std::string line; std::getline(lines, line);) {
    if (std::sscanf(line.c_str(), "%lf,%lf", &time, &value) != 2 || value < (sound ? -12 : 128)) continue;
    if (!sound || time - loud > 0.5) times.push_back(time);
    loud = time;
  }
  return times;
}

// Every beep of the source starts on its flash in every container, as
// readers find them: each stream's first time includes the encoder's own
// delay (B-picture reordering, AAC priming), none is moved to 0. And the
// FLV header describes the streams as coded: the odd size rounded up, the
// codecs by FLV's ids (7 AVC, 10 AAC), the rates. An H.264 output begins
// with one key picture, like every other second.
TEST_F(EncoderStageTest, BeepsStartOnTheirFlashesInEveryContainerAndFlvMetadataDescribesTheStreams) {
  const test::Media media = test::Media::kMp4FlashBeep;
  const ContainerCase cases[] = {
      {"flv", "h264", "aac", "h264", "aac", 0, media, false, 161, 121},
      // A constant 9 Mbit/s: the rate control's buffer is more bits than an int holds.
      {"mpegts", "h264", "aac", "h264", "aac", 0, media, false, 0, 0, 9000000, true},
      {"mp4", "h264", "aac", "h264", "aac", 0, media},
  };
  for (const ContainerCase& row : cases) {
    SCOPED_TRACE(row.format);
    const std::string path = transcode(test::mediaPath(media), row, folder_.file(std::string("flash.") + row.format));
    const std::vector<double> flashes = onsets(path, false), beeps = onsets(path, true);
    ASSERT_EQ(flashes.size(), 4u);
    ASSERT_EQ(beeps.size(), 4u) << ::testing::PrintToString(beeps);
    for (size_t i = 0; i < flashes.size(); ++i) EXPECT_NEAR(beeps[i], flashes[i], 0.005) << "second " << i;
    const test::ProbeResult probe = test::probeMedia(path);
    ASSERT_NE(probe.first("video"), nullptr);
    EXPECT_EQ(probe.keyFrameCount(probe.first("video")->index), 4);
  }
  // onMetaData's numbers where FLV puts them: key length, key, number marker, double.
  const std::string flv = test::readFile(folder_.file("flash.flv"));
  auto meta = [&](const std::string& key) {
    const size_t at = flv.find(std::string(1, '\0') + static_cast<char>(key.size()) + key + '\0');
    uint64_t bits = 0;
    for (size_t k = 0; at != std::string::npos && k < 8; ++k) bits = bits << 8 | static_cast<uint8_t>(flv[at + key.size() + 3 + k]);
    return std::bit_cast<double>(bits);
  };
  const test::ProbeStream video = *test::probeMedia(folder_.file("flash.flv")).first("video");
  EXPECT_EQ(meta("width"), video.width);  // 162: even
  EXPECT_EQ(meta("height"), video.height);
  EXPECT_EQ(meta("videocodecid"), 7);   // AVC
  EXPECT_EQ(meta("audiocodecid"), 10);  // AAC
  EXPECT_EQ(test::runProcess({"ffprobe", "-v", "error", "-show_entries", "format_tags=totaldatarate", "-of", "csv=p=0",
                              folder_.file("flash.flv")}).out, "528\n");  // kbit/s, the encoders' 400 + 128
}

// ---- copied streams ----

// The MD5 of every decoded picture (v) or audio frame (a) of |path|, in
// output order, as FFmpeg decodes them; times left aside.
std::vector<std::string> decodedDigests(const std::string& path, const char* kind) {
  const test::ProcessResult run = test::runProcess({"ffmpeg", "-v", "error", "-nostdin", "-i", path, "-map",
                                                    std::string("0:") + kind, "-fps_mode", "passthrough", "-f",
                                                    "framemd5", "-"});
  EXPECT_EQ(run.exitCode, 0) << path << ": " << run.err;
  std::vector<std::string> digests;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty() && line[0] != '#') digests.push_back(line.substr(line.rfind(',') + 2));
  return digests;
}

TEST_F(EncoderStageTest, CopiedStreamsDecodeToTheSourcesPicturesAndSamples) {
  // H.264 High with B pictures + AAC-LC, stored four ways; then HE-AAC
  // (explicitly signalled) in FLV, Matroska and MP4.
  const std::string mp4 = test::mediaPath(test::Media::kMp4H264BFrames);
  const std::string sources[] = {
      mp4,
      test::generateMedia("copy_source_flv", "flv", "-i " + mp4 + " -c copy"),
      test::generateMedia("copy_source_mkv", "mkv", "-i " + mp4 + " -c copy"),
      test::generateMedia("copy_source_ts", "ts", "-i " + mp4 + " -c copy"),
      // Cut inside a group of pictures: the pictures before its first key
      // frame decode to nothing and are left out.
      test::generateMedia("copy_source_cut_ts", "ts", "-i " + mp4 + " -ss 1.5 -c copy -copyinkf"),
      test::mediaPath(test::Media::kFlvHeAac),
      test::generateMedia("copy_source_he_mkv", "mkv", "-i " + test::mediaPath(test::Media::kFlvHeAac) + " -c copy"),
      test::generateMedia("copy_source_he_mp4", "mp4", "-i " + test::mediaPath(test::Media::kFlvHeAac) + " -c copy"),
  };
  for (int he = 5; he < 8; ++he) ASSERT_EQ(test::probeMedia(sources[he]).first("audio")->sampleRate, 48000);
  struct Row {
    int source;
    const char* format;
    bool copyVideo, copyAudio;
  };
  std::vector<Row> rows;
  for (int source = 0; source < 4; ++source)
    for (const char* format : {"flv", "mpegts", "mp4"}) rows.push_back({source, format, true, true});
  rows.push_back({0, "flv", true, false});    // pictures copied, sound encoded
  rows.push_back({3, "mp4", false, true});    // ADTS sound copied, pictures encoded
  rows.push_back({4, "mpegts", true, true});
  // HE-AAC keeps its configuration (MPEG-TS carries the core in ADTS and
  // leaves SBR to be found in the frames).
  rows.push_back({5, "flv", true, true});
  rows.push_back({5, "mp4", true, true});
  rows.push_back({6, "mp4", true, true});
  rows.push_back({7, "flv", true, true});

  for (const Row& row : rows) {
    const std::string& from = sources[row.source];
    SCOPED_TRACE(from + " -> " + row.format + (row.copyVideo ? " video" : "") + (row.copyAudio ? " audio" : ""));
    ContainerCase request{row.format, "h264", "aac", "h264", "aac", 0};
    const std::string path = folder_.file("copy-" + std::to_string(&row - rows.data()) + "." + row.format);
    transcode(from, request, path, row.copyVideo, row.copyAudio);
    const test::ProbeResult out = test::probeMedia(path);
    ASSERT_TRUE(out.first("video") != nullptr && out.first("audio") != nullptr);
    if (row.copyVideo) {
      EXPECT_EQ(decodedDigests(path, "v"), decodedDigests(from, "v"));
      const int video = out.first("video")->index;
      EXPECT_EQ(static_cast<int>(out.packetSizes(video).size()), out.frameCount(video));  // each picture decodes
    }
    if (!row.copyAudio) continue;
    // Every frame is there. The MP4 source's priming frame (an edit list or
    // skip count hides it there) has no time of its own before the start in
    // a copy: it is played as the first frame.
    const std::vector<std::string> in = decodedDigests(from, "a"), copied = decodedDigests(path, "a");
    ASSERT_GE(copied.size(), in.size());
    EXPECT_LE(copied.size(), in.size() + (row.source == 0 ? 1 : 0));
    EXPECT_EQ(std::vector<std::string>(copied.end() - static_cast<long>(in.size()), copied.end()), in);
  }
}

// ---- alignment of audio and video ----

// Raw video and PCM in a container that keeps both exactly (NUT with
// rawvideo and 16-bit PCM), so ffprobe's counts are the packets kept.
constexpr int kWidth = 32, kHeight = 24;
constexpr int kRate = 8000;
constexpr uint64_t kAudioPacketUs = 5000;  // 40 samples
constexpr uint64_t kPictureUs = 40000;     // 25 fps
constexpr uint64_t kOrigin = 1000000;      // the first picture's time

void prepareRawRequest(EncoderRun& run, bool withAudio) {
  host::StreamDescription& source = run.input.stream();
  source.video().setCodec("raw");
  source.video().setWidth(kWidth);
  source.video().setHeight(kHeight);
  source.video().setFrameRate(25.0);
  source.video().setPixelFormat(4);  // planar YUV 4:2:0
  source.audio().setCodec("raw");
  source.audio().setSampleRate(kRate);
  source.audio().setChannels(1);
  source.audio().setBitsPerSample(16);
  host::StreamDescription& target = run.requested.target();
  target.setFormat("nut");
  target.video().setCodec("rawvideo");
  target.video().setFrameRate(25.0);
  target.audio().setCodec(withAudio ? "pcm_s16le" : "none");
  target.audio().setSampleRate(kRate);
  target.audio().setChannels(1);
}

// H.264 in |format| from 64x48 raw pictures.
void prepareH264Request(EncoderRun& run, const char* format) {
  prepareRawRequest(run, false);
  run.input.stream().video().setWidth(64);
  run.input.stream().video().setHeight(48);
  run.requested.target().setFormat(format);
  run.requested.target().video().setCodec("h264");
}

// Picture |n| of a 64x48 gradient that moves, so that the encoder has
// something to predict.
void writeMovingPicture(EncoderRun& run, int n, uint64_t time) {
  std::vector<uint8_t> bytes(64 * 48 * 3 / 2, 128);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) bytes[static_cast<size_t>(y * 64 + x)] = static_cast<uint8_t>((x + y + 3 * n) * 4);
  run.write(PACKET_VIDEO, bytes.data(), bytes.size(), time, true);
}

struct SyncCase {
  const char* name;
  bool withAudio;
  int pictures;
  int64_t audioOffsetUs;  // first audio time minus first picture time
  bool picturesFirst;     // every picture is written before any audio
  int droppedAudioPackets;
};

TEST_F(EncoderStageTest, AudioIsAlignedWithVideoBeforeEncoding) {
  const SyncCase cases[] = {
      // Within the window: nothing is dropped; the audio waits.
      {"audio 50 ms late", true, 25, 50000, false, 0},
      // Early audio is dropped until it is within 10 ms of the video; what
      // is left before the first picture is dropped too.
      {"audio 20 ms early", true, 25, -20000, false, 4},
      // Nothing to align with: pictures flow at once.
      {"video only", false, 25, 0, false, 0},
      // 101 queued pictures without audio give alignment up: later early
      // audio is kept.
      {"101 pictures, then audio", true, 101, -50000, true, 0},
  };
  const std::vector<uint8_t> picture(kWidth * kHeight * 3 / 2, 128);
  const std::vector<uint8_t> audioPacket(kRate * kAudioPacketUs / 1000000 * 2, 0);
  for (const SyncCase& row : cases) {
    SCOPED_TRACE(row.name);
    EncoderRun run;
    prepareRawRequest(run, row.withAudio);
    ASSERT_TRUE(run.start());
    const uint64_t end = kOrigin + static_cast<uint64_t>(row.pictures) * kPictureUs;
    const uint64_t audioStart = static_cast<uint64_t>(static_cast<int64_t>(kOrigin) + row.audioOffsetUs);
    const int audioPackets = row.withAudio ? static_cast<int>((end - audioStart) / kAudioPacketUs) : 0;
    // In time order; a picture goes before audio of the same time.
    int pictures = 0, audio = 0;
    while (pictures < row.pictures || audio < audioPackets) {
      const uint64_t pictureTime = kOrigin + static_cast<uint64_t>(pictures) * kPictureUs;
      const uint64_t audioTime = audioStart + static_cast<uint64_t>(audio) * kAudioPacketUs;
      const bool picture_next =
          pictures < row.pictures && (audio >= audioPackets || row.picturesFirst || pictureTime <= audioTime);
      if (picture_next) {
        run.write(PACKET_VIDEO, picture.data(), picture.size(), pictureTime, true);
        ++pictures;
      } else {
        run.write(PACKET_AUDIO, audioPacket.data(), audioPacket.size(), audioTime);
        ++audio;
      }
    }
    const test::ProbeResult out = test::probeMedia(run.finish(folder_.file("sync.nut")));
    ASSERT_NE(out.first("video"), nullptr);
    EXPECT_EQ(out.frameCount(out.first("video")->index), row.pictures);
    if (!row.withAudio) {
      EXPECT_EQ(out.first("audio"), nullptr);
      continue;
    }
    ASSERT_NE(out.first("audio"), nullptr);
    EXPECT_EQ(out.sampleCount(out.first("audio")->index),
              static_cast<int64_t>(audioPackets - row.droppedAudioPackets) * (kRate * kAudioPacketUs / 1000000));
  }
}

TEST_F(EncoderStageTest, PicturesSharingAFrameSlotAreDroppedOrMovedOn) {
  // Pictures at 0, 40, 40 and 80 ms. At the input's own rate the repeated
  // time only jitters and the picture moves to the next slot; at another
  // rate every picture whose slot is taken is dropped.
  struct Row {
    double targetRate;
    int pictures;
  };
  const Row rows[] = {{25.0, 4}, {24.0, 2}};
  const std::vector<uint8_t> picture(kWidth * kHeight * 3 / 2, 128);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.targetRate);
    EncoderRun run;
    prepareRawRequest(run, false);
    run.requested.target().video().setFrameRate(row.targetRate);
    ASSERT_TRUE(run.start());
    for (uint64_t time : {0, 40000, 40000, 80000}) run.write(PACKET_VIDEO, picture.data(), picture.size(), time, true);
    const test::ProbeResult out = test::probeMedia(run.finish(folder_.file("slots.nut")));
    ASSERT_NE(out.first("video"), nullptr);
    EXPECT_EQ(out.frameCount(out.first("video")->index), row.pictures);
  }
}

// ---- source pictures ----

TEST_F(EncoderStageTest, PicturesOfEveryLayoutKeepTheirTopAndWrongSizesAreRefused) {
  constexpr int kW = 32, kH = 16;
  struct Colour {
    uint8_t r, g, b, y, u, v;
  };
  constexpr Colour kRed{255, 0, 0, 81, 90, 240}, kBlue{0, 0, 255, 41, 240, 110};
  struct Row {
    const char* name;
    int code;    // the engine's pixel format
    int layout;  // <= 0: RGB rows stored bottom-up
  };
  const Row rows[] = {
      {"RGB24 bottom-up", 0, 0}, {"RGB24 top-down", 0, 1}, {"RGB32 bottom-up", 2, -1},
      {"YUV420P", 4, 0},         {"YUYV422", 5, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // The image shows red above blue; bottom-up RGB stores its last row
    // first.
    std::vector<uint8_t> picture;
    const bool bottomUp = row.code <= 3 && row.layout <= 0;
    auto colourOfStoredRow = [&](int y) { return (y < kH / 2) != bottomUp ? kRed : kBlue; };
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const Colour c = colourOfStoredRow(y);
        if (row.code == 0) picture.insert(picture.end(), {c.r, c.g, c.b});
        // RGB32 is the native 32-bit word 0xAARRGGBB: B, G, R, A in memory.
        if (row.code == 2) picture.insert(picture.end(), {c.b, c.g, c.r, 255});
        if (row.code == 4) picture.push_back(c.y);
        if (row.code == 5 && x % 2 == 0) picture.insert(picture.end(), {c.y, c.u, c.y, c.v});
      }
    if (row.code == 4)
      for (int plane = 0; plane < 2; ++plane)
        for (int y = 0; y < kH / 2; ++y)
          for (int x = 0; x < kW / 2; ++x) picture.push_back(plane == 0 ? colourOfStoredRow(2 * y).u : colourOfStoredRow(2 * y).v);

    EncoderRun run;
    prepareRawRequest(run, false);
    run.input.stream().video().setWidth(kW);
    run.input.stream().video().setHeight(kH);
    run.input.stream().video().setPixelFormat(row.code);
    run.input.stream().video().setLayout(row.layout);
    ASSERT_TRUE(run.start());
    run.write(PACKET_VIDEO, picture.data(), picture.size(), 0, true);
    run.write(PACKET_VIDEO, picture.data(), picture.size() - 1, kPictureUs, true);  // one byte short: refused
    run.write(PACKET_VIDEO, picture.data(), picture.size(), 2 * kPictureUs, true);
    const std::string path = run.finish(folder_.file("layout.nut"));
    const test::ProbeResult out = test::probeMedia(path);
    ASSERT_NE(out.first("video"), nullptr);
    EXPECT_EQ(out.frameCount(out.first("video")->index), 2);

    const test::ProcessResult decoded = test::runProcess(
        {"ffmpeg", "-v", "error", "-i", path, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    ASSERT_EQ(decoded.out.size(), static_cast<size_t>(kW * kH * 3)) << decoded.err;
    auto isRed = [&](int y) {
      const auto* pixel = reinterpret_cast<const uint8_t*>(decoded.out.data()) + (y * kW + kW / 2) * 3;
      return pixel[0] > 160 && pixel[2] < 100;
    };
    EXPECT_TRUE(isRed(0));
    EXPECT_FALSE(isRed(kH - 1));
  }
}

// ---- restart at a new position ----

TEST_F(EncoderStageTest, ResetPositionGoesOnAtTheNewPositionWithIntraPicturesAlsoAfterTheEnd) {
  constexpr int kBefore = 32, kAfter = 30;
  constexpr uint64_t kResetMs = 2000;
  const std::pair<const char*, bool> rows[] = {
      {"mpegts", false}, {"flv", false}, {"mp4", false}, {"mpegts", true}, {"mp4", true}};
  for (const auto& [format, endFirst] : rows) {
    SCOPED_TRACE(std::string(format) + (endFirst ? " after its end" : ""));
    EncoderRun run;
    prepareH264Request(run, format);
    ASSERT_TRUE(run.start());
    for (int n = 0; n < kBefore; ++n) writeMovingPicture(run, n, static_cast<uint64_t>(n) * kPictureUs);
    if (endFirst) run.endAndReadOn();
    run.encoder().resetPosition(kResetMs);
    for (int n = 0; n < kAfter; ++n)
      writeMovingPicture(run, 100 + n, kResetMs * 1000 + static_cast<uint64_t>(n) * kPictureUs);
    const std::string path = run.finish(folder_.file(std::string("reset.") + format));
    EXPECT_EQ(run.ends(), endFirst ? 2 : 1);
    const test::ProbeResult out = test::probeMedia(path);
    ASSERT_NE(out.first("video"), nullptr);
    std::vector<bool> keys;
    for (const test::ProbeFrame& frame : out.frames)
      if (frame.stream == out.first("video")->index) keys.push_back(frame.key);
    // Whatever of the old position was still queued is gone (all of it
    // stays when the end came first); everything after the restart
    // decodes, its first eleven pictures intra-coded.
    ASSERT_GE(keys.size(), static_cast<size_t>(endFirst ? kBefore + kAfter : kAfter));
    const std::vector<bool> after(keys.end() - kAfter, keys.end());
    for (int n = 0; n < 11; ++n) EXPECT_TRUE(after[static_cast<size_t>(n)]) << "picture " << n;
    EXPECT_LT(std::count(after.begin(), after.end(), true), kAfter);
    // The new pictures lie at the new position, after the old ones that
    // were left (those of the end, or what the encoder had written).
    const std::vector<uint64_t> times = out.frameTimes(out.first("video")->index);
    if (times.size() > static_cast<size_t>(kAfter)) {
      EXPECT_GT(*std::min_element(times.end() - kAfter, times.end()),
                *std::max_element(times.begin(), times.end() - kAfter) + 500000);
    }
    // Every PID's continuity counter jump is marked as meant.
    const test::ProcessResult debug = test::runProcess({"ffprobe", "-v", "debug", "-show_packets", path});
    EXPECT_EQ(debug.err.find("Continuity check failed"), std::string::npos);
  }
}

// A ladder that cannot be made is refused; a restart that cannot write
// ends the output without its end marker (the reader gets false).
TEST_F(EncoderStageTest, WhatCannotBeWrittenIsAnErrorNotAShorterOutput) {
  test::ScopedEnvironment temporary("TMPDIR", folder_.path());
  {
    // libx264 refuses the 64000 companion of a 16x8192 picture.
    EncoderRun run;
    prepareH264Request(run, "mpegts");
    run.input.stream().video().setWidth(16);
    run.input.stream().video().setHeight(8192);
    run.settings.put("MpegTSMethod", "segmented");
    run.settings.put("needLowBitrateStream", "2");
    run.settings.put("lowVideoBitrate1", "300000");
    run.settings.put("lowVideoBitrate2", "64000");
    EXPECT_FALSE(run.start());
  }
  EncoderRun run;
  prepareH264Request(run, "mpegts");
  run.settings.put("MpegTSMethod", "segmented");
  ASSERT_TRUE(run.start());
  for (int n = 0; n < 20; ++n) writeMovingPicture(run, n, static_cast<uint64_t>(n) * kPictureUs);
  {
    test::ScopedEnvironment nowhere("TMPDIR", folder_.file("missing/folder"));
    run.encoder().resetPosition(0);
  }
  for (int n = 0; n < 20; ++n) writeMovingPicture(run, n, static_cast<uint64_t>(n) * kPictureUs);
  run.finish(folder_.file("unused"));
  EXPECT_EQ(run.ends(), 0);
}

// 3 s of pictures and 35 s of sound: once the pictures stop, the sound is
// cut by its own time (each segment about ten seconds, as ffprobe reads it).
TEST_F(EncoderStageTest, SegmentsGoOnByAudioTimeWhenTheVideoEnds) {
  test::ScopedEnvironment temporary("TMPDIR", folder_.path());
  EncoderRun run;
  prepareH264Request(run, "mpegts");
  run.settings.put("MpegTSMethod", "segmented");
  run.requested.target().audio().setCodec("aac");
  run.requested.target().audio().setBitrate(64000);
  ASSERT_TRUE(run.start());
  const std::vector<uint8_t> sound(kRate / 10 * 2, 0);  // 100 ms of 16-bit mono
  for (uint64_t n = 0, picture = 0; n < 350; ++n) {
    for (; picture < 75 && picture * kPictureUs < (n + 1) * 100000; ++picture)
      writeMovingPicture(run, static_cast<int>(picture), picture * kPictureUs);
    run.write(PACKET_AUDIO, sound.data(), sound.size(), n * 100000);
  }
  run.finish(folder_.file("unused"));
  double total = 0;
  for (const std::string& path : run.segments) {
    const test::ProbeResult probe = test::probeMedia(path);
    const test::ProbeStream* audio = probe.first("audio");
    ASSERT_NE(audio, nullptr) << path;
    const double seconds = static_cast<double>(probe.sampleCount(audio->index)) / audio->sampleRate;
    EXPECT_LT(seconds, 10.3) << path;  // the cut comes with the next AAC frame
    total += seconds;
  }
  EXPECT_EQ(run.segments.size(), 4u);
  EXPECT_NEAR(total, 35.0, 2 * 1024.0 / kRate);  // AAC priming and padding
}

// ---- back-pressure ----

TEST_F(EncoderStageTest, ASlowReaderHoldsTheWriterBetweenTheMarks) {
  constexpr uint64_t kHighMark = 15728640, kLowMark = 3145728;
  constexpr size_t kPacketBytes = 65536;  // 16384 stereo frames
  EncoderRun run;
  host::StreamDescription& source = run.input.stream();
  source.video().setCodec("none");
  source.audio().setCodec("raw");
  source.audio().setSampleRate(48000);
  source.audio().setChannels(2);
  source.audio().setBitsPerSample(16);
  // Raw PCM out: every byte written comes out once.
  run.requested.target().setFormat("s16le");
  run.requested.target().video().setCodec("none");
  run.requested.target().audio().setCodec("pcm_s16le");
  run.requested.target().audio().setSampleRate(48000);
  run.requested.target().audio().setChannels(2);
  ASSERT_TRUE(run.start(/*readLater=*/true));

  std::atomic<uint64_t> written{0};
  std::atomic<bool> writing{false}, done{false};
  const std::vector<uint8_t> packet(kPacketBytes, 1);
  std::thread writer([&] {
    for (uint64_t i = 0; i < 20 * 1048576 / kPacketBytes; ++i) {
      writing = true;
      run.write(PACKET_AUDIO, packet.data(), packet.size(), i * 341333);
      writing = false;
      written += kPacketBytes;
    }
    done = true;
  });
  // The writer stops inside write() once the queue is past the high mark:
  // it stays in one call while nothing is read.
  uint64_t previous = 0;
  bool stalled = false;
  for (int i = 0; i < 60 && !stalled && !done; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const uint64_t now = written;
    stalled = writing && now == previous && now > 0;
    previous = now;
  }
  ASSERT_TRUE(stalled);
  const uint64_t queued = written;  // every written byte waits in the queue
  EXPECT_GT(queued, kHighMark);
  EXPECT_LE(queued, kHighMark + 2 * kPacketBytes);

  // Reading one packet at a time: the writer goes on only once the queue
  // is under the low mark.
  uint64_t readAtResume = 0;
  for (;;) {
    const test::Frames one = test::readFrames(run.encoder(), 1);
    ASSERT_EQ(one.all.size(), 1u);
    readAtResume += one.all.front().size;
    // Once under the low mark the writer gets time to wake up.
    const bool under = queued - readAtResume < kLowMark;
    if (test::waitFor([&] { return written != queued; }, std::chrono::milliseconds(under ? 5000 : 0))) break;
  }
  EXPECT_LT(queued - readAtResume, kLowMark);
  EXPECT_GE(queued - readAtResume, kLowMark - 2 * kPacketBytes);
  run.startReading();
  writer.join();
}

// ---- segmented output ----

// Two segmented encoders at once, each reset to 25 s halfway: every file
// either announces decodes alone from a key frame, the numbering goes on
// from the position (and under a new base where a stranger's file takes
// the next name), and closing removes what each wrote and nothing else.
TEST_F(EncoderStageTest, SegmentsNumberFromTheResetAndClosingRemovesOnlyTheirOwnFiles) {
  test::ScopedEnvironment temporary("TMPDIR", folder_.path());
  const std::string cache = folder_.file("ZanStreamCache");
  std::filesystem::create_directory(cache);
  const std::string foreign = cache + "/segment-1-1.ts";
  test::writeFile(foreign, "not ours");
  EncoderRun runs[2];  // closed by hand below, after their files are read
  std::string basePaths[2];
  auto encode = [&](int which) {
    EncoderRun& run = runs[which];
    prepareH264Request(run, "mpegts");
    run.settings.put("MpegTSMethod", "segmented");
    run.settings.put("needLowBitrateStream", "1");
    run.settings.put("lowVideoBitrate1", "64000");
    if (!run.start()) return;
    host::StreamDescription produced;
    run.encoder().getOutputStreamDescription(&produced);
    basePaths[which] = produced.get("basePath") ? produced.get("basePath") : "";
    if (which == 0) test::writeFile(basePaths[0] + "-2.ts", "a stranger's");
    // 15 s: one segment finished (the companion's too, behind its encoder's
    // look-ahead), the next under way.
    for (int n = 0; n < 375; ++n) writeMovingPicture(run, n, static_cast<uint64_t>(n) * kPictureUs);
    run.encoder().resetPosition(25000);
    for (int n = 0; n < 50; ++n) writeMovingPicture(run, n, 25000000 + static_cast<uint64_t>(n) * kPictureUs);
    run.finish(folder_.file("unused" + std::to_string(which)));
  };
  std::thread other(encode, 1);
  encode(0);
  other.join();

  EXPECT_NE(basePaths[0], basePaths[1]);
  for (int which = 0; which < 2; ++which) {
    SCOPED_TRACE(which);
    EXPECT_EQ(basePaths[which].rfind(cache + "/segment-", 0), 0u) << basePaths[which];
    // The segment cut at 10 s, then, after the reset, number 2 of a new
    // base; the one under way at the reset was never finished.
    std::vector<std::string> endings;
    for (const std::string& path : runs[which].segments) {
      const std::string ending = path.substr(path.find('-', path.rfind("segment-") + 8));
      endings.push_back(ending);
      EXPECT_EQ(path.rfind(basePaths[which], 0) == 0, ending.rfind("-1", 0) == 0) << path;
      const test::ProbeResult probe = test::probeMedia(path);
      ASSERT_FALSE(probe.frames.empty()) << path;
      EXPECT_TRUE(probe.frames.front().key) << path;
      // The picture rate the H.264 headers state, the companion's own.
      const std::string trace = test::runProcess({"ffmpeg", "-nostdin", "-i", path, "-c", "copy", "-bsf:v",
                                                  "trace_headers", "-f", "null", "-"}).err;
      auto field = [&](const char* name) {
        const size_t at = trace.find(name);
        return at == std::string::npos ? 0.0 : std::atof(trace.c_str() + trace.find("= ", at) + 2);
      };
      EXPECT_EQ(field(" time_scale ") / 2 / field(" num_units_in_tick "), ending.find("low") != std::string::npos ? 2 : 25)
          << path;
    }
    std::sort(endings.begin(), endings.end());
    EXPECT_EQ(endings, (std::vector<std::string>{"-1-low-64000.ts", "-1.ts", "-2-low-64000.ts", "-2.ts"}))
        << ::testing::PrintToString(runs[which].segments);
  }
  for (EncoderRun& run : runs) run.encoder().close();
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(cache)) left.push_back(entry.path().string());
  std::vector<std::string> strangers = {basePaths[0] + "-2.ts", foreign};
  std::sort(left.begin(), left.end());
  std::sort(strangers.begin(), strangers.end());
  EXPECT_EQ(left, strangers);
}

}  // namespace
}  // namespace zan
