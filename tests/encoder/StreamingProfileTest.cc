// The streaming profile computed from the host's engine records: the audio
// ladder with its overrides, the settings keys and their ranges, name
// normalisation, the pass-through decision and the frame-rate rules.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "encoder/FFMpegStreamingProfile.h"
#include "host/records/Records.h"

namespace zan {
namespace {

using host::Medium;
using host::Requested;
using host::Settings;
using host::TranscoderInput;

// One engine request: raw input by default, every record alive as long as
// the profile made from it.
struct Request {
  Request() {
    input.stream().audio().setCodec("raw");
    input.stream().video().setCodec("none");
    requested.target().setFormat("flv");
    requested.target().audio().setCodec("aac");
    requested.target().video().setCodec("none");
  }
  std::unique_ptr<FFMpegStreamingProfile> compute() {
    return computeStreamingProfile(&settings, &medium, &input, &requested);
  }
  host::Audio& target() { return requested.target().audio(); }

  Settings settings;
  Medium medium;
  TranscoderInput input;
  Requested requested;
};

TEST(StreamingProfileTest, AudioLadderAndItsOverrides) {
  struct Case {
    const char* format;
    const char* codec;
    bool rtp;
    unsigned bitrate;
    int channels;  // requested; 0 = not asked for
    int rate;
    unsigned wantBitrate;
    int wantRate;
    int wantChannels;
  } cases[] = {
      // AAC: its own rates, and lower bitrates over RTP.
      {"rtp", "aac", true, 128000, 0, 0, 120000, 44100, 2},
      {"rtp", "aac", false, 128000, 0, 0, 128000, 44100, 2},
      {"rtp", "aac", false, 500000, 0, 0, 192000, 44100, 2},
      {"rtp", "aac", true, 320000, 0, 0, 192000, 44100, 2},
      {"rtp", "aac", true, 192000, 0, 0, 192000, 44100, 2},
      {"rtp", "aac", true, 64000, 0, 0, 58000, 44100, 2},
      {"rtp", "AAC", true, 63999, 0, 0, 36000, 32000, 2},
      {"rtp", "aac", false, 40000, 0, 0, 40000, 32000, 2},
      {"rtp", "aac", true, 32000, 0, 0, 30000, 16000, 1},
      {"rtp", "aac", true, 12000, 0, 0, 10000, 16000, 1},
      {"rtp", "aac", true, 11999, 0, 0, 8000, 8000, 1},
      // Other codecs: the plain ladder; "no rate" rows keep the request.
      {"rtp", "amr", false, 0, 0, 0, 8000, 8000, 1},
      {"rtp", "mp2", false, 128000, 0, 0, 128000, 0, 2},
      {"rtp", "mp2", false, 20000, 0, 0, 20000, 44100, 1},
      {"rtp", "mp2", false, 16000, 0, 0, 16000, 16000, 1},
      // MP3 never goes below 16 kbit/s mono at 22,050 Hz.
      {"rtp", "mp3", false, 0, 0, 0, 16000, 22050, 1},
      {"rtp", "mp3", false, 12000, 0, 0, 16000, 22050, 1},
      {"rtp", "mp3", false, 16000, 0, 0, 16000, 16000, 1},
      // FLV keeps 11,025 and 22,050 Hz and makes every other rate 44,100.
      {"flv", "mp3", false, 40000, 0, 0, 40000, 44100, 2},
      {"FLA", "mp3", false, 16000, 0, 0, 16000, 44100, 1},
      {"flv", "mp3", false, 0, 0, 0, 16000, 22050, 1},
      {"flv", "mp3", false, 40000, 0, 32000, 40000, 32000, 2},
      // Transport streams and DVDs run at 48 kHz stereo.
      {"mpegts", "aac", false, 16000, 0, 0, 16000, 48000, 2},
      {"dvd", "mp2", false, 0, 0, 0, 8000, 48000, 2},
      // An explicit request wins over the ladder and every override.
      {"mpegts", "aac", false, 16000, 1, 22050, 16000, 22050, 1},
      {"rtp", "aac", true, 128000, 1, 0, 120000, 44100, 1},
      {"rtp", "aac", true, 128000, 0, 48000, 120000, 48000, 2},
  };
  for (const Case& c : cases) {
    Request request;
    request.requested.target().setFormat(c.format);
    request.requested.target().setRTP(c.rtp, 1400);
    request.target().setCodec(c.codec);
    request.target().setBitrate(c.bitrate);
    request.target().setChannels(c.channels);
    request.target().setSampleRate(c.rate);
    const auto profile = request.compute();
    ASSERT_NE(profile, nullptr);
    const std::string label = std::string(c.format) + " " + c.codec + " " + std::to_string(c.bitrate);
    const streamer::AudioDescription* audio = profile->target->getAudio();
    EXPECT_EQ(audio->getBitrate(), c.wantBitrate) << label;
    EXPECT_EQ(audio->getSampleRate(), c.wantRate) << label;
    EXPECT_EQ(audio->getChannels(), c.wantChannels) << label;
  }
}

// One settings key and what it does to the profile.
struct SettingCase {
  const char* key;
  const char* value;
  double (*field)(const FFMpegStreamingProfile&);
  double expected;
};

double qMin(const FFMpegStreamingProfile& p) { return p.encoderQMin; }
double qMax(const FFMpegStreamingProfile& p) { return p.encoderQMax; }
double qDiffMax(const FFMpegStreamingProfile& p) { return p.encoderQDiffMax; }
double qCompress(const FFMpegStreamingProfile& p) { return p.encoderQCompress; }
double qBlur(const FFMpegStreamingProfile& p) { return p.encoderQBlur; }
double method(const FFMpegStreamingProfile& p) { return p.encoderMotionEstimationMethod; }
double lowStreams(const FFMpegStreamingProfile& p) { return p.needLowBitrateStream; }
double lowRate2(const FFMpegStreamingProfile& p) { return p.lowVideoBitrate[1]; }
double lowRate4(const FFMpegStreamingProfile& p) { return p.lowVideoBitrate[3]; }
double maxDelay(const FFMpegStreamingProfile& p) { return p.encoderMaxDelay; }
double preload(const FFMpegStreamingProfile& p) { return p.encoderPreload; }
double videoTolerance(const FFMpegStreamingProfile& p) { return p.videoBitrateTolerance; }
double audioTolerance(const FFMpegStreamingProfile& p) { return p.audioBitrateTolerance; }
double constantBitrate(const FFMpegStreamingProfile& p) { return p.useConstantBitrate; }
double latm(const FFMpegStreamingProfile& p) { return p.audioUseLATM(); }

TEST(StreamingProfileTest, SettingsKeysDefaultsAndRanges) {
  const SettingCase cases[] = {
      // Quantiser ranges: out of range (or unreadable, which reads as 0)
      // means the default.
      {"encoderQMin", "0", qMin, 2},          {"encoderQMin", "1", qMin, 1},
      {"encoderQMin", "31", qMin, 31},        {"encoderQMin", "32", qMin, 2},
      {"encoderQMin", "junk", qMin, 2},       {"encoderQMin", "7x", qMin, 7},
      {"encoderQMax", "40", qMax, 31},        {"encoderQMax", "0", qMax, 31},
      {"encoderQMax", "1", qMax, 1},          {"encoderQMax", "99999999999", qMax, 31},
      {"encoderQMax", "-99999999999", qMax, 31},
      {"encoderQDiffMax", "2", qDiffMax, 3},  {"encoderQDiffMax", "31", qDiffMax, 31},
      {"encoderQDiffMax", "32", qDiffMax, 3}, {"encoderQDiffMax", "10", qDiffMax, 10},
      {"encoderQCompress", "1.5", qCompress, 0.8f}, {"encoderQCompress", "0", qCompress, 0.0},
      {"encoderQCompress", "0.25", qCompress, 0.25}, {"encoderQCompress", "-0.1", qCompress, 0.8f},
      {"encoderQCompress", "nan", qCompress, 0.8f}, {"encoderQCompress", "inf", qCompress, 0.8f},
      {"encoderQBlur", "1.0", qBlur, 1.0},    {"encoderQBlur", "1.01", qBlur, 0.8f},
      // Motion estimation by name, in any case.
      {"encoderMotionEstimationMethod", "default", method, 5},
      {"encoderMotionEstimationMethod", "zero", method, 1},
      {"encoderMotionEstimationMethod", "Full", method, 2},
      {"encoderMotionEstimationMethod", "LOG", method, 3},
      {"encoderMotionEstimationMethod", "phods", method, 4},
      {"encoderMotionEstimationMethod", "EPZS", method, 5},
      {"encoderMotionEstimationMethod", "hex", method, 7},
      {"encoderMotionEstimationMethod", "UMH", method, 8},
      {"encoderMotionEstimationMethod", "Iter", method, 9},
      {"encoderMotionEstimationMethod", "TESA", method, 10},
      {"encoderMotionEstimationMethod", "X1", method, 5},
      {"encoderMotionEstimationMethod", "", method, 5},
      // At most four low-bitrate companions, and never fewer than none.
      {"needLowBitrateStream", "3", lowStreams, 3}, {"needLowBitrateStream", "4", lowStreams, 4},
      {"needLowBitrateStream", "9", lowStreams, 4}, {"needLowBitrateStream", "-2", lowStreams, 0},
      {"lowVideoBitrate2", "300000", lowRate2, 300000}, {"lowVideoBitrate4", "64000", lowRate4, 64000},
      {"lowVideoBitrate2", "-1", lowRate2, 0},  {"lowVideoBitrate0", "5", lowRate2, 0},
      {"encoderMaxDelay", "2.5", maxDelay, 2.5}, {"encoderMaxDelay", "inf", maxDelay, 0.5},
      {"encoderPreload", "0.1", preload, 0.1f},
      {"videoBitrateTolerance", "4000", videoTolerance, 4000},
      {"audioBitrateTolerance", "1000", audioTolerance, 1000},
      // Read only when the target has video.
      {"videoAudioBitrateTolerance", "2000", audioTolerance, 0},
      {"useConstantBitrate", "1", constantBitrate, 1}, {"useConstantBitrate", "0", constantBitrate, 0},
      {"audioUseLATM", "0", latm, 0},         {"audioUseLATM", "2", latm, 1},
  };
  for (const SettingCase& c : cases) {
    Request request;
    request.settings.put(c.key, c.value);
    const auto profile = request.compute();
    ASSERT_NE(profile, nullptr);
    EXPECT_FLOAT_EQ(c.field(*profile), c.expected) << c.key << " = \"" << c.value << "\"";
  }
}

TEST(StreamingProfileTest, DefaultsWithoutSettings) {
  Request request;
  request.requested.target().setFormat("mpegts");
  const auto profile = computeStreamingProfile(nullptr, nullptr, &request.input, &request.requested);
  ASSERT_NE(profile, nullptr);
  EXPECT_TRUE(profile->audioUseLATM());
  EXPECT_FLOAT_EQ(profile->encoderMaxDelay, 1.0f);
  EXPECT_FLOAT_EQ(profile->encoderPreload, 0.5f);
  EXPECT_EQ(profile->encoderQMax, 31);
  EXPECT_EQ(profile->encoderMotionEstimationMethod, 5);
  EXPECT_EQ(profile->settings, nullptr);
  EXPECT_EQ(profile->sourceDescription, &request.input);
}

TEST(StreamingProfileTest, ContainerDecidesMaxDelayAndVideoDecidesTolerance) {
  struct Case {
    const char* format;
    const char* video;
    float maxDelay;
    int audioTolerance;
  } cases[] = {
      {"flv", "none", 0.5f, 1000}, {"FLV", "none", 0.5f, 1000}, {"mpegts", "none", 1.0f, 1000},
      {"flv", "h264", 0.5f, 2000}, {"mp4", "h264", 1.0f, 2000},
  };
  for (const Case& c : cases) {
    Request request;
    request.requested.target().setFormat(c.format);
    request.requested.target().video().setCodec(c.video);
    request.settings.put("audioBitrateTolerance", "1000");
    request.settings.put("videoAudioBitrateTolerance", "2000");
    const auto profile = request.compute();
    ASSERT_NE(profile, nullptr);
    EXPECT_FLOAT_EQ(profile->encoderMaxDelay, c.maxDelay) << c.format;
    EXPECT_EQ(profile->audioBitrateTolerance, c.audioTolerance) << c.format << " " << c.video;
  }
}

TEST(StreamingProfileTest, NamesBecomeFFmpegNames) {
  struct Case {
    const char* format;
    const char* audio;
    const char* video;
    const char* wantFormat;
    const char* wantAudio;
    const char* wantVideo;
  } cases[] = {
      {"flv", "aac", "H264", "flv", "libfaac", "libx264"},
      {"asf", "WMA", "wmv9", "asf", "wmav2", "wmv2"},
      {"mkv", "mp3", "svq", "matroska", "libmp3lame", "flv"},
      {"MKV", "amr_nb", "none", "matroska", "libamr_nb", "none"},
      // Audio-only MPEG with MP3 audio is an MP3 file.
      {"mpeg", "mp3", "none", "mp3", "libmp3lame", "none"},
      {"mpeg", "MP3", "", "mp3", "libmp3lame", "none"},
      // Any other MPEG target is MPEG-1 video with MP2 audio.
      {"mpeg", "mp3", "h264", "mpeg", "mp2", "mpeg1video"},
      {"mpeg", "aac", "none", "mpeg", "mp2", "mpeg1video"},
      {"mpegts", "aac", "mpeg2", "mpegts", "libfaac", "mpeg2video"},
  };
  for (const Case& c : cases) {
    Request request;
    request.requested.target().setFormat(c.format);
    request.target().setCodec(c.audio);
    request.requested.target().video().setCodec(c.video);
    const auto profile = request.compute();
    ASSERT_NE(profile, nullptr);
    const std::string label = std::string(c.format) + "/" + c.audio + "/" + c.video;
    EXPECT_EQ(profile->formatName(), c.wantFormat) << label;
    EXPECT_EQ(profile->audioCodecName(), c.wantAudio) << label;
    EXPECT_EQ(profile->videoCodecName(), c.wantVideo) << label;
  }
}

TEST(StreamingProfileTest, TargetIsAnOwnedCopyOfTheRequest) {
  Request request;
  request.target().setBitrate(128000);
  const auto profile = request.compute();
  ASSERT_NE(profile, nullptr);
  EXPECT_EQ(profile->audioCodecName(), "libfaac");
  // The engine's own record keeps what it asked for.
  EXPECT_STREQ(request.requested.target().audio().getCodec(), "aac");
  EXPECT_EQ(request.requested.target().audio().getSampleRate(), 0);
  EXPECT_NE(profile->target.get(), &request.requested.target());
}

TEST(StreamingProfileTest, CompressedInputPassesThroughOnlyUnchangedAndAllowed) {
  struct Case {
    const char* inAudio;
    const char* inVideo;
    const char* wantAudio;
    const char* wantVideo;
    bool forbidden;
    bool refused;
    bool audioPassthrough;
    bool videoPassthrough;
  } cases[] = {
      {"raw", "raw", "aac", "h264", false, false, false, false},
      {"RAW", "none", "mp3", "none", true, false, false, false},
      {"aac", "h264", "aac", "h264", false, false, true, true},
      {"AAC", "H264", "aac", "h264", false, false, true, true},
      {"aac", "raw", "aac", "h264", false, false, true, false},
      {"raw", "h264", "mp3", "h264", false, false, false, true},
      {"aac", "raw", "mp3", "h264", false, true, false, false},
      {"raw", "h264", "mp3", "flv", false, true, false, false},
      {"raw", "h264", "mp3", "none", false, true, false, false},
      {"aac", "raw", "aac", "h264", true, true, false, false},
      {"raw", "h264", "mp3", "h264", true, true, false, false},
      // No input stream of a kind: nothing to pass through or refuse.
      {"none", "none", "aac", "h264", true, false, false, false},
  };
  for (const Case& c : cases) {
    Request request;
    request.input.stream().audio().setCodec(c.inAudio);
    request.input.stream().video().setCodec(c.inVideo);
    request.target().setCodec(c.wantAudio);
    request.requested.target().video().setCodec(c.wantVideo);
    request.requested.setPassthroughForbidden(c.forbidden);
    const auto profile = request.compute();
    const std::string label = std::string(c.inAudio) + "/" + c.inVideo + " -> " + c.wantAudio + "/" + c.wantVideo +
                              (c.forbidden ? " forbidden" : "");
    ASSERT_EQ(profile == nullptr, c.refused) << label;
    if (!profile) continue;
    EXPECT_EQ(profile->audioPassthrough, c.audioPassthrough) << label;
    EXPECT_EQ(profile->videoPassthrough, c.videoPassthrough) << label;
  }
}

TEST(StreamingProfileTest, PassedThroughStreamsKeepTheirParameters) {
  Request request;
  request.input.stream().audio().setCodec("aac");
  request.input.stream().video().setCodec("mpeg2");
  request.target().setBitrate(128000);
  request.requested.target().setFormat("mpegts");
  request.requested.target().video().setCodec("mpeg2");
  request.requested.target().video().setFrameRate(60.0);
  const auto profile = request.compute();
  ASSERT_NE(profile, nullptr);
  EXPECT_EQ(profile->target->getAudio()->getBitrate(), 128000u);
  EXPECT_EQ(profile->target->getAudio()->getSampleRate(), 0);
  EXPECT_EQ(profile->target->getAudio()->getChannels(), 0);
  EXPECT_DOUBLE_EQ(profile->target->getVideo()->getFrameRate(), 60.0);
  EXPECT_FALSE(profile->sameFrameRate);
}

TEST(StreamingProfileTest, FrameRateRules) {
  struct Case {
    const char* video;
    double sourceRate;
    double targetRate;
    double wantRate;
    bool same;
  } cases[] = {
      {"h264", 29.97, 29.0, 29.0, true},     {"h264", 25.0, 30.0, 30.0, false},
      {"h264", 24.9, 24.0, 24.0, true},      {"h264", 30.0, 29.99, 29.99, false},
      {"flv", 0.0, 0.0, 0.0, true},          {"h264", NAN, 25.0, 25.0, false},
      // MPEG-1/2 always run at 24 frames per second.
      {"mpeg2", 60.0, 60.0, 24.0, false},    {"mpeg1video", 24.5, 10.0, 24.0, true},
      {"MPEG2VIDEO", 23.0, 30.0, 24.0, false},
      // Without target video there is nothing to compare.
      {"none", 25.0, 25.0, 25.0, false},
  };
  for (const Case& c : cases) {
    Request request;
    request.input.stream().video().setCodec("raw");
    request.input.stream().video().setFrameRate(c.sourceRate);
    request.requested.target().video().setCodec(c.video);
    request.requested.target().video().setFrameRate(c.targetRate);
    const auto profile = request.compute();
    ASSERT_NE(profile, nullptr);
    EXPECT_DOUBLE_EQ(profile->target->getVideo()->getFrameRate(), c.wantRate) << c.video << " " << c.targetRate;
    EXPECT_EQ(profile->sameFrameRate, c.same) << c.video << " " << c.sourceRate << " " << c.targetRate;
  }
}

TEST(StreamingProfileTest, SourceDescriptionComesFromTheInput) {
  // The input names the source medium's stream; the frame-rate comparison
  // uses the source, not the stream that reaches the stage.
  Request request;
  TranscoderInput source;
  source.stream().video().setCodec("h264");
  source.stream().video().setFrameRate(25.0);
  request.input.setSource(&source);
  request.input.stream().video().setCodec("raw");
  request.input.stream().video().setFrameRate(50.0);
  request.requested.target().video().setCodec("h264");
  request.requested.target().video().setFrameRate(25.0);
  const auto profile = request.compute();
  ASSERT_NE(profile, nullptr);
  EXPECT_EQ(profile->sourceDescription, &source);
  EXPECT_TRUE(profile->sameFrameRate);
  EXPECT_FALSE(profile->videoPassthrough);
}

TEST(StreamingProfileTest, MissingRecordsGiveNoProfile) {
  Request request;
  EXPECT_EQ(computeStreamingProfile(&request.settings, &request.medium, nullptr, &request.requested), nullptr);
  EXPECT_EQ(computeStreamingProfile(&request.settings, &request.medium, &request.input, nullptr), nullptr);
}

}  // namespace
}  // namespace zan
