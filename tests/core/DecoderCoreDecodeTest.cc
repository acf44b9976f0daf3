// Reading and decoding a whole medium: frame counts, time stamps and frame
// sizes against ffprobe's decode of the same file, positioning, the
// position reset, pass-through of compressed streams and the decoding
// modes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "core/FFMpegDecoderCore.h"
#include "host/records/Records.h"
#include "tests/common/MediaProbe.h"
#include "tests/common/TestMedia.h"
#include "tests/common/TestSupport.h"
#include "tests/core/CoreTestSupport.h"

namespace zan::test {
namespace {

using streamer::kNoTime;

const Media kPlayable[] = {
    Media::kMp4H264Aac,   Media::kFlvSorensonMp3,     Media::kMkvH264Vorbis,  Media::kMpegTsH264Aac,
    Media::kAviMpeg4Mp3,  Media::kMpegPsMpeg1Mp2,     Media::kAsfWmv2Wma2,    Media::kMp3Audio,
    Media::kFlacAudio,    Media::kWavS16,             Media::kOggTheoraVorbis, Media::kInterlacedMpeg2Ts,
    Media::kMp4H264BFrames, Media::kTwoVideoStreams,
};

// The largest number of samples ffprobe saw in one decoded frame of a stream.
int largestFrame(const ProbeResult& probe, int stream) {
  int largest = 0;
  for (const ProbeFrame& frame : probe.frames)
    if (frame.stream == stream) largest = std::max(largest, frame.samples);
  return largest;
}

// The medium's start time in microseconds (ffprobe prints six decimals).
uint64_t startMicroseconds(const ProbeResult& probe) {
  return std::isnan(probe.startTime) ? 0 : static_cast<uint64_t>(std::llround(probe.startTime * 1e6));
}

struct AudioFormat {
  int channels = 0;
  int bytesPerSample = 0;
  int sampleRate = 0;
};

AudioFormat outputAudio(FFMpegDecoderCore& core) {
  host::StreamDescription output;
  core.getOutputStreamDescription(&output);
  return {output.audio().getChannels(), output.audio().getBitsPerSample() / 8, output.audio().getSampleRate()};
}

TEST(DecoderCoreDecodeTest, EveryFrameFfprobeDecodesIsDeliveredWithItsTime) {
  for (Media media : kPlayable) {
    const MediaRecipe& recipe = mediaRecipe(media);
    SCOPED_TRACE(recipe.name);
    const std::string path = mediaPath(media);
    const ProbeResult probe = probeMedia(path);
    FFMpegDecoderCore core;
    ASSERT_EQ(core.init(path, recipe.extension), 0);
    const AudioFormat audio = outputAudio(core);
    const Delivery delivery = readFrames(core);

    if (const ProbeStream* video = probe.largestVideo()) {
      const std::vector<uint64_t> expected = probe.frameTimes(video->index);
      ASSERT_EQ(delivery.video.size(), expected.size());
      ASSERT_FALSE(expected.empty());
      // Best-effort times converted the same way; one microsecond of
      // rounding apart at most.
      EXPECT_NEAR(static_cast<double>(delivery.video.front().time), static_cast<double>(expected.front()), 1.0);
      EXPECT_NEAR(static_cast<double>(delivery.video.back().time), static_cast<double>(expected.back()), 1.0);
      for (std::size_t i = 1; i < delivery.video.size(); ++i)
        ASSERT_GT(delivery.video[i].time, delivery.video[i - 1].time) << "frame " << i;
      EXPECT_TRUE(delivery.video.front().key);
      for (const DeliveredFrame& frame : delivery.video)
        ASSERT_EQ(frame.size, static_cast<unsigned>(video->width * video->height * 2));
    } else {
      EXPECT_TRUE(delivery.video.empty());
    }

    const ProbeStream* audioStream = probe.first("audio");
    ASSERT_NE(audioStream, nullptr);
    ASSERT_FALSE(delivery.audio.empty());
    EXPECT_TRUE(nonDecreasing(delivery.audio));
    const unsigned sampleBytes = static_cast<unsigned>(audio.channels * audio.bytesPerSample);
    ASSERT_GT(sampleBytes, 0u);
    int64_t samples = 0;
    for (const DeliveredFrame& frame : delivery.audio) {
      ASSERT_GT(frame.size, 0u);
      ASSERT_EQ(frame.size % sampleBytes, 0u);
      samples += frame.size / sampleBytes;
    }
    // The audio decoder is not drained at the end of input (one frame per
    // demuxed packet), so a decoder with delay (WMA, Vorbis) may keep its
    // last block back.
    const int frame = largestFrame(probe, audioStream->index);
    EXPECT_NEAR(static_cast<double>(samples), static_cast<double>(probe.sampleCount(audioStream->index)), frame);
    const std::vector<uint64_t> audioTimes = probe.frameTimes(audioStream->index);
    ASSERT_FALSE(audioTimes.empty());
    // The core stamps a block with the time of the packet that produced
    // it, ffprobe with the time the decoder reports; a decoder with delay
    // puts them one frame apart.
    const double frameMicroseconds = 1e6 * frame / audioStream->sampleRate;
    EXPECT_NEAR(static_cast<double>(delivery.audio.front().time), static_cast<double>(audioTimes.front()),
                1.5 * frameMicroseconds);
  }
}

// AAC in MP4 starts with an encoder-priming packet at a negative time,
// which the decoder needs to get the first samples right and FFmpeg trims
// away. Compared sample by sample with the ffmpeg tool's own decode.
TEST(DecoderCoreDecodeTest, AacInMp4IsExactFromTheFirstSample) {
  struct Case {
    std::string path;
    const char* extension;
  } cases[] = {
      {mediaPath(Media::kMp4H264Aac), "mp4"},
      {generateMedia("m4a_aac_5_1", "m4a",
                     "-f lavfi -i aevalsrc=exprs=sin(300*2*PI*t)|sin(350*2*PI*t)|sin(400*2*PI*t)|0.5*sin(60*2*PI*t)|"
                     "sin(450*2*PI*t)|sin(500*2*PI*t):c=5.1:s=48000:d=2 -c:a aac -b:a 192k"),
       "m4a"},
      // Cut without re-encoding: the priming ends inside the first packet.
      {generateMedia("m4a_aac_cut", "m4a", "-ss 0.05 -i " + mediaPath(Media::kMp4H264Aac) + " -map 0:a -c copy"),
       "m4a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const ProcessResult reference =
        runProcess({"ffmpeg", "-v", "error", "-nostdin", "-i", c.path, "-map", "0:a:0", "-f", "s32le", "-"});
    ASSERT_EQ(reference.exitCode, 0) << reference.err;
    FFMpegDecoderCore core;
    ASSERT_EQ(core.init(c.path, c.extension), 0);
    const AudioFormat audio = outputAudio(core);
    ASSERT_EQ(audio.bytesPerSample, 4);
    std::string pcm;
    for (const DeliveredFrame& frame : readFrames(core, 1000000, true).audio)
      pcm.append(frame.bytes.begin(), frame.bytes.end());
    EXPECT_EQ(pcm.size(), reference.out.size());
    const auto differ = std::mismatch(pcm.begin(), pcm.end(), reference.out.begin(), reference.out.end());
    EXPECT_TRUE(differ.first == pcm.end() && differ.second == reference.out.end())
        << "first difference at sample frame " << (differ.first - pcm.begin()) / (4 * audio.channels);
  }
}

TEST(DecoderCoreDecodeTest, AReopenedCoreDeliversLikeANewOne) {
  const std::string path = mediaPath(Media::kMp4H264Aac);
  FFMpegDecoderCore fresh;
  ASSERT_EQ(fresh.init(path, "mp4"), 0);
  const Delivery expected = readFrames(fresh);

  FFMpegDecoderCore core;
  // A first medium read to its end (and, in the second round, a seek)
  // leaves clocks and skip state behind that must not reach the next one.
  for (Media before : {Media::kMkvH264Vorbis, Media::kAsfWmv2Wma2}) {
    SCOPED_TRACE(mediaRecipe(before).name);
    ASSERT_EQ(core.init(mediaPath(before), mediaRecipe(before).extension), 0);
    host::StreamDescription output;
    core.getOutputStreamDescription(&output);
    if (before == Media::kAsfWmv2Wma2) {
      core.setVideoDecodingMode(streamer::DecodingMode::DECODE_KEY_FRAMES);
      core.setPosition(2000);
    }
    readFrames(core);
    core.close();
    ASSERT_EQ(core.init(path, "mp4"), 0);
    const Delivery delivery = readFrames(core);
    ASSERT_EQ(delivery.all.size(), expected.all.size());
    for (std::size_t i = 0; i < delivery.all.size(); ++i) {
      ASSERT_EQ(delivery.all[i].type, expected.all[i].type) << "frame " << i;
      ASSERT_EQ(delivery.all[i].time, expected.all[i].time) << "frame " << i;
      ASSERT_EQ(delivery.all[i].checksum, expected.all[i].checksum) << "frame " << i;
    }
    core.close();
  }
}

// The first |count| pictures of a file as the ffmpeg tool converts them to
// YUYV 4:2:2, with no filter of any kind (interlaced pictures stay woven).
std::string ffmpegPictures(const std::string& path, int count) {
  const ProcessResult run =
      runProcess({"ffmpeg", "-v", "error", "-nostdin", "-i", path, "-map", "0:v:0", "-frames:v", std::to_string(count),
                  "-fps_mode", "passthrough", "-sws_flags", "bicubic", "-pix_fmt", "yuyv422", "-f", "rawvideo", "-"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  return run.out;
}

// Mean distance of each luma sample from the mean of the rows above and
// below it: large where two fields of different moments are woven together.
double combing(const uint8_t* yuyv, int width, int height) {
  auto luma = [&](int x, int y) { return static_cast<double>(yuyv[(y * width + x) * 2]); };
  double sum = 0;
  for (int y = 1; y < height - 1; ++y)
    for (int x = 0; x < width; ++x) sum += std::abs(luma(x, y) - (luma(x, y - 1) + luma(x, y + 1)) / 2);
  return sum / (width * (height - 2));
}

// The first |count| pictures the core delivers, with their bytes.
std::vector<DeliveredFrame> firstPictures(const std::string& path, const char* extension, std::size_t count) {
  FFMpegDecoderCore core;
  std::vector<DeliveredFrame> pictures;
  if (core.init(path, extension) != 0) return pictures;
  for (Delivery delivery; pictures.size() < count && !(delivery = readFrames(core, 1, true)).all.empty();)
    if (!delivery.video.empty()) pictures.push_back(delivery.video.front());
  return pictures;
}

TEST(DecoderCoreDecodeTest, InterlacedPicturesAreDeinterlacedProgressiveOnesLeftAlone) {
  constexpr int kPictures = 10;
  {
    SCOPED_TRACE("interlaced");
    const std::string path = mediaPath(Media::kInterlacedMpeg2Ts);
    const std::vector<DeliveredFrame> pictures = firstPictures(path, "ts", kPictures);
    ASSERT_EQ(pictures.size(), static_cast<std::size_t>(kPictures));
    const std::string woven = ffmpegPictures(path, kPictures);
    const std::size_t pictureSize = 320 * 240 * 2;
    ASSERT_EQ(woven.size(), pictureSize * kPictures);
    double coreCombing = 0, wovenCombing = 0;
    for (int i = 0; i < kPictures; ++i) {
      coreCombing += combing(pictures[static_cast<std::size_t>(i)].bytes.data(), 320, 240);
      wovenCombing += combing(reinterpret_cast<const uint8_t*>(woven.data()) + pictureSize * i, 320, 240);
    }
    // Measured on these pictures: about 2.9 woven, 1.3 after FFmpeg's bwdif.
    EXPECT_LT(coreCombing, 0.6 * wovenCombing) << coreCombing / kPictures << " vs " << wovenCombing / kPictures;
  }
  {
    SCOPED_TRACE("progressive");
    const std::string path = mediaPath(Media::kMp4H264Aac);
    const std::vector<DeliveredFrame> pictures = firstPictures(path, "mp4", kPictures);
    ASSERT_EQ(pictures.size(), static_cast<std::size_t>(kPictures));
    const std::string reference = ffmpegPictures(path, kPictures);
    const std::size_t pictureSize = 160 * 120 * 2;
    ASSERT_EQ(reference.size(), pictureSize * kPictures);
    double difference = 0;
    for (int i = 0; i < kPictures; ++i)
      for (std::size_t b = 0; b < pictureSize; ++b)
        difference += std::abs(static_cast<int>(pictures[static_cast<std::size_t>(i)].bytes[b]) -
                               static_cast<int>(static_cast<uint8_t>(reference[pictureSize * i + b])));
    EXPECT_LT(difference / (pictureSize * kPictures), 1.0);
  }
}

// A jump of more than ten frame intervals between two decoded pictures
// drops the picture after the jump once; MP4 files are not checked.
TEST(DecoderCoreDecodeTest, APictureAfterATimeJumpIsDroppedOnceExceptInMp4) {
  struct Case {
    const char* extension;
    std::size_t pictures;
  } cases[] = {{"mkv", 99}, {"mp4", 100}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extension);
    // Every picture a key frame; from the 51st on, the times jump by 1 s.
    const std::string path = generateMedia(
        "time_jump", c.extension,
        "-f lavfi -i testsrc2=size=160x120:rate=25:duration=4 -f lavfi -i sine=frequency=440:sample_rate=44100:"
        "duration=5 -vf setpts=PTS+gte(N\\,50)/TB -fps_mode passthrough -c:v mpeg4 -g 1 -b:v 500k -c:a aac -ac 2");
    FFMpegDecoderCore core;
    ASSERT_EQ(core.init(path, c.extension), 0);
    const Delivery delivery = readFrames(core);
    EXPECT_EQ(delivery.video.size(), c.pictures);
    EXPECT_TRUE(nonDecreasing(delivery.video));
  }
}

TEST(DecoderCoreDecodeTest, SkippingReportsEachPacketWithItsStoredTime) {
  const std::string path = mediaPath(Media::kMpegTsH264Aac);
  const ProbeResult probe = probeMedia(path);
  FFMpegDecoderCore core;
  ASSERT_EQ(core.init(path, "ts"), 0);
  const int videoIndex = probe.first("video")->index;
  std::size_t i = 0;
  streamer::PACKETTYPE type = streamer::PACKET_END;
  int64_t timestamp = 0, duration = 0;
  while (core.skipPacket(type, timestamp, duration)) {
    ASSERT_LT(i, probe.packets.size());
    const ProbePacket& packet = probe.packets[i++];
    EXPECT_EQ(type, packet.stream == videoIndex ? streamer::PACKET_VIDEO : streamer::PACKET_AUDIO) << i;
    // The decoding time when it is usable, else the presentation time.
    EXPECT_EQ(timestamp, packet.dts != kProbeNoTime && packet.dts >= 0 ? packet.dts : packet.pts) << i;
  }
  EXPECT_EQ(i, probe.packets.size());
  EXPECT_TRUE(readFrames(core, 1).all.empty());
}

TEST(DecoderCoreDecodeTest, PositionFollowsTheLastDeliveredFrame) {
  FFMpegDecoderCore core;
  ASSERT_EQ(core.init(mediaPath(Media::kMkvH264Vorbis), "mkv"), 0);
  const Delivery delivery = readFrames(core, 40);
  ASSERT_EQ(delivery.all.size(), 40u);
  uint64_t position = 0;
  core.getPosition(position);
  EXPECT_EQ(position, delivery.all.back().time / 1000);
}

// A time seek resumes the picture on the first key frame at or after the
// target (ffprobe's decode says where they are) and the sound with it, for
// a target right on a key frame and one between two. A second seek after
// the end delivers the same again, decoders' tails included.
TEST(DecoderCoreDecodeTest, ASeekResumesOnTheFirstKeyFrameAtOrAfterTheTarget) {
  for (Media media : kPlayable) {
    const MediaRecipe& recipe = mediaRecipe(media);
    const std::string path = mediaPath(media);
    const ProbeResult probe = probeMedia(path);
    const uint64_t start = startMicroseconds(probe);
    const ProbeStream* video = probe.largestVideo();
    std::vector<uint64_t> keys;  // audio alone: places in the middle of the medium
    for (const ProbeFrame& frame : probe.frames)
      if (video && frame.stream == video->index && frame.key && frame.bestEffort != kProbeNoTime)
        keys.push_back(probe.toMicroseconds(video->index, frame.bestEffort));
    if (!video) keys = {start + 1500000, start + 2000000, start + 2500000};
    std::sort(keys.begin(), keys.end());
    ASSERT_GE(keys.size(), 3u) << recipe.name;
    const uint64_t key = keys[keys.size() / 2], next = keys[keys.size() / 2 + 1];
    for (uint64_t aim : {key, (key + next) / 2}) {
      SCOPED_TRACE(recipe.name + " at " + std::to_string(aim));
      FFMpegDecoderCore core;
      ASSERT_EQ(core.init(path, recipe.extension), 0);
      ASSERT_TRUE(core.isSeekable());
      readFrames(core, 10);  // seeking from the middle of a read, as a player does
      // From the medium's start; times may be truncated one microsecond
      // below a whole millisecond.
      const uint64_t targetMs = (aim - start + 1) / 1000;
      const uint64_t target = targetMs * 1000 + start;
      ASSERT_TRUE(core.setPosition(targetMs));
      const Delivery delivery = readFrames(core);
      ASSERT_TRUE(core.setPosition(targetMs));
      const Delivery again = readFrames(core);

      uint64_t from = target;
      if (video) {
        ASSERT_FALSE(delivery.video.empty());
        from = *std::lower_bound(keys.begin(), keys.end(), target - 1);
        EXPECT_NEAR(static_cast<double>(delivery.video.front().time), static_cast<double>(from), 1.0);
        EXPECT_TRUE(delivery.video.front().key);
        // From there on, nothing is missing.
        std::size_t after = 0;
        for (uint64_t time : probe.frameTimes(video->index)) after += time >= from;
        EXPECT_EQ(delivery.video.size(), after);
      }
      ASSERT_FALSE(delivery.audio.empty());
      EXPECT_GE(delivery.audio.front().time, from);
      // Within a few blocks: a decoder that overlaps blocks (Vorbis) gives
      // nothing for its first packet after a seek, and Ogg leaves the
      // packets of a page read from its middle without a time.
      EXPECT_LT(delivery.audio.front().time, from + 3 * delivery.audio.front().duration);
      EXPECT_TRUE(nonDecreasing(delivery.audio));
      // (An audio decoder keeps some state through a flush; the sound's
      // first blocks may differ by a little, so only pictures are compared
      // byte for byte.)
      ASSERT_EQ(again.all.size(), delivery.all.size());
      for (std::size_t i = 0; i < again.all.size(); ++i) {
        ASSERT_EQ(again.all[i].time, delivery.all[i].time) << "frame " << i;
        if (again.all[i].type == streamer::PACKET_VIDEO) {
          ASSERT_EQ(again.all[i].checksum, delivery.all[i].checksum) << "frame " << i;
        }
      }
    }
  }
}

// A reset (the input stays where it is) and a seek both count their
// position from the medium's start, also in a capture whose clock stood at
// 10 s; nothing before it is delivered. Passed-through video resumes there
// too, on a key frame, and goes on without a gap.
TEST(DecoderCoreDecodeTest, PositionResetDropsWhatLiesBeforeIt) {
  const std::string lateStart = generateMedia(
      "late_start", "ts",
      "-f lavfi -i testsrc2=size=160x120:rate=25:duration=4 -f lavfi -i sine=frequency=440:sample_rate=44100:"
      "duration=4 -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -ac 2 -output_ts_offset 10 -f mpegts");
  struct Case {
    std::string path;
    const char* extension;
    bool seek;
    bool passThrough;
  } cases[] = {
      {mediaPath(Media::kMp4H264Aac), "mp4", false, false}, {mediaPath(Media::kMpegTsH264Aac), "ts", false, false},
      {mediaPath(Media::kMkvH264Vorbis), "mkv", false, false}, {lateStart, "ts", false, false},
      {lateStart, "ts", true, false}, {lateStart, "ts", false, true}, {lateStart, "ts", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + (c.seek ? " seek" : " reset") + (c.passThrough ? " pass-through" : ""));
    const ProbeResult probe = probeMedia(c.path);
    FFMpegDecoderCore core;
    if (c.passThrough) core.skipVideoDecoding();
    ASSERT_EQ(core.init(c.path, c.extension), 0);
    if (c.seek) {
      ASSERT_TRUE(core.setPosition(2000));
    } else {
      core.flush(2000);
    }
    const Delivery delivery = readFrames(core);
    // Decoded frames carry the stream's own times, which begin at the
    // medium's start time; passed-through video counts from the start.
    const uint64_t target = startMicroseconds(probe) + 2000000;
    const uint64_t videoTarget = c.passThrough ? 2000000 : target;
    std::vector<DeliveredFrame> video;
    for (const DeliveredFrame& frame : delivery.video)
      if (frame.time != kNoTime) video.push_back(frame);  // not the codec header
    ASSERT_FALSE(video.empty());
    ASSERT_FALSE(delivery.audio.empty());
    for (const DeliveredFrame& frame : delivery.audio) ASSERT_GE(frame.time, target);
    for (const DeliveredFrame& frame : video) ASSERT_GE(frame.time, videoTarget);
    // Key frames every second: the picture resumes at the next one.
    EXPECT_LE(video.front().time, videoTarget + 1000000);
    EXPECT_TRUE(nonDecreasing(video));
    EXPECT_TRUE(nonDecreasing(delivery.audio));
    if (c.passThrough) {
      EXPECT_TRUE(video.front().key);
      std::vector<int> sizes, stored;
      for (const DeliveredFrame& frame : video) sizes.push_back(static_cast<int>(frame.size));
      for (const ProbePacket& packet : probe.packets)
        if (packet.stream == probe.first("video")->index) stored.push_back(packet.size);
      ASSERT_LE(sizes.size(), stored.size());
      EXPECT_TRUE(std::equal(sizes.begin(), sizes.end(), stored.end() - static_cast<long>(sizes.size())));
    }
  }
}

TEST(DecoderCoreDecodeTest, PassThroughVideoStartsWithTheCodecHeader) {
  struct Case {
    std::string path;
    const char* extension;
    bool header;           // a codec header comes first
    bool annexB;           // the header is an Annex B start-code stream (else avcC)
    const char* codec;     // the compressed description of the output
  } cases[] = {
      {mediaPath(Media::kMp4H264Aac), "mp4", true, false, "h264"},
      {mediaPath(Media::kMpegTsH264Aac), "ts", true, true, "h264"},
      {mediaPath(Media::kFlvSorensonMp3), "flv", false, false, "svq"},
      // H.264 pass-through is timed by counting pictures at the stream's
      // rate. Pictures up to 30 ms off the 25 fps grid make FFmpeg's
      // r_frame_rate absurd (1000); the average rate must stand in for it.
      {generateMedia("flv_h264_jitter", "flv",
                     "-f lavfi -i testsrc2=size=160x120:rate=25:duration=4 -f lavfi -i sine=duration=4 "
                     "-vf settb=1/1000,setpts=(N/25+0.003*mod(N*N\\,11))/TB -fps_mode passthrough "
                     "-enc_time_base 1/1000 -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac"),
       "flv", true, false, "h264"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string& path = c.path;
    const ProbeResult probe = probeMedia(path);
    FFMpegDecoderCore core;
    EXPECT_TRUE(core.skipVideoDecoding());
    ASSERT_EQ(core.init(path, c.extension), 0);
    host::StreamDescription output;
    core.getOutputStreamDescription(&output);
    EXPECT_STREQ(output.video().getCodec(), c.codec);
    EXPECT_STREQ(output.audio().getCodec(), "raw");

    const Delivery delivery = readFrames(core, 100000, true);
    ASSERT_FALSE(delivery.all.empty());
    const DeliveredFrame& first = delivery.all.front();
    std::size_t packetsFrom = 0;
    if (c.header) {
      ASSERT_EQ(first.type, streamer::PACKET_VIDEO);
      EXPECT_EQ(first.time, kNoTime);
      ASSERT_GE(first.bytes.size(), 8u);
      if (c.annexB) {
        const bool startCode = (first.bytes[0] == 0 && first.bytes[1] == 0 && first.bytes[2] == 1) ||
                               (first.bytes[0] == 0 && first.bytes[1] == 0 && first.bytes[2] == 0 &&
                                first.bytes[3] == 1);
        EXPECT_TRUE(startCode);
      } else {
        EXPECT_EQ(first.bytes[0], 1);  // avcC configuration version
      }
      packetsFrom = 1;
    } else {
      for (const DeliveredFrame& frame : delivery.all) EXPECT_NE(frame.time, kNoTime);
    }
    // Then every stored video packet, unchanged in size and order.
    const int videoIndex = probe.first("video")->index;
    std::vector<int> expectedSizes;
    for (const ProbePacket& packet : probe.packets)
      if (packet.stream == videoIndex) expectedSizes.push_back(packet.size);
    std::vector<int> sizes;
    for (std::size_t i = packetsFrom; i < delivery.video.size(); ++i)
      sizes.push_back(static_cast<int>(delivery.video[i].size));
    EXPECT_EQ(sizes, expectedSizes);
    for (std::size_t i = packetsFrom + 1; i < delivery.video.size(); ++i)
      ASSERT_GE(delivery.video[i].time, delivery.video[i - 1].time) << "packet " << i;
    // The last packet comes as far after the first as in the file.
    int64_t firstPts = INT64_MAX, lastPts = INT64_MIN;
    for (const ProbePacket& packet : probe.packets) {
      if (packet.stream != videoIndex) continue;
      firstPts = std::min(firstPts, packet.pts);
      lastPts = std::max(lastPts, packet.pts);
    }
    const double span = static_cast<double>(probe.toMicroseconds(videoIndex, lastPts - firstPts));
    EXPECT_NEAR(static_cast<double>(delivery.video.back().time - delivery.video[packetsFrom].time), span, 80000.0);
    // Audio is still decoded.
    EXPECT_FALSE(delivery.audio.empty());
  }
}

TEST(DecoderCoreDecodeTest, PassThroughAudioDeliversTheStoredPackets) {
  const std::string path = mediaPath(Media::kMpegTsH264Aac);
  const ProbeResult probe = probeMedia(path);
  FFMpegDecoderCore core;
  EXPECT_TRUE(core.skipAudioDecoding());
  ASSERT_EQ(core.init(path, "ts"), 0);
  host::StreamDescription output;
  core.getOutputStreamDescription(&output);
  EXPECT_STREQ(output.audio().getCodec(), "aac");
  EXPECT_STREQ(output.video().getCodec(), "raw");
  const Delivery delivery = readFrames(core, 100000, true);
  const int audioIndex = probe.first("audio")->index;
  std::vector<int> expectedSizes;
  for (const ProbePacket& packet : probe.packets)
    if (packet.stream == audioIndex) expectedSizes.push_back(packet.size);
  std::vector<int> sizes;
  for (const DeliveredFrame& frame : delivery.audio) sizes.push_back(static_cast<int>(frame.size));
  EXPECT_EQ(sizes, expectedSizes);
  ASSERT_FALSE(delivery.audio.empty());
  // ADTS frames: each begins with the 12-bit sync word.
  for (const DeliveredFrame& frame : delivery.audio) {
    ASSERT_GE(frame.bytes.size(), 2u);
    EXPECT_EQ(frame.bytes[0], 0xff);
    EXPECT_EQ(frame.bytes[1] & 0xf0, 0xf0);
  }
  EXPECT_EQ(delivery.video.size(), static_cast<std::size_t>(probe.frameCount(probe.first("video")->index)));
}

TEST(DecoderCoreDecodeTest, DecodingModesLimitTheVideoFrames) {
  const std::string path = mediaPath(Media::kMpegTsH264Aac);
  const ProbeResult probe = probeMedia(path);
  const int videoIndex = probe.first("video")->index;

  FFMpegDecoderCore all;
  ASSERT_EQ(all.init(path, "ts"), 0);
  const Delivery full = readFrames(all);
  ASSERT_FALSE(full.audio.empty());

  struct Case {
    int mode;
    std::size_t videoFrames;
  } cases[] = {
      {streamer::DecodingMode::DECODE_KEY_FRAMES, static_cast<std::size_t>(probe.keyFrameCount(videoIndex))},
      {streamer::DecodingMode::DECODE_NONE, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    FFMpegDecoderCore core;
    ASSERT_EQ(core.init(path, "ts"), 0);
    // The engine describes the output before it reads.
    host::StreamDescription output;
    core.getOutputStreamDescription(&output);
    ASSERT_TRUE(core.setVideoDecodingMode(c.mode));
    const Delivery delivery = readFrames(core);
    EXPECT_EQ(delivery.video.size(), c.videoFrames);
    for (const DeliveredFrame& frame : delivery.video) EXPECT_TRUE(frame.key);
    // Leaving pictures out never costs sound.
    ASSERT_EQ(delivery.audio.size(), full.audio.size());
    for (std::size_t i = 0; i < full.audio.size(); ++i) {
      EXPECT_EQ(delivery.audio[i].time, full.audio[i].time);
      EXPECT_EQ(delivery.audio[i].checksum, full.audio[i].checksum);
    }
  }
}

}  // namespace
}  // namespace zan::test
