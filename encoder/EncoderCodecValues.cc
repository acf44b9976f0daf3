// Every value the encoder sets on a codec context before opening it: bit
// rate (10 % less over RTP, for the packet headers), picture size, time
// base, rate-control tolerance and limits, quantiser range, motion
// estimation, headers, GOP, and for libx264 the streaming defaults that the
// settings map may override. libx264's own switches are private options of
// FFmpeg's wrapper; they go into |options| for avcodec_open2.
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <string>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "encoder/CodecTables.h"
#include "encoder/FFMpegEncoder.h"

namespace zan {

namespace {

bool isCodec(const AVCodec& encoder, const char* name) { return std::string(encoder.name) == name; }

// The motion-estimation method numbers of the settings, as libx264 names
// its searches: EPZS was always served by the diamond search, full search
// by the exhaustive one; everything else by the hexagon.
const char* x264MotionEstimation(int method) {
  switch (method) {
    case 5: return "dia";
    case 2: return "esa";
    case 8: return "umh";
    case 10: return "tesa";
    default: return "hex";
  }
}

// The same for FFmpeg's own MPEG-family encoders, which kept three
// methods.
const char* mpegMotionEstimation(int method) {
  switch (method) {
    case 1: return "zero";
    case 6: return "xone";
    default: return "epzs";
  }
}

// libx264 partition bits as its option names.
std::string x264Partitions(int bits) {
  struct Partition {
    int bit;
    const char* name;
  };
  static constexpr Partition kPartitions[] = {
      {0x001, "i4x4"}, {0x002, "i8x8"}, {0x010, "p8x8"}, {0x020, "p4x4"}, {0x100, "b8x8"}};
  std::string names;
  for (const Partition& partition : kPartitions) {
    if ((bits & partition.bit) == 0) continue;
    if (!names.empty()) names += ',';
    names += partition.name;
  }
  return names.empty() ? "none" : names;
}

const char* setting(const FFMpegStreamingProfile& profile, const char* key) {
  return profile.settings ? profile.settings->get(key) : nullptr;
}

// The first of an encoder's sample formats, preferring interleaved 16-bit
// when it takes that (no conversion at all).
AVSampleFormat sampleFormatFor(const AVCodec& encoder) {
  if (encoder.sample_fmts == nullptr) return AV_SAMPLE_FMT_S16;
  for (const AVSampleFormat* format = encoder.sample_fmts; *format != AV_SAMPLE_FMT_NONE; ++format)
    if (*format == AV_SAMPLE_FMT_S16) return AV_SAMPLE_FMT_S16;
  return encoder.sample_fmts[0];
}

}  // namespace

void FFMpegEncoder::adjustVideoCodecValues(AVCodecContext& codec, const AVCodec& encoder,
                                           AVDictionary** options) const {
  const FFMpegStreamingProfile& profile = *profile_;
  const streamer::VideoDescription& target = *profile.target->getVideo();
  const streamer::VideoDescription& source = *profile.sourceDescription->getVideo();

  int64_t kbps = target.getBitrate() / 1000;
  if (profile.target->isRTP()) kbps = static_cast<int64_t>(static_cast<double>(kbps) * 0.9);
  codec.bit_rate = kbps * 1000;
  // The encoder does not scale: the picture keeps the source's size.
  codec.width = source.getWidth();
  codec.height = source.getHeight();
  codec.sample_aspect_ratio = AVRational{0, 1};
  double fps = target.getFrameRate();
  if (!(fps > 0.0)) fps = source.getFrameRate();
  codec.time_base = av_d2q(1.0 / fps, 10001);
  codec.framerate = av_inv_q(codec.time_base);

  // The tolerance always covers at least one frame's bits.
  codec.bit_rate_tolerance = profile.videoBitrateTolerance;
  const double frameBits = av_q2d(codec.time_base) * static_cast<double>(codec.bit_rate);
  if (static_cast<double>(codec.bit_rate_tolerance) < frameBits)
    codec.bit_rate_tolerance = static_cast<int>(frameBits + 1.0);
  if (profile.useConstantBitrate) {
    codec.rc_max_rate = codec.rc_min_rate = codec.bit_rate;
    codec.rc_buffer_size =
        static_cast<int>(fps * static_cast<double>(codec.bit_rate + codec.bit_rate_tolerance) * 10.0);
  }
  if (profile.encoderQMin != 0) codec.qmin = profile.encoderQMin;
  if (profile.encoderQMax != 0) codec.qmax = profile.encoderQMax;
  if (profile.encoderQDiffMax != 0) codec.max_qdiff = profile.encoderQDiffMax;
  codec.qcompress = profile.encoderQCompress;
  codec.qblur = profile.encoderQBlur;
  codec.mb_decision = FF_MB_DECISION_BITS;
  // MPEG-TS repeats the parameter sets in the stream; every other container
  // carries them once, in its header.
  if (!codecs::equalsIgnoreCase(profile.formatName(), "mpegts")) codec.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  codec.pix_fmt = AV_PIX_FMT_YUV420P;
  codec.gop_size = static_cast<int>(std::ceil(fps));

  if (profile.target->isRTP()) {
    // Slices small enough for one payload each, where the encoder can cut
    // them so; larger ones are fragmented by the payload format.
    const int payloadSize = profile.target->getRTPPayloadSize();
    if (isCodec(encoder, "libx264")) av_dict_set_int(options, "slice-max-size", payloadSize, 0);
    else if (encoder.priv_class != nullptr && av_opt_find(const_cast<AVClass**>(&encoder.priv_class), "ps", nullptr, 0,
                                                          AV_OPT_SEARCH_FAKE_OBJ) != nullptr)
      av_dict_set_int(options, "ps", payloadSize, 0);
  }
  if (isCodec(encoder, "libx264")) {
    getH264Parameters(codec, options);
    if (profile.encoderMotionEstimationMethod > 0)
      av_dict_set(options, "motion-est", x264MotionEstimation(profile.encoderMotionEstimationMethod), 0);
  } else if (encoder.priv_class != nullptr && profile.encoderMotionEstimationMethod > 0 &&
             av_opt_find(const_cast<AVClass**>(&encoder.priv_class), "motion_est", nullptr, 0,
                         AV_OPT_SEARCH_FAKE_OBJ) != nullptr) {
    av_dict_set(options, "motion_est", mpegMotionEstimation(profile.encoderMotionEstimationMethod), 0);
  }

  logDebug("FFENC V:  codec = %d", static_cast<int>(encoder.id));
  logDebug("FFENC V:  w = %d      h = %d", codec.width, codec.height);
  logDebug("FFENC V:  fps = %d/%d", codec.time_base.num, codec.time_base.den);
  logDebug("FFENC V:  bps = %" PRId64 "    tol = %d", codec.bit_rate, codec.bit_rate_tolerance);
  logDebug("FFENC V:  Qmin = %d  Qmax = %d   QDiff = %d", codec.qmin, codec.qmax, codec.max_qdiff);
  logDebug("FFENC V:  Qcomp = %f  Qblur = %f", static_cast<double>(codec.qcompress), static_cast<double>(codec.qblur));
  logDebug("FFENC V:  flags = 0x%X", static_cast<unsigned>(codec.flags));
  logDebug("FFENC V:  gop = %d", codec.gop_size);
  logDebug("FFENC V:  keyintmin = %d", codec.keyint_min);
  logDebug("FFENC V:  refs = %d", codec.refs);
  logDebug("FFENC V:  me_range = %d", codec.me_range);
  logDebug("FFENC V:  me_quality = %d", codec.me_subpel_quality);
  logDebug("FFENC V:  pxfmt = %d", static_cast<int>(codec.pix_fmt));
  logDebug("FFENC V:rtp psz = %d", profile.target->isRTP() ? profile.target->getRTPPayloadSize() : 0);
}

void FFMpegEncoder::getH264Parameters(AVCodecContext& codec, AVDictionary** options) const {
  const FFMpegStreamingProfile& profile = *profile_;
  auto integer = [&](const char* key, int fallback) {
    const char* value = setting(profile, key);
    return value ? std::atoi(value) : fallback;
  };
  av_dict_set(options, "b-pyramid", "normal", 0);
  av_dict_set(options, "partitions", x264Partitions(integer("partitions", 0x111)).c_str(), 0);
  if (const char* gop = setting(profile, "gopSize")) codec.gop_size = std::atoi(gop);
  codec.keyint_min = integer("keyIntMin", 25);
  codec.refs = integer("refs", 1);
  codec.me_range = integer("motionEstimationRange", 12);
  codec.me_subpel_quality = integer("motionEstimationQuality", 5);
  codec.trellis = 0;
  const char* crf = setting(profile, "constantRateFactor");
  const double rateFactor = crf ? std::atof(crf) : 25.0;
  av_dict_set(options, "crf", std::to_string(rateFactor).c_str(), 0);
  logDebug("FFENC V:  crf = %f", rateFactor);
}

void FFMpegEncoder::adjustAudioCodecValues(AVCodecContext& codec, const AVCodec& encoder) const {
  const FFMpegStreamingProfile& profile = *profile_;
  const streamer::AudioDescription& target = *profile.target->getAudio();
  const streamer::AudioDescription& source = *profile.sourceDescription->getAudio();

  codec.bit_rate = target.getBitrate();
  codec.bit_rate_tolerance = profile.audioBitrateTolerance;
  codec.sample_rate = target.getSampleRate() > 0 ? target.getSampleRate() : source.getSampleRate();
  int channels = target.getChannels();
  if (profile.useConstantBitrate) codec.rc_max_rate = codec.rc_min_rate = codec.rc_buffer_size = static_cast<int>(codec.bit_rate);
  codec.flags = AV_CODEC_FLAG_GLOBAL_HEADER;

  // AMR never comes here: AmrEncoder serves it, with its own rate, mono
  // and the bit rate snapped to a mode.
  if (channels <= 0) channels = source.getChannels() > 2 ? 2 : source.getChannels();
  av_channel_layout_uninit(&codec.ch_layout);
  av_channel_layout_default(&codec.ch_layout, channels);
  codec.sample_fmt = sampleFormatFor(encoder);
  codec.time_base = AVRational{1, codec.sample_rate};

  logDebug("FFENC A:  codec = %d", static_cast<int>(encoder.id));
  logDebug("FFENC A:     sr = %d     ch = %d", codec.sample_rate, channels);
  logDebug("FFENC A:    bps = %" PRId64 "    tol = %d", codec.bit_rate, codec.bit_rate_tolerance);
  logDebug("FFENC A:  flags = %X", static_cast<unsigned>(codec.flags));
  logDebug("FFENC A:rtp psz = %d", profile.target->isRTP() ? profile.target->getRTPPayloadSize() : 0);
}

}  // namespace zan
