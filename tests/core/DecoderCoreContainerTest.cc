// Opening a file by location, describing it, decoding it to the end and
// seeking back to 60 %: one open per clip, all compared with one ffprobe
// run of the same file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "core/FFMpegDecoderCore.h"
#include "host/records/Records.h"
#include "tests/common/Harness.h"
#include "tests/common/MediaProbe.h"

namespace zan::test {
namespace {

struct Clip {
  Media media;
  const char* format;      // engine names of the demuxer and the codecs
  const char* videoCodec;  // null when the file has no video
  const char* audioCodec;
};

const Clip kClips[] = {
    {Media::kMp4H264Aac, "mov", "h264", "aac"},
    {Media::kFlvSorensonMp3, "flv", "svq", "mp3"},
    {Media::kMkvH264Vorbis, "matroska", "h264", "vorbis"},
    {Media::kMpegTsH264Aac, "mpegts", "h264", "aac"},
    {Media::kAviMpeg4Mp3, "avi", "mpeg4", "mp3"},
    {Media::kMpegPsMpeg1Mp2, "mpeg", "mpeg1video", "mp2"},
    {Media::kAsfWmv2Wma2, "asf", "wmv8", "wma"},
    {Media::kMp3Audio, "mp3", nullptr, "mp3"},
    {Media::kFlacAudio, "flac", nullptr, "flac"},
    {Media::kWavS16, "wav", nullptr, "pcm_s16le"},
    {Media::kOggTheoraVorbis, "ogg", "theora", "vorbis"},
    {Media::kInterlacedMpeg2Ts, "mpegts", "mpeg2", "mp2"},
    {Media::kMp4H264BFrames, "mov", "h264", "aac"},
    {Media::kTwoVideoStreams, "matroska", "h264", "aac"},  // the larger picture is chosen
};

// The description against ffprobe's; returns the bytes of one delivered
// audio sample frame.
unsigned expectDescribedAsProbed(FFMpegDecoderCore& core, const Clip& clip, const std::string& path,
                                 const ProbeResult& probe) {
  host::Medium medium;
  EXPECT_EQ(core.getMediumDescription(&medium), 0);
  EXPECT_NEAR(static_cast<double>(medium.getDuration()), probe.duration * 1000.0, 40.0);  // a frame at 25 fps
  EXPECT_TRUE(medium.isSeekable());
  EXPECT_FALSE(medium.isLive());
  EXPECT_EQ(medium.getSize(), std::filesystem::file_size(path));
  EXPECT_EQ(static_cast<int64_t>(medium.getBitrate()), probe.bitRate);

  host::StreamDescription input, output;
  core.getInputStreamDescription(&input);
  core.getOutputStreamDescription(&output);
  EXPECT_STREQ(input.getFormat(), clip.format);
  EXPECT_EQ(core.hasVideo(), clip.videoCodec != nullptr);
  if (const ProbeStream* video = probe.largestVideo()) {
    EXPECT_STREQ(input.video().getCodec(), clip.videoCodec);
    for (const host::Video* described : {&input.video(), &output.video()}) {
      EXPECT_EQ(described->getWidth(), video->width);
      EXPECT_EQ(described->getHeight(), video->height);
      EXPECT_NEAR(described->getFrameRate(), 25.0, 0.01);
    }
    // The longest run from a key frame to the next (or to the last picture's
    // end), said where an index lists every sample (MP4's must), else not.
    const std::vector<uint64_t> keys = probe.frameTimes(video->index, true), all = probe.frameTimes(video->index);
    uint64_t longest = *std::max_element(all.begin(), all.end()) + 40000 - keys.back();
    for (size_t i = 1; i < keys.size(); ++i) longest = std::max(longest, keys[i] - keys[i - 1]);
    const char* run = input.get("longestKeyFrameRunMs");
    EXPECT_TRUE(run != nullptr || std::string(clip.format) != "mov");
    if (run) {
      EXPECT_NEAR(std::atof(run), static_cast<double>(longest) / 1000.0, 41.0);
    }
  }
  const ProbeStream* audio = probe.first("audio");
  EXPECT_STREQ(input.audio().getCodec(), clip.audioCodec);
  for (const host::Audio* described : {&input.audio(), &output.audio()}) {
    EXPECT_EQ(described->getChannels(), audio->channels);
    EXPECT_EQ(described->getSampleRate(), audio->sampleRate);
  }
  return static_cast<unsigned>(output.audio().getChannels() * output.audio().getBitsPerSample() / 8);
}

TEST(DecoderCoreContainerTest, EachClipIsDescribedDecodedAndSeekedAsFfprobeSeesIt) {
  for (const Clip& clip : kClips) {
    const MediaRecipe& recipe = mediaRecipe(clip.media);
    SCOPED_TRACE(recipe.name);
    const std::string path = mediaPath(clip.media);
    const ProbeResult& probe = probeMedia(clip.media);
    FFMpegDecoderCore core;
    ASSERT_EQ(core.init(path, recipe.extension), 0);
    const unsigned sampleBytes = expectDescribedAsProbed(core, clip, path, probe);
    ASSERT_GT(sampleBytes, 0u);

    // Every frame ffprobe decodes, with its time.
    const Frames frames = readFrames(core);
    const ProbeStream* video = probe.largestVideo();
    if (video) {
      const std::vector<uint64_t> expected = probe.frameTimes(video->index);
      ASSERT_EQ(frames.video.size(), expected.size());
      // Converted the same way; a microsecond of rounding apart at most.
      for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_NEAR(static_cast<double>(frames.video[i].time), static_cast<double>(expected[i]), 1.0) << "frame " << i;
      EXPECT_TRUE(frames.video.front().key);
      for (const Frame& frame : frames.video) ASSERT_EQ(frame.size, static_cast<unsigned>(video->width * video->height * 2));
    } else {
      EXPECT_TRUE(frames.video.empty());
    }
    const ProbeStream* audio = probe.first("audio");
    ASSERT_FALSE(frames.audio.empty());
    EXPECT_TRUE(nonDecreasing(frames.audio));
    for (const Frame& frame : frames.audio) ASSERT_EQ(frame.size % sampleBytes, 0u);
    int largestFrame = 0;
    for (const ProbeFrame& frame : probe.frames)
      if (frame.stream == audio->index) largestFrame = std::max(largestFrame, frame.samples);
    EXPECT_NEAR(static_cast<double>(byteCount(frames.audio) / sampleBytes),
                static_cast<double>(probe.sampleCount(audio->index)), largestFrame);
    // The core stamps a block with the time of the packet that produced it,
    // ffprobe with the time the decoder reports: a decoder with delay puts
    // them a frame apart.
    EXPECT_NEAR(static_cast<double>(frames.audio.front().time), static_cast<double>(probe.frameTimes(audio->index).front()),
                1.5e6 * largestFrame / audio->sampleRate);
    uint64_t position = 0;
    core.getPosition(position);
    EXPECT_EQ(position, frames.all.back().time / 1000);

    // Back to 60 %: the picture resumes on the first key frame at or after
    // it (ffprobe says where), the sound with it, nothing missing; a seek
    // right onto that key frame delivers the same again.
    const uint64_t start = probe.startMicroseconds();
    const uint64_t targetMs = static_cast<uint64_t>(core.duration()) * 6 / 10;
    uint64_t from = targetMs * 1000 + start;
    const std::vector<uint64_t> keys = video ? probe.frameTimes(video->index, true) : std::vector<uint64_t>{};
    if (video) {
      const auto key = std::find_if(keys.begin(), keys.end(), [&](uint64_t time) { return time + 1 >= from; });
      ASSERT_NE(key, keys.end());
      from = *key;
    }
    ASSERT_TRUE(core.setPosition(targetMs));
    const Frames after = readFrames(core);
    ASSERT_FALSE(after.audio.empty());
    EXPECT_GE(after.audio.front().time, from);
    // Within a few blocks: Vorbis gives nothing for its first packet after a
    // seek, and Ogg leaves the packets of a page read midway without a time.
    EXPECT_LT(after.audio.front().time, from + 3 * after.audio.front().duration);
    EXPECT_TRUE(nonDecreasing(after.audio));
    if (!video) continue;
    ASSERT_FALSE(after.video.empty());
    EXPECT_NEAR(static_cast<double>(after.video.front().time), static_cast<double>(from), 1.0);
    EXPECT_TRUE(after.video.front().key);
    std::size_t later = 0;
    for (uint64_t time : probe.frameTimes(video->index)) later += time >= from;
    EXPECT_EQ(after.video.size(), later);
    ASSERT_TRUE(core.setPosition((from - start + 1) / 1000));  // times may lie a microsecond below a millisecond
    EXPECT_TRUE(sameFrames(readFrames(core).video, after.video));
  }
}

TEST(DecoderCoreContainerTest, AudioWithMoreThanEighteenChannelsIsRefused) {
  FFMpegDecoderCore core;
  ASSERT_EQ(core.init(mediaPath(Media::kWav18Channels), "wav"), 0);
  const Frames frames = readFrames(core, 5);
  ASSERT_EQ(frames.audio.size(), 5u);
  for (const Frame& frame : frames.audio) EXPECT_EQ(frame.size % (2u * 18u), 0u);
  // Nineteen: the only stream with a working decoder is refused.
  EXPECT_EQ(core.init(mediaPath(Media::kWav19Channels), "wav"), kNoUsableStream);
  EXPECT_FALSE(core.hasAudio());
  EXPECT_TRUE(readFrames(core, 10).all.empty());
}

// Every call that describes or reads on a core with nothing open (new, or
// closed after a read) fails and leaves the caller's records alone.
TEST(DecoderCoreContainerTest, NothingIsDescribedOrReadBeforeOpenOrAfterClose) {
  FFMpegDecoderCore core;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    if (round > 0) {
      ASSERT_EQ(core.init(mediaPath(Media::kMp4H264Aac), "mp4"), 0);
      EXPECT_FALSE(readFrames(core, 3).all.empty());
      core.close();
    }
    host::Medium medium;
    EXPECT_EQ(core.getMediumDescription(&medium), -1);
    host::StreamDescription input, output;
    input.setFormat("untouched");
    core.getInputStreamDescription(&input);
    core.getOutputStreamDescription(&output);
    EXPECT_STREQ(input.getFormat(), "untouched");
    EXPECT_FALSE(output.hasVideo() || output.hasAudio() || core.hasVideo() || core.hasAudio());
    EXPECT_FALSE(core.setVideoDecodingMode(0) || core.setPosition(1000));
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
    core.flush(0);
    core.close();  // closing a closed core is harmless
  }
}

}  // namespace
}  // namespace zan::test
