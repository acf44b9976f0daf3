// The special test clips have the property the product tests rely on
// (interlaced pictures, B-frames with negative decoding times, a larger
// second video stream, damaged files), so a change of ffmpeg that quietly
// drops one shows up here instead of leaving a test with nothing to check.
#include <gtest/gtest.h>

#include "tests/common/MediaProbe.h"
#include "tests/common/TestMedia.h"
#include "tests/common/TestSupport.h"

namespace zan::test {
namespace {

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

}  // namespace
}  // namespace zan::test
