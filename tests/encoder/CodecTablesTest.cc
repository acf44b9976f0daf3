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

TEST(CodecTablesTest, EngineCodecNamesBecomeClassicFFmpegNames) {
  struct Case {
    const char* engine;
    const char* encoder;
    const char* decoder;
  } cases[] = {
      {"wmv9", "wmv2", "wmv2"},        {"wmv", "wmv2", "wmv2"},
      {"wmv8", "wmv2", "wmv2"},        {"WMV7", "wmv2", "wmv2"},
      {"wma", "wmav2", "wmav2"},       {"mp3", "libmp3lame", "mp3"},
      {"Mp3", "libmp3lame", "mp3"},    {"aac", "libfaac", "libfaac"},
      {"amr", "libamr_wb", "libamr_wb"}, {"libamr", "libamr_wb", "libamr_wb"},
      {"amr_nb", "libamr_nb", "libamr_nb"}, {"AMR_NB", "libamr_nb", "libamr_nb"},
      {"mpeg2", "mpeg2video", "mpeg2video"}, {"svq", "flv", "flv"},
      {"h264", "libx264", "libx264"},  {"H264", "libx264", "libx264"},
      // Anything else comes back as it was given, case included.
      {"VP6", "VP6", "VP6"},           {"raw", "raw", "raw"},
      {"none", "none", "none"},        {"", "", ""},
      {"h264 ", "h264 ", "h264 "},     {"mp2", "mp2", "mp2"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(engineToFFMpegCodecName(c.engine, false), c.encoder) << c.engine;
    EXPECT_EQ(engineToFFMpegCodecName(c.engine, true), c.decoder) << c.engine;
  }
}

TEST(CodecTablesTest, ClassicFFmpegNamesBecomeEngineNames) {
  struct Case {
    const char* ffmpeg;
    const char* engine;
  } cases[] = {
      {"wmv3", "wmv9"},       {"wmv2", "wmv8"},      {"WMV2", "wmv8"},   {"wmav2", "wma"},
      {"libmp3lame", "mp3"},  {"libfaac", "aac"},    {"libamr_wb", "amr"}, {"libamr_nb", "amr_nb"},
      {"mpeg2video", "mpeg2"}, {"flv", "svq"},       {"libx264", "libx264"}, {"h264", "h264"},
      {"mp3", "mp3"},         {"Theora", "Theora"},
  };
  for (const Case& c : cases) EXPECT_EQ(ffmpegToEngineCodecName(c.ffmpeg), c.engine) << c.ffmpeg;
}

TEST(CodecTablesTest, EveryEncoderNameRoundTripsToItsCanonicalEngineName) {
  // The engine names that the reverse table produces are the canonical ones.
  for (const char* engine : {"wma", "mp3", "aac", "amr", "amr_nb", "mpeg2", "svq", "wmv8"})
    EXPECT_EQ(ffmpegToEngineCodecName(engineToFFMpegCodecName(engine, false)), engine);
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
