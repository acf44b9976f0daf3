// Which part of this FFmpeg build serves each engine codec name, in the
// decoder direction (an input description's codec) and in the encoder
// direction (a target codec after the codec table).
#include <gtest/gtest.h>

#include <string>

#include "encoder/CodecResolver.h"
#include "encoder/CodecTables.h"

namespace zan::codecs {
namespace {

// Every engine name of the codec tables (both columns of the reverse table
// included), the codec its stream carries, and the engine name the decoder
// core reports for that codec.
struct DecoderCase {
  const char* engine;
  AVCodecID id;
  const char* reported;
};

const DecoderCase kDecoderCases[] = {
    {"wmv9", AV_CODEC_ID_WMV3, "wmv9"},
    {"wmv8", AV_CODEC_ID_WMV2, "wmv8"},
    {"wmv", AV_CODEC_ID_WMV2, "wmv8"},
    {"wmv7", AV_CODEC_ID_WMV1, "wmv1"},
    {"wma", AV_CODEC_ID_WMAV2, "wma"},
    {"mp3", AV_CODEC_ID_MP3, "mp3"},
    {"aac", AV_CODEC_ID_AAC, "aac"},
    {"amr", AV_CODEC_ID_AMR_WB, "amr"},
    {"libamr", AV_CODEC_ID_AMR_WB, "amr"},
    {"amr_nb", AV_CODEC_ID_AMR_NB, "amr_nb"},
    {"mpeg2", AV_CODEC_ID_MPEG2VIDEO, "mpeg2"},
    {"svq", AV_CODEC_ID_FLV1, "svq"},
    {"h264", AV_CODEC_ID_H264, "h264"},
    {"H264", AV_CODEC_ID_H264, "h264"},
    {"AAC", AV_CODEC_ID_AAC, "aac"},
    // Names that pass the table unchanged.
    {"mp2", AV_CODEC_ID_MP2, "mp2"},
    {"mpeg1video", AV_CODEC_ID_MPEG1VIDEO, "mpeg1video"},
    {"vp6f", AV_CODEC_ID_VP6F, "vp6f"},
    // The reverse table's FFmpeg column, asked for as decoders.
    {"wmv3", AV_CODEC_ID_WMV3, "wmv9"},
    {"wmv2", AV_CODEC_ID_WMV2, "wmv8"},
    {"wmav2", AV_CODEC_ID_WMAV2, "wma"},
    {"libmp3lame", AV_CODEC_ID_MP3, "mp3"},
    {"libfaac", AV_CODEC_ID_AAC, "aac"},
    {"libamr_wb", AV_CODEC_ID_AMR_WB, "amr"},
    {"libamr_nb", AV_CODEC_ID_AMR_NB, "amr_nb"},
    {"mpeg2video", AV_CODEC_ID_MPEG2VIDEO, "mpeg2"},
    {"flv", AV_CODEC_ID_FLV1, "svq"},
    {"libx264", AV_CODEC_ID_H264, "h264"},
};

TEST(CodecResolverTest, EveryEngineNameFindsTheDecoderOfItsCodec) {
  for (const DecoderCase& c : kDecoderCases) {
    const Resolution resolution = resolveDecoder(c.engine);
    ASSERT_TRUE(resolution.available()) << resolution.describe();
    EXPECT_EQ(resolution.backend, Backend::kFFmpeg) << c.engine;
    ASSERT_NE(resolution.codec, nullptr) << c.engine;
    EXPECT_TRUE(av_codec_is_decoder(resolution.codec)) << c.engine;
    EXPECT_EQ(resolution.codec->id, c.id) << c.engine << " -> " << resolution.name;
    EXPECT_EQ(resolution.name, resolution.codec->name);
    EXPECT_EQ(resolution.requested, c.engine);
    // What the decoder core reports for the stream it decodes.
    EXPECT_EQ(engineCodecName(resolution.codec->id), c.reported) << c.engine;
  }
}

TEST(CodecResolverTest, ReportedNamesResolveBackToTheSameCodec) {
  // A stream described by the core can be handed to a decoder stage.
  for (const DecoderCase& c : kDecoderCases) {
    const Resolution again = resolveDecoder(c.reported);
    ASSERT_TRUE(again.available()) << again.describe();
    EXPECT_EQ(again.codec->id, c.id) << c.reported;
  }
}

TEST(CodecResolverTest, EveryEngineNameFindsAnEncoderAfterTheTable) {
  struct Case {
    const char* engine;
    Backend backend;
    AVCodecID id;         // for FFmpeg encoders
    const char* serving;  // the encoder's or backend's name
  } cases[] = {
      {"wmv9", Backend::kFFmpeg, AV_CODEC_ID_WMV2, "wmv2"},
      {"wmv", Backend::kFFmpeg, AV_CODEC_ID_WMV2, "wmv2"},
      {"wmv8", Backend::kFFmpeg, AV_CODEC_ID_WMV2, "wmv2"},
      {"wmv7", Backend::kFFmpeg, AV_CODEC_ID_WMV2, "wmv2"},
      {"wma", Backend::kFFmpeg, AV_CODEC_ID_WMAV2, "wmav2"},
      {"mp3", Backend::kFFmpeg, AV_CODEC_ID_MP3, "libmp3lame"},
      {"aac", Backend::kFFmpeg, AV_CODEC_ID_AAC, "aac"},
      {"amr", Backend::kVoAmrWbEnc, AV_CODEC_ID_NONE, "vo-amrwbenc"},
      {"libamr", Backend::kVoAmrWbEnc, AV_CODEC_ID_NONE, "vo-amrwbenc"},
      {"amr_nb", Backend::kOpenCoreAmrNb, AV_CODEC_ID_NONE, "opencore-amrnb"},
      {"mpeg2", Backend::kFFmpeg, AV_CODEC_ID_MPEG2VIDEO, "mpeg2video"},
      {"svq", Backend::kFFmpeg, AV_CODEC_ID_FLV1, "flv"},
      {"h264", Backend::kFFmpeg, AV_CODEC_ID_H264, "libx264"},
      {"H264", Backend::kFFmpeg, AV_CODEC_ID_H264, "libx264"},
      // The names the streaming profile writes itself.
      {"mp2", Backend::kFFmpeg, AV_CODEC_ID_MP2, "mp2"},
      {"mpeg1video", Backend::kFFmpeg, AV_CODEC_ID_MPEG1VIDEO, "mpeg1video"},
  };
  for (const Case& c : cases) {
    const std::string classic = engineToFFMpegCodecName(c.engine, false);
    const Resolution resolution = resolveEncoder(classic);
    EXPECT_EQ(resolution.backend, c.backend) << c.engine << ": " << resolution.describe();
    EXPECT_EQ(resolution.name, c.serving) << c.engine;
    EXPECT_EQ(resolution.requested, classic);
    if (c.backend == Backend::kFFmpeg) {
      ASSERT_NE(resolution.codec, nullptr) << c.engine;
      EXPECT_TRUE(av_codec_is_encoder(resolution.codec)) << c.engine;
      EXPECT_EQ(resolution.codec->id, c.id) << c.engine;
    } else {
      EXPECT_EQ(resolution.codec, nullptr) << c.engine;
    }
  }
}

TEST(CodecResolverTest, NamesNothingServesAreClearlyUnavailable) {
  struct Case {
    bool decoder;
    const char* name;
  } cases[] = {
      {true, "raw"},   {true, "none"},    {true, ""},     {true, "no-such-codec"},
      {false, "none"}, {false, "wmv3"},   {false, "raw"}, {false, "libfaad"},
      {false, "vp6"},  {false, ""},
  };
  for (const Case& c : cases) {
    const Resolution resolution = c.decoder ? resolveDecoder(c.name) : resolveEncoder(c.name);
    EXPECT_FALSE(resolution.available()) << c.name << " -> " << resolution.name;
    EXPECT_EQ(resolution.codec, nullptr) << c.name;
    EXPECT_EQ(resolution.describe(), std::string(c.name) + ": not available in this build");
  }
  EXPECT_EQ(resolveEncoder("libamr_nb").describe(), "libamr_nb -> opencore-amrnb");
  EXPECT_EQ(resolveEncoder("libfaac").describe(), "libfaac -> FFmpeg aac");
}

TEST(CodecResolverTest, DemuxerNamesBecomeEngineContainerNames) {
  struct Case {
    const char* demuxer;
    const char* engine;
  } cases[] = {
      {"mov", "mov"}, {"asf", "asf"}, {"flv", "flv"}, {"matroska", "matroska"}, {"mpegts", "mpegts"}, {"mp3", "mp3"},
  };
  for (const Case& c : cases) {
    const AVInputFormat* format = av_find_input_format(c.demuxer);
    ASSERT_NE(format, nullptr) << c.demuxer;
    EXPECT_EQ(engineFormatName(format), c.engine) << format->name;
  }
  EXPECT_EQ(engineFormatName(nullptr), "");
}

}  // namespace
}  // namespace zan::codecs
