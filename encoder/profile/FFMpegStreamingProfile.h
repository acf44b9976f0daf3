// The settled parameter set of a transcoding stage.
//
// Before the encoder or the audio resampler builds any FFmpeg context, the
// engine's request (requested description, input description, settings map)
// is turned into one profile: whether compressed input may be copied
// through, the tuning keys with their defaults and ranges, the target's
// codec and container names in FFmpeg's vocabulary, the audio bitrate,
// sample rate and channel count from a fixed ladder, and the frame-rate
// rules of MPEG-1/2 targets.
//
// Ownership: |settings|, |medium| and |sourceDescription| are the engine's
// records, borrowed; the engine keeps them alive for the life of the stage.
// |target| is a copy the request hands out, rewritten here in place and
// owned by the profile. All work happens in computeStreamingProfile();
// afterwards the profile is read-only and may be read from any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "zan/streamer/EngineRecords.h"

namespace zan {

class InternalSamplePacket;

// Number of low-bitrate companions a segmented output can carry; larger
// requests are clamped to it.
inline constexpr int kMaxLowBitrateStreams = 4;

class FFMpegStreamingProfile {
 public:
  FFMpegStreamingProfile(const streamer::MapGeneric* settings, const streamer::MediumDescription* medium,
                         const streamer::InputStreamDescription* sourceDescription,
                         std::unique_ptr<streamer::OutputStreamDescription> target, bool audioPassthrough,
                         bool videoPassthrough);
  FFMpegStreamingProfile(const FFMpegStreamingProfile&) = delete;
  FFMpegStreamingProfile& operator=(const FFMpegStreamingProfile&) = delete;

  // String copies of the target's container and codec names (FFmpeg
  // vocabulary, e.g. "flv", "libx264", "libfaac").
  std::string formatName() const;
  std::string audioCodecName() const;
  std::string videoCodecName() const;
  bool audioUseLATM() const { return audioUseLATM_; }

  // A new packet for one encoded audio frame: the RTP payload format of the
  // target's audio codec (AMR; AAC as LATM or, with audioUseLATM off, as
  // MPEG-4 generic), or a plain packet when |plain| is set or the codec has
  // no payload format here. Defined with the packet classes in output/.
  std::unique_ptr<InternalSamplePacket> createAudioSamplePacket(bool plain) const;

  // The low-bitrate companions a segmented output carries: the bit rates of
  // the first needLowBitrateStream entries, without zeros and repeats (a
  // companion is known by its bit rate alone).
  std::vector<int> companionBitrates() const;

  const streamer::MapGeneric* settings;  // may be null: every key absent
  const streamer::MediumDescription* medium;
  const streamer::InputStreamDescription* sourceDescription;
  std::unique_ptr<streamer::OutputStreamDescription> target;

  float encoderMaxDelay = 1.0f;  // seconds
  float encoderPreload = 0.5f;   // seconds
  int needLowBitrateStream = 0;  // 0 .. kMaxLowBitrateStreams
  unsigned lowVideoBitrate[kMaxLowBitrateStreams] = {0, 0, 0, 0};  // bit/s
  // Segmented output's aim for one segment ("segmentDuration", whole
  // seconds, 1 to 60): a live playlist's window and the players' start-up
  // delay are counted in segments, so a relay may want them shorter.
  int segmentSeconds = 10;
  int encoderQMin = 2;
  int encoderQMax = 31;
  int encoderQDiffMax = 3;
  float encoderQCompress = 0.8f;
  float encoderQBlur = 0.8f;
  int encoderMotionEstimationMethod = 5;  // FFmpeg's classic method numbers (5 = EPZS)
  int videoBitrateTolerance = 0;          // bits
  int audioBitrateTolerance = 0;          // bits
  bool useConstantBitrate = false;
  bool sameFrameRate = false;  // input and target frame rates share their whole part
  bool audioPassthrough;       // compressed input audio is copied, not encoded
  bool videoPassthrough;

 private:
  void loadSettings();
  void normalizeCodecs();
  void computeAudioParameters();
  void computeVideoParameters();

  bool audioUseLATM_ = true;  // AAC over RTP as LATM (else MPEG-4 generic)
};

// The profile of a request, or null when the request cannot be met: a
// compressed input stream whose codec differs from the requested one, or
// that the request bars from being copied through; or a missing record.
// Logs nothing; the caller reports the failure.
std::unique_ptr<FFMpegStreamingProfile> computeStreamingProfile(const streamer::MapGeneric* settings,
                                                                const streamer::MediumDescription* medium,
                                                                const streamer::InputStreamDescription* input,
                                                                const streamer::RequestedStreamDescription* requested);

// The motion-estimation method number of a settings text ("EPZS", "hex",
// ...); unknown texts give 5 (EPZS).
int motionEstimationMethod(const char* name);

}  // namespace zan
