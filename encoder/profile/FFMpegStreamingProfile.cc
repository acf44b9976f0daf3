// Turns an engine request into the streaming profile: pass-through
// decision, settings keys, name normalisation, audio ladder, frame-rate
// rules. See FFMpegStreamingProfile.h.
#include "encoder/profile/FFMpegStreamingProfile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <new>

#include "encoder/profile/CodecTables.h"

namespace zan {

using codecs::equalsIgnoreCase;
using streamer::AudioDescription;
using streamer::InputStreamDescription;
using streamer::MapGeneric;
using streamer::MediumDescription;
using streamer::OutputStreamDescription;
using streamer::RequestedStreamDescription;
using streamer::TrackDescription;
using streamer::VideoDescription;

namespace {

std::string text(const char* value) { return value ? value : ""; }

std::string codecOf(const TrackDescription* track) { return track ? text(track->getCodec()) : ""; }

// The engine calls decoded media "raw"; anything else is compressed.
bool isCompressed(const TrackDescription* track) { return !equalsIgnoreCase(codecOf(track), "raw"); }

// atoi semantics (leading number, 0 when there is none), but saturating
// instead of overflowing on absurdly long numbers.
int toInt(const char* value) {
  errno = 0;
  const long long parsed = std::strtoll(value, nullptr, 10);
  if (parsed > INT_MAX) return INT_MAX;
  if (parsed < INT_MIN) return INT_MIN;
  return static_cast<int>(parsed);
}

// One row of the audio ladder: the first row whose threshold the requested
// bitrate reaches applies. A zero means "leave as it is" (rate) or "no
// special value" (the AAC columns).
struct LadderRow {
  unsigned threshold;
  unsigned bitrate;
  int rate;
  int channels;
  int aacRate;
  unsigned aacBitrate;     // AAC, whatever the transport
  unsigned aacRtpBitrate;  // AAC sent as RTP payloads
};

constexpr LadderRow kAudioLadder[] = {
    {320000, 320000, 0, 2, 44100, 192000, 192000},
    {192000, 192000, 0, 2, 44100, 0, 0},
    {160000, 160000, 0, 2, 44100, 0, 0},
    {128000, 128000, 0, 2, 44100, 0, 120000},
    {96000, 96000, 0, 2, 44100, 0, 90000},
    {80000, 80000, 0, 2, 44100, 0, 76000},
    {64000, 64000, 0, 2, 44100, 0, 58000},
    {40000, 40000, 32000, 2, 0, 0, 36000},
    {32000, 32000, 44100, 1, 16000, 0, 30000},
    {20000, 20000, 44100, 1, 16000, 0, 18000},
    {16000, 16000, 16000, 1, 16000, 0, 14000},
    {12000, 12000, 16000, 1, 16000, 0, 10000},
    {0, 8000, 8000, 1, 0, 0, 0},
};

}  // namespace

int motionEstimationMethod(const char* name) {
  struct Method {
    const char* name;
    int number;
  };
  static constexpr Method kMethods[] = {
      {"default", 5}, {"ZERO", 1}, {"FULL", 2}, {"LOG", 3},  {"PHODS", 4},
      {"EPZS", 5},    {"HEX", 7},  {"UMH", 8},  {"ITER", 9}, {"TESA", 10},
  };
  for (const Method& method : kMethods)
    if (equalsIgnoreCase(text(name), method.name)) return method.number;
  return 5;
}

FFMpegStreamingProfile::FFMpegStreamingProfile(const MapGeneric* settings, const MediumDescription* medium,
                                               const InputStreamDescription* sourceDescription,
                                               std::unique_ptr<OutputStreamDescription> target,
                                               bool audioPassthrough, bool videoPassthrough)
    : settings(settings), medium(medium), sourceDescription(sourceDescription), target(std::move(target)),
      audioPassthrough(audioPassthrough), videoPassthrough(videoPassthrough) {
  loadSettings();
  normalizeCodecs();
  computeAudioParameters();
  computeVideoParameters();
}

std::string FFMpegStreamingProfile::formatName() const { return text(target->getFormat()); }
std::string FFMpegStreamingProfile::audioCodecName() const { return codecOf(target->getAudio()); }
std::string FFMpegStreamingProfile::videoCodecName() const { return codecOf(target->getVideo()); }

void FFMpegStreamingProfile::loadSettings() {
  auto value = [this](const char* key) -> const char* { return settings ? settings->get(key) : nullptr; };
  auto readInt = [&](const char* key, int& field) {
    if (const char* v = value(key)) field = toInt(v);
  };
  auto readFlag = [&](const char* key, bool& field) {
    if (const char* v = value(key)) field = toInt(v) != 0;
  };
  // Infinity and NaN would reach FFmpeg's integer fields through float to
  // integer conversions; they fall back to the default like an absent key.
  auto readFloat = [&](const char* key, float& field) {
    if (const char* v = value(key)) {
      const double parsed = std::atof(v);
      if (std::isfinite(parsed)) field = static_cast<float>(parsed);
    }
  };
  auto limitInt = [](int& field, int low, int high, int fallback) {
    if (field < low || field > high) field = fallback;
  };
  auto limitUnit = [](float& field) {
    if (!(field >= 0.0f && field <= 1.0f)) field = 0.8f;
  };

  readFlag("audioUseLATM", audioUseLATM_);

  readInt("needLowBitrateStream", needLowBitrateStream);
  // The low-bitrate bitrates and the muxer's low-stream contexts have room
  // for four companions; a larger count would overrun them. A negative count
  // means none.
  if (needLowBitrateStream > kMaxLowBitrateStreams) needLowBitrateStream = kMaxLowBitrateStreams;
  if (needLowBitrateStream < 0) needLowBitrateStream = 0;

  readInt("segmentDuration", segmentSeconds);
  limitInt(segmentSeconds, 1, 60, 10);

  for (int i = 0; i < kMaxLowBitrateStreams; ++i) {
    const std::string key = "lowVideoBitrate" + std::to_string(i + 1);
    int bitrate = 0;
    readInt(key.c_str(), bitrate);
    // A negative bitrate would wrap to about 4 Gbit/s.
    lowVideoBitrate[i] = bitrate > 0 ? static_cast<unsigned>(bitrate) : 0;
  }

  readInt("encoderQMin", encoderQMin);
  limitInt(encoderQMin, 1, 31, 2);
  readInt("encoderQMax", encoderQMax);
  limitInt(encoderQMax, 1, 31, 31);
  readInt("encoderQDiffMax", encoderQDiffMax);
  limitInt(encoderQDiffMax, 3, 31, 3);
  readFloat("encoderQCompress", encoderQCompress);
  limitUnit(encoderQCompress);
  readFloat("encoderQBlur", encoderQBlur);
  limitUnit(encoderQBlur);

  if (const char* method = value("encoderMotionEstimationMethod"))
    encoderMotionEstimationMethod = motionEstimationMethod(method);

  readFloat("encoderPreload", encoderPreload);
  // FLV players start sooner with a shorter muxing delay.
  if (equalsIgnoreCase(formatName(), "flv")) encoderMaxDelay = 0.5f;
  readFloat("encoderMaxDelay", encoderMaxDelay);

  readInt("videoBitrateTolerance", videoBitrateTolerance);
  readInt("audioBitrateTolerance", audioBitrateTolerance);
  readFlag("useConstantBitrate", useConstantBitrate);
  if (target->hasVideo()) readInt("videoAudioBitrateTolerance", audioBitrateTolerance);
}

void FFMpegStreamingProfile::normalizeCodecs() {
  AudioDescription* audio = target->getAudio();
  VideoDescription* video = target->getVideo();
  auto setAudio = [audio](const char* name) {
    if (audio) audio->setCodec(name);
  };
  auto setVideo = [video](const char* name) {
    if (video) video->setCodec(name);
  };

  if (audio) setAudio(codecs::engineToFFMpegCodecName(codecOf(audio), false).c_str());
  if (video) setVideo(codecs::engineToFFMpegCodecName(codecOf(video), false).c_str());

  if (equalsIgnoreCase(formatName(), "mkv")) target->setFormat("matroska");

  // Audio-only MPEG with MP3 audio is an MP3 file, not a program stream.
  if (!target->hasVideo() && equalsIgnoreCase(formatName(), "mpeg") &&
      equalsIgnoreCase(audioCodecName(), "libmp3lame")) {
    target->setFormat("mp3");
    setVideo("none");
  }
  if (equalsIgnoreCase(formatName(), "mpeg")) {
    setAudio("mp2");
    setVideo("mpeg1video");
  }
  if (equalsIgnoreCase(videoCodecName(), "mpeg2video") && !target->hasVideo()) setAudio("mp2");
}

void FFMpegStreamingProfile::computeAudioParameters() {
  AudioDescription* audio = target->getAudio();
  if (audioPassthrough || audio == nullptr) return;

  const int requestedChannels = audio->getChannels();
  const int requestedRate = audio->getSampleRate();
  const unsigned requestedBitrate = audio->getBitrate();
  const bool aac = equalsIgnoreCase(audioCodecName(), "libfaac");
  const bool rtp = target->isRTP();

  unsigned bitrate = 0;
  int rate = requestedRate;
  int channels = 0;
  for (const LadderRow& row : kAudioLadder) {
    if (requestedBitrate < row.threshold) continue;
    bitrate = row.bitrate;
    if (row.rate) rate = row.rate;
    channels = row.channels;
    if (aac) {
      if (row.aacRate) rate = row.aacRate;
      if (row.aacBitrate) bitrate = row.aacBitrate;
      if (rtp && row.aacRtpBitrate) bitrate = row.aacRtpBitrate;
    }
    break;
  }

  if (equalsIgnoreCase(audioCodecName(), "libmp3lame") && bitrate < 16000) {
    rate = 22050;
    bitrate = 16000;
    channels = 1;
  }
  const std::string format = formatName();
  if (equalsIgnoreCase(format, "flv") || equalsIgnoreCase(format, "fla")) {
    // FLV audio tags can only say 5.5, 11, 22 or 44 kHz.
    if (rate != 11025 && rate != 22050) rate = 44100;
  }
  if (equalsIgnoreCase(format, "dvd") || equalsIgnoreCase(format, "mpegts")) {
    rate = 48000;
    channels = 2;
  }
  // What the engine asked for explicitly wins over the ladder.
  if (requestedChannels > 0) channels = requestedChannels;
  if (requestedRate > 0) rate = requestedRate;

  audio->setBitrate(bitrate);
  audio->setSampleRate(rate);
  audio->setChannels(channels);
}

void FFMpegStreamingProfile::computeVideoParameters() {
  VideoDescription* video = target->getVideo();
  if (videoPassthrough || video == nullptr) return;

  // MPEG-1/2 targets always run at 24 frames per second.
  const std::string codec = videoCodecName();
  if (equalsIgnoreCase(codec, "mpeg1video") || equalsIgnoreCase(codec, "mpeg2video")) video->setFrameRate(24.0);

  if (target->hasVideo()) {
    const VideoDescription* source = sourceDescription->getVideo();
    const double sourceRate = source ? source->getFrameRate() : 0.0;
    // Comparing truncated doubles keeps NaN and huge rates well defined.
    sameFrameRate = std::trunc(sourceRate) == std::trunc(video->getFrameRate());
  }
}

std::vector<int> FFMpegStreamingProfile::companionBitrates() const {
  std::vector<int> bitrates;
  for (int i = 0; i < needLowBitrateStream; ++i) {
    const int bitrate = static_cast<int>(lowVideoBitrate[i]);
    if (bitrate > 0 && std::find(bitrates.begin(), bitrates.end(), bitrate) == bitrates.end())
      bitrates.push_back(bitrate);
  }
  return bitrates;
}

std::unique_ptr<FFMpegStreamingProfile> computeStreamingProfile(const MapGeneric* settings,
                                                                const MediumDescription* medium,
                                                                const InputStreamDescription* input,
                                                                const RequestedStreamDescription* requested) {
  if (input == nullptr || requested == nullptr) return nullptr;

  // A compressed input stream can only be copied through unchanged, and
  // only when the request asks for that very codec and allows copying.
  auto passthrough = [&](bool present, const TrackDescription* in, const TrackDescription* want,
                         bool& result) -> bool {
    result = false;
    if (!present || !isCompressed(in)) return true;
    if (!equalsIgnoreCase(codecOf(in), codecOf(want))) return false;
    if (requested->isPassthroughForbidden()) return false;
    result = true;
    return true;
  };
  bool videoPassthrough = false;
  bool audioPassthrough = false;
  if (!passthrough(input->hasVideo(), input->getVideo(), requested->getVideo(), videoPassthrough)) return nullptr;
  if (!passthrough(input->hasAudio(), input->getAudio(), requested->getAudio(), audioPassthrough)) return nullptr;

  const InputStreamDescription* source = input->getSourceDescription();
  std::unique_ptr<OutputStreamDescription> target(requested->getTarget());
  if (source == nullptr || target == nullptr) return nullptr;

  return std::unique_ptr<FFMpegStreamingProfile>(new (std::nothrow) FFMpegStreamingProfile(
      settings, medium, source, std::move(target), audioPassthrough, videoPassthrough));
}

}  // namespace zan
