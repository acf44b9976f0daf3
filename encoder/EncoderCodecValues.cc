// Every value the encoder sets on a codec context before opening it: bit
// rate (10 % less over RTP, for the packet headers), picture size, time
// base, rate-control tolerance and limits, quantiser range, motion
// estimation, headers, GOP, and for libx264 the streaming defaults that the
// settings map may override. libx264's own switches are private options of
// FFmpeg's wrapper; they go into |options| for avcodec_open2.
#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "encoder/profile/CodecTables.h"
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
  targetSize(codec.width, codec.height);
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
    // Ten times the bits of |fps| seconds passes the int FFmpeg keeps above
    // about 8 Mbit/s at 25 fps: the largest buffer it can hold instead.
    const double bufferBits = fps * static_cast<double>(codec.bit_rate + codec.bit_rate_tolerance) * 10.0;
    codec.rc_buffer_size = bufferBits >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(bufferBits);
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

void FFMpegEncoder::targetSize(int& width, int& height) const {
  const streamer::VideoDescription& target = *profile_->target->getVideo();
  const streamer::VideoDescription& source = *profile_->sourceDescription->getVideo();
  // A size the request gives is honoured (the scaler converts every
  // picture anyway); 4:2:0 pictures need even sides.
  if (target.getWidth() > 0 && target.getHeight() > 0) {
    width = (target.getWidth() + 1) & ~1;
    height = (target.getHeight() + 1) & ~1;
  } else {
    width = source.getWidth();
    height = source.getHeight();
  }
}

void FFMpegEncoder::adjustVideoCodecValuesLow(AVCodecContext& codec, const AVCodec& encoder, AVDictionary** options,
                                              int bitrate) const {
  const FFMpegStreamingProfile& profile = *profile_;
  const streamer::AudioDescription* audio = profile.target->hasAudio() ? profile.target->getAudio() : nullptr;
  int64_t kbps = (static_cast<int64_t>(bitrate) - (audio ? static_cast<int64_t>(audio->getBitrate()) : 0)) / 1000;
  if (profile.target->isRTP()) kbps = static_cast<int64_t>(static_cast<double>(kbps) * 0.9);
  // The audio may take the whole budget: the video still gets a little.
  codec.bit_rate = std::max<int64_t>(kbps, 8) * 1000;

  // 64 kbit/s is the mobile rung: a 160x120-class picture at 2 frames per
  // second, the long side widened to the source's shape in steps of 16.
  int width = 0, height = 0;
  targetSize(width, height);
  double fps = profile.target->getVideo()->getFrameRate();
  if (!(fps > 0.0)) fps = profile.sourceDescription->getVideo()->getFrameRate();
  if (bitrate == 64000 && width > 0 && height > 0) {
    const double ratio = static_cast<double>(width) / static_cast<double>(height);
    width = 160;
    height = 120;
    if (ratio > 1.0) width = (static_cast<int>(120.0 * ratio) + 15) / 16 * 16;
    else height = (static_cast<int>(160.0 / ratio) + 15) / 16 * 16;
    fps = 2.0;
  }
  codec.width = width;
  codec.height = height;
  codec.sample_aspect_ratio = AVRational{0, 1};
  // The companion runs on the main encoder's clock and is given pictures at
  // its own rate: a picture of it can then fall exactly where the main
  // output begins a segment. Rate control goes by the frame rate.
  codec.time_base = video_.codec->time_base;
  codec.framerate = av_d2q(fps, 10001);
  codec.bit_rate_tolerance = 0;
  codec.qcompress = 0.5f;
  codec.qblur = 0.5f;
  const bool tight = bitrate == 64000 || bitrate > 100000;
  codec.qmin = 4;
  codec.qmax = tight ? 35 : 40;
  codec.max_qdiff = tight ? 2 : 4;
  codec.mb_decision = FF_MB_DECISION_RD;
  codec.flags |= video_.codec->flags & AV_CODEC_FLAG_GLOBAL_HEADER;
  codec.pix_fmt = AV_PIX_FMT_YUV420P;
  codec.gop_size = static_cast<int>(std::ceil(fps));
  // At a reduced picture rate reordering would delay decoding times by
  // whole seconds, beyond what MPEG-TS's delay absorbs.
  // Its small pictures need no frame threads either, whose delay would be
  // a picture per thread.
  if (fps < av_q2d(video_.codec->framerate)) {
    codec.max_b_frames = 0;
    codec.thread_count = 1;
  }
  if (isCodec(encoder, "libx264")) {
    getH264Parameters(codec, options);
    codec.gop_size = static_cast<int>(std::ceil(fps));
    // A companion is known by its bit rate and advertised with it: libx264
    // rates it to that average (no rate factor), within the quantiser
    // limits above.
    av_dict_set(options, "crf", "-1", 0);
    // libx264 looks 40 pictures ahead by default: at 2 pictures a second
    // the companion's segments would lag the main output's by 20 s. A
    // second of look-ahead keeps them together.
    av_dict_set_int(options, "rc-lookahead", codec.gop_size, 0);
    // libx264 states the picture rate in the stream's headers as its time
    // base, the main output's here: a player would expect pictures at that
    // rate and drop the companion's as late. At a constant rate of its own
    // the headers say that rate; the times it is given pass unchanged.
    if (fps < av_q2d(video_.codec->framerate)) av_dict_set(options, "x264-params", "force-cfr=1", 0);
  }

  logDebug("FFENC V LOW:  codec = %d", static_cast<int>(encoder.id));
  logDebug("FFENC V LOW:      w = %d      h = %d", codec.width, codec.height);
  logDebug("FFENC V LOW:    fps = %d/%d", codec.framerate.num, codec.framerate.den);
  logDebug("FFENC V LOW:    bps = %" PRId64 "    tol = %d", codec.bit_rate, codec.bit_rate_tolerance);
  logDebug("FFENC V LOW:    gop = %d", codec.gop_size);
  logDebug("FFENC V LOW:   Qmin = %d  Qmax = %d   QDiff = %d", codec.qmin, codec.qmax, codec.max_qdiff);
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
