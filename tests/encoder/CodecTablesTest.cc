// The name tables between the engine's vocabulary and FFmpeg's, and the
// engine's pixel-format codes checked against FFmpeg's own descriptors.
#include <gtest/gtest.h>

#include <string>

#include "encoder/CodecTables.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace zan::codecs {
namespace {

// Every table row is resolved to a real codec in CodecResolverTest; here
// the rules around the rows: the two directions differ, names match in any
// case, the reverse table gives the canonical names, and what the table
// does not know passes unchanged.
TEST(CodecTablesTest, CodecNameRules) {
  EXPECT_EQ(engineToFFMpegCodecName("Mp3", false), "libmp3lame");
  EXPECT_EQ(engineToFFMpegCodecName("MP3", true), "mp3");
  EXPECT_EQ(engineToFFMpegCodecName("AMR_NB", true), "libamr_nb");
  EXPECT_EQ(ffmpegToEngineCodecName("WMV2"), "wmv8");
  for (const char* engine : {"wma", "mp3", "aac", "amr", "amr_nb", "mpeg2", "svq", "wmv8"})
    EXPECT_EQ(ffmpegToEngineCodecName(engineToFFMpegCodecName(engine, false)), engine);
  for (const char* unknown : {"VP6", "raw", "none", "", "h264 ", "mp2"}) {
    EXPECT_EQ(engineToFFMpegCodecName(unknown, false), unknown);
    EXPECT_EQ(engineToFFMpegCodecName(unknown, true), unknown);
  }
  EXPECT_EQ(ffmpegToEngineCodecName("Theora"), "Theora");
}

TEST(CodecTablesTest, ContainerNamesUseCaseSensitiveSubstrings) {
  struct Case {
    const char* engine;
    const char* ffmpeg;
  } cases[] = {
      {"mov", "mov"},   {"m4v", "mov"},       {"mp4", "mov"},   {"m4a", "mov"},
      {"ismp4", "mov"}, {"asf", "asf"},       {"wmv", "asf"},   {"wma", "asf"},
      {"flv", "flv"},   {"mpegts", "mpegts"}, {"MP4", "MP4"},   {"WMV", "WMV"},
      // "mov" is tested before "asf".
      {"asf-mov", "mov"}, {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(engineToFFMpegFormatName(c.engine), c.ffmpeg) << c.engine;
}

TEST(CodecTablesTest, CaseFoldingIsClassicAsciiOnly) {
  EXPECT_EQ(lowerClassic("H264-AaC_Z@[`{"), "h264-aac_z@[`{");
  // Bytes above 127 (UTF-8) are left alone whatever the host locale.
  EXPECT_EQ(lowerClassic("\xC3\x84"), "\xC3\x84");
  EXPECT_TRUE(equalsIgnoreCase("LibX264", "libx264"));
  EXPECT_FALSE(equalsIgnoreCase("libx264", "libx26"));
  EXPECT_FALSE(equalsIgnoreCase("a", "b"));
}

TEST(CodecTablesTest, PixelFormatCodesAgreeWithFFmpeg) {
  struct Case {
    int code;
    AVPixelFormat format;
    bool bottomUp;
  } cases[] = {
      {kPixelRGB24, AV_PIX_FMT_RGB24, true},     {kPixelBGR24, AV_PIX_FMT_BGR24, true},
      {kPixelRGB32, AV_PIX_FMT_RGB32, true},     {kPixelBGR32, AV_PIX_FMT_BGR32, true},
      {kPixelYUV420P, AV_PIX_FMT_YUV420P, false}, {kPixelYUYV422, AV_PIX_FMT_YUYV422, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ffmpegPixelFormat(c.code), c.format) << c.code;
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(c.format);
    ASSERT_NE(descriptor, nullptr);
    EXPECT_EQ(bitsPerPixel(c.code), av_get_bits_per_pixel(descriptor)) << c.code;
    EXPECT_EQ(isBottomUpCapable(c.code), c.bottomUp) << c.code;
  }
  for (int unknown : {-1, 6, 1000}) {
    EXPECT_EQ(ffmpegPixelFormat(unknown), AV_PIX_FMT_NONE) << unknown;
    EXPECT_EQ(bitsPerPixel(unknown), 0) << unknown;
    EXPECT_FALSE(isBottomUpCapable(unknown)) << unknown;
  }
}

}  // namespace
}  // namespace zan::codecs
