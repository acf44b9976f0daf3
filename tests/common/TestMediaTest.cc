// The generated test media are what their recipes promise: other tests
// rely on these properties (interlaced pictures, B-frames with negative
// decoding times, a larger second video stream, channel counts, damaged
// files), so a change of ffmpeg that quietly drops one shows up here first.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <thread>

#include "tests/common/MediaProbe.h"
#include "tests/common/TestMedia.h"
#include "tests/common/TestSupport.h"

namespace zan::test {
namespace {

struct Expected {
  Media media;
  const char* videoCodec;  // null: no video stream
  const char* audioCodec;  // null: no audio stream
  int width, height, channels;
};

TEST(TestMediaTest, EveryPlayableRecipeHasTheStreamsItPromises) {
  const Expected table[] = {
      {Media::kMp4H264Aac, "h264", "aac", 160, 120, 2},
      {Media::kFlvSorensonMp3, "flv1", "mp3", 160, 120, 2},
      {Media::kMkvH264Vorbis, "h264", "vorbis", 160, 120, 2},
      {Media::kMpegTsH264Aac, "h264", "aac", 160, 120, 2},
      {Media::kAviMpeg4Mp3, "mpeg4", "mp3", 160, 120, 2},
      {Media::kMpegPsMpeg1Mp2, "mpeg1video", "mp2", 160, 120, 2},
      {Media::kAsfWmv2Wma2, "wmv2", "wmav2", 160, 120, 2},
      {Media::kMp3Audio, nullptr, "mp3", 0, 0, 2},
      {Media::kFlacAudio, nullptr, "flac", 0, 0, 2},
      {Media::kWavS16, nullptr, "pcm_s16le", 0, 0, 2},
      {Media::kOggTheoraVorbis, "theora", "vorbis", 160, 120, 2},
      {Media::kInterlacedMpeg2Ts, "mpeg2video", "mp2", 320, 240, 2},
      {Media::kWav18Channels, nullptr, "pcm_s16le", 0, 0, 18},
      {Media::kWav19Channels, nullptr, "pcm_s16le", 0, 0, 19},
      {Media::kMp4H264BFrames, "h264", "aac", 160, 120, 2},
  };
  for (const Expected& expected : table) {
    const MediaRecipe& recipe = mediaRecipe(expected.media);
    SCOPED_TRACE(recipe.name);
    const ProbeResult probe = probeMedia(mediaPath(expected.media));
    const ProbeStream* video = probe.first("video");
    const ProbeStream* audio = probe.first("audio");
    ASSERT_EQ(video != nullptr, expected.videoCodec != nullptr);
    ASSERT_EQ(audio != nullptr, expected.audioCodec != nullptr);
    EXPECT_EQ(recipe.video, video != nullptr);
    EXPECT_EQ(recipe.audio, audio != nullptr);
    if (video) {
      EXPECT_EQ(video->codec, expected.videoCodec);
      EXPECT_EQ(video->width, expected.width);
      EXPECT_EQ(video->height, expected.height);
      EXPECT_GT(probe.frameCount(video->index), 40);
    }
    if (audio) {
      EXPECT_EQ(audio->codec, expected.audioCodec);
      EXPECT_EQ(audio->channels, expected.channels);
      EXPECT_GT(probe.sampleCount(audio->index), 44100);
    }
    EXPECT_FALSE(std::isnan(probe.duration));
  }
}

TEST(TestMediaTest, SpecialClipsHaveTheirDefiningProperty) {
  const ProbeResult interlaced = probeMedia(mediaPath(Media::kInterlacedMpeg2Ts));
  int interlacedFrames = 0;
  for (const ProbeFrame& frame : interlaced.frames) interlacedFrames += frame.video && frame.interlaced;
  EXPECT_EQ(interlacedFrames, interlaced.frameCount(interlaced.first("video")->index));

  const ProbeResult bframes = probeMedia(mediaPath(Media::kMp4H264BFrames));
  const int videoIndex = bframes.first("video")->index;
  bool negativeDts = false, reordered = false;
  for (const ProbePacket& packet : bframes.packets) {
    if (packet.stream != videoIndex) continue;
    negativeDts |= packet.dts != kProbeNoTime && packet.dts < 0;
    reordered |= packet.pts != packet.dts;
  }
  EXPECT_TRUE(negativeDts);
  EXPECT_TRUE(reordered);

  const ProbeResult two = probeMedia(mediaPath(Media::kTwoVideoStreams));
  ASSERT_GE(two.streams.size(), 3u);
  EXPECT_EQ(two.streams[0].type, "video");
  EXPECT_EQ(two.streams[0].width, 160);
  EXPECT_EQ(two.streams[1].type, "video");
  EXPECT_EQ(two.streams[1].width, 320);
  EXPECT_EQ(two.largestVideo()->index, 1);

  const ProbeResult keyed = probeMedia(mediaPath(Media::kMpegTsH264Aac));
  EXPECT_GE(keyed.keyFrameCount(keyed.first("video")->index), 3);  // -g 25 over 4 s
}

TEST(TestMediaTest, DamagedFilesAreDamaged) {
  EXPECT_THROW(probeMedia(mediaPath(Media::kTruncatedMp4NoIndex)), std::runtime_error);  // no moov
  const ProbeResult truncated = probeMedia(mediaPath(Media::kTruncatedMp4));
  // The index still promises every frame; only about half can be decoded.
  const int videoIndex = truncated.first("video")->index;
  EXPECT_LT(truncated.frameCount(videoIndex), 90);
  EXPECT_GT(truncated.frameCount(videoIndex), 5);
  const std::string random = readFile(mediaPath(Media::kRandomBytes));
  EXPECT_EQ(random.size(), 256u * 1024u);
  EXPECT_EQ(random, readFile(mediaPath(Media::kRandomBytes)));
}

TEST(TestMediaTest, ConcurrentUsersSeeOnlyWholeFiles) {
  TemporaryFolder folder;
  ScopedEnvironment media("ZAN_TEST_MEDIA", folder.path());
  const std::string command = "-f lavfi -i testsrc2=size=64x48:rate=25:duration=1 -c:v mpeg4";
  std::vector<std::string> paths(4);
  std::vector<std::thread> threads;
  for (std::string& path : paths) threads.emplace_back([&] { path = generateMedia("shared", "avi", command); });
  for (std::thread& thread : threads) thread.join();
  for (const std::string& path : paths) EXPECT_EQ(path, paths[0]);
  const ProbeResult probe = probeMedia(paths[0]);
  EXPECT_EQ(probe.frameCount(0), 25);
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
    files += entry.path().filename().string()[0] != '.';
  EXPECT_EQ(files, 1);  // one file, no temporaries left behind
  // Another command gives another file.
  EXPECT_NE(generateMedia("shared", "avi", command + " -g 5"), paths[0]);
}

}  // namespace
}  // namespace zan::test
