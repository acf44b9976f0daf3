// Opening media from a location and describing them: duration, size, bit
// rate, seekability, the stream choice and the names the engine sees,
// compared with what ffprobe reports for the same file.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "core/FFMpegDecoderCore.h"
#include "host/records/Records.h"
#include "tests/common/MediaProbe.h"
#include "tests/common/TestMedia.h"
#include "tests/core/CoreTestSupport.h"

namespace zan::test {
namespace {

using host::Audio;
using host::Medium;
using host::StreamDescription;
using host::Video;

struct ContainerCase {
  Media media;
  const char* format;      // engine name of the demuxer
  const char* videoCodec;  // engine name; null when the file has no video
  const char* audioCodec;  // engine name
  int audioBits;           // bits per delivered sample; 0 when 16 and 32 are both sound (planar 16-bit)
};

const ContainerCase kContainers[] = {
    {Media::kMp4H264Aac, "mov", "h264", "aac", 32},
    {Media::kFlvSorensonMp3, "flv", "svq", "mp3", 32},
    {Media::kMkvH264Vorbis, "matroska", "h264", "vorbis", 32},
    {Media::kMpegTsH264Aac, "mpegts", "h264", "aac", 32},
    {Media::kAviMpeg4Mp3, "avi", "mpeg4", "mp3", 32},
    {Media::kMpegPsMpeg1Mp2, "mpeg", "mpeg1video", "mp2", 0},
    {Media::kAsfWmv2Wma2, "asf", "wmv8", "wma", 32},
    {Media::kMp3Audio, "mp3", nullptr, "mp3", 32},
    {Media::kFlacAudio, "flac", nullptr, "flac", 16},
    {Media::kWavS16, "wav", nullptr, "pcm_s16le", 16},
    {Media::kOggTheoraVorbis, "ogg", "theora", "vorbis", 32},
    {Media::kInterlacedMpeg2Ts, "mpegts", "mpeg2", "mp2", 0},
    {Media::kMp4H264BFrames, "mov", "h264", "aac", 32},
};

TEST(DecoderCoreDescribeTest, EachContainerIsDescribedAsFfprobeSeesIt) {
  for (const ContainerCase& c : kContainers) {
    const MediaRecipe& recipe = mediaRecipe(c.media);
    SCOPED_TRACE(recipe.name);
    const std::string path = mediaPath(c.media);
    const ProbeResult probe = probeMedia(path);

    FFMpegDecoderCore core;
    ASSERT_EQ(core.init(path, recipe.extension), 0);

    Medium medium;
    ASSERT_EQ(core.getMediumDescription(&medium), 0);
    EXPECT_NEAR(static_cast<double>(medium.getDuration()), probe.duration * 1000.0, 40.0);  // one frame at 25 fps
    EXPECT_EQ(core.duration(), static_cast<int64_t>(medium.getDuration()));
    EXPECT_TRUE(medium.isSeekable());
    EXPECT_FALSE(medium.isLive());
    EXPECT_EQ(medium.getSize(), std::filesystem::file_size(path));
    EXPECT_EQ(static_cast<int64_t>(medium.getBitrate()), probe.bitRate);

    StreamDescription input;
    core.getInputStreamDescription(&input);
    EXPECT_TRUE(input.isEncoded());
    EXPECT_STREQ(input.getFormat(), c.format);
    StreamDescription output;
    core.getOutputStreamDescription(&output);
    EXPECT_FALSE(output.isEncoded());

    EXPECT_EQ(core.hasVideo(), c.videoCodec != nullptr);
    if (c.videoCodec) {
      const ProbeStream* video = probe.first("video");
      ASSERT_NE(video, nullptr);
      EXPECT_STREQ(input.video().getCodec(), c.videoCodec);
      EXPECT_EQ(input.video().getWidth(), video->width);
      EXPECT_EQ(input.video().getHeight(), video->height);
      EXPECT_NEAR(input.video().getFrameRate(), 25.0, 0.01);

      const Video& raw = output.video();
      EXPECT_STREQ(raw.getCodec(), "raw");
      EXPECT_EQ(raw.getPixelFormat(), 5);
      EXPECT_EQ(raw.getWidth(), video->width);
      EXPECT_EQ(raw.getHeight(), video->height);
      EXPECT_EQ(raw.getFrameSize(), static_cast<unsigned>(video->width * video->height * 2));
      EXPECT_EQ(raw.getBitrate(), static_cast<unsigned>(video->width * video->height * 2 * 25));
      EXPECT_NEAR(raw.getFrameRate(), 25.0, 0.01);
      EXPECT_EQ(raw.getLayout(), 1);
      EXPECT_TRUE(raw.getFlag());
      EXPECT_EQ(raw.getOption(), 0);
    } else {
      EXPECT_STREQ(output.video().getCodec(), "");
    }

    ASSERT_TRUE(core.hasAudio());
    const ProbeStream* audio = probe.first("audio");
    ASSERT_NE(audio, nullptr);
    EXPECT_STREQ(input.audio().getCodec(), c.audioCodec);
    EXPECT_EQ(input.audio().getChannels(), audio->channels);
    EXPECT_EQ(input.audio().getSampleRate(), audio->sampleRate);

    const Audio& pcm = output.audio();
    EXPECT_STREQ(pcm.getCodec(), "raw");
    EXPECT_EQ(pcm.getChannels(), audio->channels);
    EXPECT_EQ(pcm.getSampleRate(), audio->sampleRate);
    if (c.audioBits != 0) {
      EXPECT_EQ(pcm.getBitsPerSample(), c.audioBits);
    } else {
      EXPECT_TRUE(pcm.getBitsPerSample() == 16 || pcm.getBitsPerSample() == 32) << pcm.getBitsPerSample();
    }
    const int bits = pcm.getBitsPerSample();
    EXPECT_EQ(pcm.getFrameSize(), static_cast<unsigned>(bits * audio->channels));
    EXPECT_EQ(pcm.getBitrate(), static_cast<unsigned>(bits * audio->channels * audio->sampleRate));
    EXPECT_EQ(pcm.getSampleFlags(), static_cast<int>(0x80000000u));
    EXPECT_EQ(pcm.getLayout(), 0);
    EXPECT_FALSE(pcm.getFlag());
  }
}

TEST(DecoderCoreDescribeTest, TitleAndAuthorComeFromTheContainer) {
  const std::string path = generateMedia(
      "asf_title_author", "asf",
      "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 -c:a wmav2 -metadata title=ZanTitle "
      "-metadata author=ZanAuthor -f asf");
  FFMpegDecoderCore core;
  ASSERT_EQ(core.init(path, "asf"), 0);
  Medium medium;
  ASSERT_EQ(core.getMediumDescription(&medium), 0);
  EXPECT_STREQ(medium.getTitle(), "ZanTitle");
  EXPECT_STREQ(medium.getAuthor(), "ZanAuthor");
}

TEST(DecoderCoreDescribeTest, TheLargerOfTwoVideoStreamsIsChosen) {
  const std::string path = mediaPath(Media::kTwoVideoStreams);
  FFMpegDecoderCore core;
  ASSERT_EQ(core.init(path, "mkv"), 0);
  StreamDescription input, output;
  core.getInputStreamDescription(&input);
  core.getOutputStreamDescription(&output);
  EXPECT_EQ(input.video().getWidth(), 320);
  EXPECT_EQ(input.video().getHeight(), 240);
  EXPECT_EQ(output.video().getWidth(), 320);
  EXPECT_EQ(output.video().getHeight(), 240);
  const Delivery delivery = readFrames(core, 20);
  ASSERT_FALSE(delivery.video.empty());
  for (const DeliveredFrame& frame : delivery.video) EXPECT_EQ(frame.size, 320u * 240u * 2u);
}

TEST(DecoderCoreDescribeTest, AudioWithMoreThanEighteenChannelsIsRefused) {
  struct Case {
    Media media;
    int channels;
    bool accepted;
  } cases[] = {{Media::kWav18Channels, 18, true}, {Media::kWav19Channels, 19, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.channels);
    FFMpegDecoderCore core;
    const int result = core.init(mediaPath(c.media), "wav");
    if (!c.accepted) {
      // The only stream with a working decoder was refused.
      EXPECT_EQ(result, kNoUsableStream);
      EXPECT_FALSE(core.hasAudio());
      const Delivery delivery = readFrames(core, 10);
      EXPECT_TRUE(delivery.all.empty());
      continue;
    }
    ASSERT_EQ(result, 0);
    ASSERT_TRUE(core.hasAudio());
    StreamDescription output;
    core.getOutputStreamDescription(&output);
    EXPECT_EQ(output.audio().getChannels(), c.channels);
    EXPECT_EQ(output.audio().getBitsPerSample(), 16);
    const Delivery delivery = readFrames(core, 5);
    ASSERT_EQ(delivery.audio.size(), 5u);
    for (const DeliveredFrame& frame : delivery.audio) {
      EXPECT_GT(frame.size, 0u);
      EXPECT_EQ(frame.size % (2u * c.channels), 0u);
    }
  }
}

// Checks every operation that describes or reads on a core with nothing
// open: the documented failure values, and no record is touched.
void expectNothingOpen(FFMpegDecoderCore& core) {
  Medium medium;
  medium.setTitle("untouched");
  EXPECT_EQ(core.getMediumDescription(&medium), -1);
  EXPECT_STREQ(medium.getTitle(), "untouched");
  EXPECT_EQ(medium.getDuration(), 0u);

  StreamDescription input, output;
  input.setFormat("untouched");
  output.setFormat("untouched");
  output.setEncoded(true);
  core.getInputStreamDescription(&input);
  core.getOutputStreamDescription(&output);
  EXPECT_STREQ(input.getFormat(), "untouched");
  EXPECT_STREQ(input.video().getCodec(), "");
  EXPECT_STREQ(input.audio().getCodec(), "");
  EXPECT_STREQ(output.getFormat(), "untouched");
  EXPECT_TRUE(output.isEncoded());
  EXPECT_STREQ(output.video().getCodec(), "");
  EXPECT_STREQ(output.audio().getCodec(), "");

  EXPECT_FALSE(core.hasVideo());
  EXPECT_FALSE(core.hasAudio());
  EXPECT_FALSE(core.setVideoDecodingMode(0));
  EXPECT_FALSE(core.setPosition(1000));
  streamer::PACKETTYPE type = streamer::PACKET_END;
  int64_t timestamp = 0, duration = 0;
  EXPECT_FALSE(core.skipPacket(type, timestamp, duration));
  EXPECT_TRUE(readFrames(core, 1).all.empty());
  uint8_t* data = nullptr;
  unsigned size = 0;
  uint64_t time = 0, length = 0;
  void* context = nullptr;
  bool key = false;
  EXPECT_FALSE(core.decodeFromPacket(nullptr, type, data, size, time, length, context, key));
  EXPECT_EQ(data, nullptr);
  core.flush(0);  // harmless without input
}

TEST(DecoderCoreDescribeTest, NothingIsDescribedOrReadBeforeOpenOrAfterClose) {
  FFMpegDecoderCore core;
  {
    SCOPED_TRACE("new core");
    expectNothingOpen(core);
    uint64_t position = 99;
    core.getPosition(position);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(core.duration(), 0);
    core.close();  // closing a closed core is harmless
  }
  const std::string path = mediaPath(Media::kMp4H264Aac);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "after the first close" : "after a reopen and close");
    ASSERT_EQ(core.init(path, "mp4"), 0);
    EXPECT_FALSE(readFrames(core, 3).all.empty());
    core.close();
    expectNothingOpen(core);
    core.close();
  }
}

TEST(DecoderCoreDescribeTest, DecodingModeNeedsAVideoStream) {
  FFMpegDecoderCore audioOnly;
  ASSERT_EQ(audioOnly.init(mediaPath(Media::kMp3Audio), "mp3"), 0);
  EXPECT_FALSE(audioOnly.setVideoDecodingMode(1));
  FFMpegDecoderCore withVideo;
  ASSERT_EQ(withVideo.init(mediaPath(Media::kMp4H264Aac), "mp4"), 0);
  EXPECT_TRUE(withVideo.setVideoDecodingMode(1));
}

}  // namespace
}  // namespace zan::test
