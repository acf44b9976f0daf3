// The streaming profile as the audio resampler reads it: the audio ladder,
// the pass-through decision and the source record.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "encoder/profile/FFMpegStreamingProfile.h"
#include "host/records/Records.h"
#include "tests/common/OutputRequest.h"

namespace zan {
namespace {

// Raw audio in, AAC in FLV out unless a case says otherwise.
using Request = test::OutputRequest;
Request aacInFlv() { return Request("flv", "aac", "none"); }

TEST(StreamingProfileTest, AudioLadderBoundariesAndOverrides) {
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
      // The 64 kbit/s step, with AAC's lower bitrates over RTP.
      {"rtp", "aac", true, 64000, 0, 0, 58000, 44100, 2},
      {"rtp", "AAC", true, 63999, 0, 0, 36000, 32000, 2},
      {"rtp", "aac", false, 63999, 0, 0, 40000, 32000, 2},
      // AAC is clamped at 192 kbit/s; below the last step everything is 8 kbit/s mono.
      {"rtp", "aac", false, 500000, 0, 0, 192000, 44100, 2},
      {"rtp", "aac", true, 11999, 0, 0, 8000, 8000, 1},
      // "No rate" rows keep the request; MP3 never goes below 16 kbit/s at 22,050 Hz.
      {"rtp", "mp2", false, 128000, 0, 0, 128000, 0, 2},
      {"rtp", "mp3", false, 12000, 0, 0, 16000, 22050, 1},
      // FLV keeps 22,050 Hz and makes other rates 44,100; transport streams run at 48 kHz.
      {"flv", "mp3", false, 0, 0, 0, 16000, 22050, 1},
      {"FLA", "mp3", false, 16000, 0, 0, 16000, 44100, 1},
      {"mpegts", "aac", false, 16000, 0, 0, 16000, 48000, 2},
      // An explicit request wins over the ladder and every override.
      {"mpegts", "aac", false, 16000, 1, 22050, 16000, 22050, 1},
  };
  for (const Case& c : cases) {
    Request request(c.format, c.codec, "none");
    request.requested.target().setRTP(c.rtp, 1400);
    host::Audio& target = request.requested.target().audio();
    target.setBitrate(c.bitrate);
    target.setChannels(c.channels);
    target.setSampleRate(c.rate);
    const auto profile = request.compute();
    ASSERT_NE(profile, nullptr);
    SCOPED_TRACE(std::string(c.format) + " " + c.codec + " " + std::to_string(c.bitrate));
    const streamer::AudioDescription* audio = profile->target->getAudio();
    EXPECT_EQ(audio->getBitrate(), c.wantBitrate);
    EXPECT_EQ(audio->getSampleRate(), c.wantRate);
    EXPECT_EQ(audio->getChannels(), c.wantChannels);
  }
  // The engine's own record keeps what it asked for.
  Request request = aacInFlv();
  ASSERT_NE(request.compute(), nullptr);
  EXPECT_EQ(request.requested.target().audio().getSampleRate(), 0);
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
      {"RAW", "none", "mp3", "none", true, false, false, false},
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
    Request request("flv", c.wantAudio, c.wantVideo);
    request.input.stream().audio().setCodec(c.inAudio);
    request.input.stream().video().setCodec(c.inVideo);
    request.requested.setPassthroughForbidden(c.forbidden);
    const auto profile = request.compute();
    SCOPED_TRACE(std::string(c.inAudio) + "/" + c.inVideo + " -> " + c.wantAudio + "/" + c.wantVideo +
                 (c.forbidden ? " forbidden" : ""));
    ASSERT_EQ(profile == nullptr, c.refused);
    if (!profile) continue;
    EXPECT_EQ(profile->audioPassthrough, c.audioPassthrough);
    EXPECT_EQ(profile->videoPassthrough, c.videoPassthrough);
  }
  // Passed-through audio keeps its parameters: no rate or channel count is settled.
  Request request = aacInFlv();
  request.input.stream().audio().setCodec("aac");
  request.requested.target().audio().setBitrate(128000);
  const auto profile = request.compute();
  ASSERT_NE(profile, nullptr);
  EXPECT_EQ(profile->target->getAudio()->getSampleRate(), 0);
  EXPECT_EQ(profile->target->getAudio()->getChannels(), 0);
}

TEST(StreamingProfileTest, SourceComesFromTheInputAndMissingRecordsGiveNoProfile) {
  Request request = aacInFlv();
  host::TranscoderInput source;
  source.stream().audio().setCodec("raw");
  request.input.setSource(&source);
  const auto profile = request.compute();
  ASSERT_NE(profile, nullptr);
  EXPECT_EQ(profile->sourceDescription, &source);
  EXPECT_EQ(computeStreamingProfile(&request.settings, &request.medium, nullptr, &request.requested), nullptr);
  EXPECT_EQ(computeStreamingProfile(&request.settings, &request.medium, &request.input, nullptr), nullptr);
}

}  // namespace
}  // namespace zan
