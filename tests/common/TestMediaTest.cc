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
  const ProbeResult& interlaced = probeMedia(Media::kInterlacedMpeg2Ts);
  const int interlacedVideo = interlaced.first("video")->index;
  int interlacedFrames = 0;
  for (const ProbeFrame& frame : interlaced.frames) interlacedFrames += frame.stream == interlacedVideo && frame.interlaced;
  EXPECT_EQ(interlacedFrames, interlaced.frameCount(interlacedVideo));

  const ProbeResult& bframes = probeMedia(Media::kMp4H264BFrames);
  bool negativeDts = false, reordered = false;
  for (const ProbePacket& packet : bframes.packets) {
    if (packet.stream != bframes.first("video")->index) continue;
    negativeDts |= packet.dts != kProbeNoTime && packet.dts < 0;
    reordered |= packet.pts != packet.dts;
  }
  EXPECT_TRUE(negativeDts && reordered);

  const ProbeResult& two = probeMedia(Media::kTwoVideoStreams);
  ASSERT_GE(two.streams.size(), 3u);
  EXPECT_EQ(two.first("video")->width, 160);
  EXPECT_EQ(two.largestVideo()->width, 320);
}

TEST(TestMediaTest, DamagedFilesAreDamaged) {
  EXPECT_THROW(probeMedia(mediaPath(Media::kTruncatedMp4NoIndex)), std::runtime_error);  // no moov
  // The index still promises every frame; only about half can be decoded.
  const ProbeResult& truncated = probeMedia(Media::kTruncatedMp4);
  EXPECT_LT(truncated.frameCount(truncated.first("video")->index), 90);
  const std::string random = readFile(mediaPath(Media::kRandomBytes));
  EXPECT_EQ(random.size(), 256u * 1024u);
  EXPECT_EQ(random, readFile(mediaPath(Media::kRandomBytes)));
}

}  // namespace
}  // namespace zan::test
