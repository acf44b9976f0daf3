// The engine's codec, container and pixel-format vocabulary checked
// against what this FFmpeg build actually serves and describes.
#include <gtest/gtest.h>

#include <string>

#include "encoder/profile/CodecResolver.h"
#include "encoder/profile/CodecTables.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace zan::codecs {
namespace {

// The name the core reports for a codec must lead back to the same codec,
// so a stream the core described can be handed to a decoder stage.
TEST(CodecResolverTest, EngineNamesFindTheDecoderOfTheirCodecBothWays) {
  struct Case {
    const char* engine;
    AVCodecID id;
    const char* reported;
  } cases[] = {
      {"wmv9", AV_CODEC_ID_WMV3, "wmv9"},      {"wmv", AV_CODEC_ID_WMV2, "wmv8"},
      {"wmv7", AV_CODEC_ID_WMV1, "wmv1"},      {"wma", AV_CODEC_ID_WMAV2, "wma"},
      {"mp3", AV_CODEC_ID_MP3, "mp3"},         {"AAC", AV_CODEC_ID_AAC, "aac"},
      {"libamr", AV_CODEC_ID_AMR_WB, "amr"},   {"amr_nb", AV_CODEC_ID_AMR_NB, "amr_nb"},
      {"mpeg2", AV_CODEC_ID_MPEG2VIDEO, "mpeg2"}, {"svq", AV_CODEC_ID_FLV1, "svq"},
      {"H264", AV_CODEC_ID_H264, "h264"},
      // A name that passes the table unchanged, and FFmpeg's own names.
      {"vp6f", AV_CODEC_ID_VP6F, "vp6f"},      {"wmv3", AV_CODEC_ID_WMV3, "wmv9"},
      {"libfaac", AV_CODEC_ID_AAC, "aac"},     {"libx264", AV_CODEC_ID_H264, "h264"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.engine);
    const Resolution resolution = resolveDecoder(c.engine);
    ASSERT_TRUE(resolution.available()) << resolution.describe();
    ASSERT_NE(resolution.codec, nullptr);
    EXPECT_TRUE(av_codec_is_decoder(resolution.codec));
    EXPECT_EQ(resolution.codec->id, c.id) << resolution.name;
    EXPECT_EQ(engineCodecName(resolution.codec->id), c.reported);
    const Resolution again = resolveDecoder(c.reported);
    ASSERT_TRUE(again.available()) << again.describe();
    EXPECT_EQ(again.codec->id, c.id);
  }
  for (const char* unknown : {"raw", "none", "", "no-such-codec"})
    EXPECT_FALSE(resolveDecoder(unknown).available()) << unknown;
}

TEST(CodecResolverTest, DemuxerNamesBecomeEngineContainerNames) {
  for (const char* name : {"mov", "asf", "flv", "matroska", "mpegts", "mp3"}) {
    const AVInputFormat* format = av_find_input_format(name);
    ASSERT_NE(format, nullptr) << name;
    EXPECT_EQ(engineFormatName(format), name) << format->name;
  }
  EXPECT_EQ(engineFormatName(nullptr), "");
}

TEST(CodecResolverTest, PixelFormatCodesAgreeWithFFmpeg) {
  struct Case {
    int code;
    AVPixelFormat format;
    bool bottomUp;
  } cases[] = {
      {kPixelRGB24, AV_PIX_FMT_RGB24, true},      {kPixelBGR24, AV_PIX_FMT_BGR24, true},
      {kPixelRGB32, AV_PIX_FMT_RGB32, true},      {kPixelBGR32, AV_PIX_FMT_BGR32, true},
      {kPixelYUV420P, AV_PIX_FMT_YUV420P, false}, {kPixelYUYV422, AV_PIX_FMT_YUYV422, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ffmpegPixelFormat(c.code), c.format) << c.code;
    EXPECT_EQ(bitsPerPixel(c.code), av_get_bits_per_pixel(av_pix_fmt_desc_get(c.format))) << c.code;
    EXPECT_EQ(isBottomUpCapable(c.code), c.bottomUp) << c.code;
  }
  for (int unknown : {-1, 6, 1000}) {
    EXPECT_EQ(ffmpegPixelFormat(unknown), AV_PIX_FMT_NONE) << unknown;
    EXPECT_EQ(bitsPerPixel(unknown), 0) << unknown;
  }
}

}  // namespace
}  // namespace zan::codecs
