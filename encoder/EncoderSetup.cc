// Building the encoder's FFmpeg side: the profile, the muxer, one stream
// per kind with its encoder opened, and the codec configuration handed back
// to the engine as hexadecimal text.
#include <algorithm>
#include <string>

#include "encoder/profile/CodecResolver.h"
#include "encoder/profile/CodecTables.h"
#include "encoder/FFMpegEncoder.h"
#include "output/BasicMuxer.h"
#include "output/InternalSamplePacket.h"
#include "output/MpegTSSegmentedMuxer.h"
#include "support/HexText.h"

namespace zan {

using streamer::PLUGIN_FAILED;
using streamer::PLUGIN_OK;
using streamer::PLUGIN_UNAVAILABLE;
using streamer::PluginErrorCodes;

namespace {

bool isNone(const std::string& name) { return name.empty() || codecs::equalsIgnoreCase(name, "none"); }

// Segmented MPEG-TS only when both names are exactly these (letter case
// counts, as it always has for these keys).
bool wantsSegments(const FFMpegStreamingProfile& profile) {
  const char* method = profile.settings ? profile.settings->get("MpegTSMethod") : nullptr;
  return profile.formatName() == "mpegts" && method != nullptr && std::string(method) == "segmented";
}

}  // namespace

FFMpegEncoder::FFMpegEncoder() = default;

FFMpegEncoder::~FFMpegEncoder() {
  flush();
  close();
  // Closing may have queued the trailer's bytes.
  for (InternalSamplePacket* packet : outputQueue_) delete packet;
}

PluginErrorCodes FFMpegEncoder::init(const streamer::MediumDescription* medium,
                                     const streamer::InputStreamDescription* input,
                                     const streamer::RequestedStreamDescription* requested,
                                     const streamer::MapGeneric* settings) {
  log_ = std::make_shared<CBBLog>("FFMpegEncoder.log", false, kDefaultLogFileSize);
  setCurrentLogger(log_);
  logInfo("FFMpegEncoder::init() ");
  std::lock_guard<std::mutex> guard(writeLock_);
  profile_ = medium ? computeStreamingProfile(settings, medium, input, requested) : nullptr;
  if (!profile_) {
    logError("FFMpegEncoder::init : failed, could not compute profile");
    return PLUGIN_FAILED;
  }
  const PluginErrorCodes result = initFFMpeg();
  if (result != PLUGIN_OK) logError("FFMpegEncoder::init() initFFMpegContext failed %d", static_cast<int>(result));
  else logInfo("FFMpegEncoder::init() done");
  return result;
}

PluginErrorCodes FFMpegEncoder::initFFMpeg() {
  if (muxer_) muxer_->close();
  muxer_.reset();
  video_ = Output{};
  audio_ = Output{};
  lowVideo_.clear();
  segmentStart_ = INT64_MIN;
  lastVideoInput_ = streamer::kNoTime;
  videoDrained_ = ended_ = false;
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    failed_ = false;
  }
  rtpVideo_.close();
  rtp_ = profile_->target->isRTP();
  if (rtp_) return initRtp();
  auto* sink = static_cast<MuxerSink*>(this);
  std::unique_ptr<BasicMuxer> muxer = wantsSegments(*profile_)
                                          ? std::make_unique<MpegTSSegmentedMuxer>(sink, profile_.get())
                                          : std::make_unique<BasicMuxer>(sink, profile_.get());
  const int opened = muxer->open();
  if (opened != 0) {
    logError("FFMpegEncoder::initFFMpegContext() init output context failed %d", opened);
    return static_cast<PluginErrorCodes>(opened);
  }
  muxer_ = std::move(muxer);
  const streamer::InputStreamDescription& source = *profile_->sourceDescription;
  if (profile_->target->hasAudio() && source.hasAudio() &&
      !addRequestedStream(audio_, profile_->audioCodecName(), Kind::kAudio, profile_->audioPassthrough))
    return PLUGIN_FAILED;
  if (profile_->target->hasVideo() && source.hasVideo() &&
      !addRequestedStream(video_, profile_->videoCodecName(), Kind::kVideo, profile_->videoPassthrough))
    return PLUGIN_FAILED;
  if (muxer_->kind() == 1 && !addLowStreams()) return PLUGIN_FAILED;
  audioSampleCount_ = 0;
  if (audio_.index < 0 && video_.index < 0) return PLUGIN_UNAVAILABLE;
  describeOutput();
  return PLUGIN_OK;
}

bool FFMpegEncoder::addRequestedStream(Output& out, const std::string& codecName, Kind kind, bool passthrough) {
  if (isNone(codecName) || addNewStream(out, codecName, kind, passthrough)) return true;
  logError("FFMpegEncoder::init : no %s stream: codec %s is unknown here or does not open",
           kind == Kind::kVideo ? "video" : "audio", codecName.c_str());
  return false;
}

void FFMpegEncoder::describeOutput() {
  streamer::OutputStreamDescription& target = *profile_->target;
  const streamer::InputStreamDescription& source = *profile_->sourceDescription;
  streamer::VideoDescription* video = target.getVideo();
  streamer::AudioDescription* audio = target.getAudio();
  unsigned total = 0;
  if (video != nullptr && video_.index < 0) video->setCodec("none");
  if (video != nullptr && video_.index >= 0) {
    const streamer::VideoDescription& copied = *source.getVideo();
    const AVCodecContext* codec = video_.codec.get();
    video->setWidth(codec ? codec->width : copied.getWidth());
    video->setHeight(codec ? codec->height : copied.getHeight());
    video->setFrameRate(codec ? av_q2d(codec->framerate) : copied.getFrameRate());
    // Over RTP the encoder aims below the request to leave room for the
    // packet headers; the request's rate is what the stream takes.
    if (!codec) video->setBitrate(copied.getBitrate());
    else if (!rtp_) video->setBitrate(static_cast<unsigned>(codec->bit_rate));
    total += video->getBitrate();
  }
  if (audio != nullptr && audio_.index < 0) audio->setCodec("none");
  if (audio != nullptr && audio_.index >= 0) {
    // AMR has described itself when it opened.
    const streamer::AudioDescription& copied = *source.getAudio();
    if (const AVCodecContext* codec = audio_.codec.get()) {
      audio->setSampleRate(codec->sample_rate);
      audio->setChannels(codec->ch_layout.nb_channels);
      audio->setBitrate(static_cast<unsigned>(codec->bit_rate));
    } else if (!audio_.amr) {
      audio->setSampleRate(copied.getSampleRate());
      audio->setChannels(copied.getChannels());
      audio->setBitrate(copied.getBitrate());
    }
    total += audio->getBitrate();
  }
  target.setBitrate(total);
}

bool FFMpegEncoder::addLowStreams() {
  // Companions vary the video: without an encoded main video there is
  // nothing to vary.
  if (!video_.codec) return true;
  // A companion left out would be a ladder other than the one asked for,
  // which nobody downstream could tell: the request is refused instead.
  for (const int bitrate : profile_->companionBitrates()) {
    AVFormatContext* context = muxer_->lowContext(bitrate);
    if (context == nullptr || !addLowStream(*context, bitrate)) {
      logError("FFMpegEncoder::init : the low bitrate stream %d cannot be encoded", bitrate);
      return false;
    }
  }
  return true;
}

bool FFMpegEncoder::openLowEncoder(LowVideo& low) {
  const codecs::Resolution resolution = codecs::resolveEncoder(video_.codecName);
  if (resolution.backend != codecs::Backend::kFFmpeg) return false;
  low.codec.reset(avcodec_alloc_context3(resolution.codec));
  if (!low.codec) return false;
  AVDictionary* rawOptions = nullptr;
  adjustVideoCodecValuesLow(*low.codec, *resolution.codec, &rawOptions, low.bitrate);
  ff::DictionaryPtr options(rawOptions);
  rawOptions = options.release();
  const int opened = avcodec_open2(low.codec.get(), resolution.codec, &rawOptions);
  options.reset(rawOptions);
  if (opened < 0) {
    logError("FFMpegEncoder::addNewStream : avcodec_open failed %s : %d", video_.codecName.c_str(), opened);
    low.codec.reset();
    return false;
  }
  low.started = false;
  low.due = 0.0;
  return true;
}

bool FFMpegEncoder::addLowStream(AVFormatContext& context, int bitrate) {
  LowVideo low;
  low.bitrate = bitrate;
  if (!openLowEncoder(low)) return false;
  // Every output carries the same audio: the main stream's packets, under
  // the same index in each context.
  if (audio_.index >= 0) {
    AVStream* audio = avformat_new_stream(&context, nullptr);
    const AVStream& main = *muxer_->formatContext()->streams[audio_.index];
    if (audio == nullptr || avcodec_parameters_copy(audio->codecpar, main.codecpar) < 0) return false;
    audio->time_base = main.time_base;
    audio->id = static_cast<int>(Kind::kAudio);
  }
  AVStream* video = avformat_new_stream(&context, nullptr);
  if (video == nullptr || avcodec_parameters_from_context(video->codecpar, low.codec.get()) < 0) return false;
  video->time_base = low.codec->time_base;
  video->avg_frame_rate = low.codec->framerate;
  video->id = static_cast<int>(Kind::kVideo);
  if (video->index != video_.index) return false;
  const AVCodecContext& main = *video_.codec;
  if (low.codec->width != main.width || low.codec->height != main.height) {
    low.picture = ff::makeFrame();
    if (!low.picture) return false;
    low.picture->format = low.codec->pix_fmt;
    low.picture->width = low.codec->width;
    low.picture->height = low.codec->height;
    if (av_frame_get_buffer(low.picture.get(), 0) < 0) return false;
  }
  low.step = 1.0 / av_q2d(low.codec->framerate) / av_q2d(main.time_base);
  lowVideo_.push_back(std::move(low));
  return true;
}

PluginErrorCodes FFMpegEncoder::initRtp() {
  // No container: each stream's encoder output becomes payload packets.
  const int payloadSize = profile_->target->getRTPPayloadSize();
  if (payloadSize <= 0) {
    logError("FFMpegEncoder::initFFMpegContext() RTP payload size %d", payloadSize);
    return PLUGIN_UNAVAILABLE;
  }
  const streamer::InputStreamDescription& source = *profile_->sourceDescription;
  // A stream the request names goes out, or init fails.
  auto add = [&](Output& out, const std::string& name, Kind kind, bool passthrough) {
    if (isNone(name)) return true;
    if (passthrough) return openCopiedRtp(out, name, kind, payloadSize);
    if (!openStreamEncoder(out, name, kind)) {
      logError("FFMpegEncoder::init : no %s stream: codec %s is unknown here or does not open",
               kind == Kind::kVideo ? "video" : "audio", name.c_str());
      return false;
    }
    out.index = static_cast<int>(kind);
    out.codecName = name;
    if (out.codec) publishCodecData(*out.codec, kind);
    return true;
  };
  if (profile_->target->hasAudio() && source.hasAudio() &&
      !add(audio_, profile_->audioCodecName(), Kind::kAudio, profile_->audioPassthrough))
    return PLUGIN_FAILED;
  if (profile_->target->hasVideo() && source.hasVideo()) {
    if (!add(video_, profile_->videoCodecName(), Kind::kVideo, profile_->videoPassthrough)) return PLUGIN_FAILED;
    if (video_.codec && !rtpVideo_.open(*video_.codec, payloadSize)) {
      logError("FFMpegEncoder::init : no RTP payload format for %s", video_.codecName.c_str());
      video_ = Output{};
      return PLUGIN_FAILED;
    }
    if (video_.codec) allocatePicture();
  }
  audioSampleCount_ = 0;
  if (audio_.index < 0 && video_.index < 0) return PLUGIN_UNAVAILABLE;
  describeOutput();
  return PLUGIN_OK;
}

void FFMpegEncoder::allocatePicture() {
  picture_ = ff::makeFrame();
  if (picture_) {
    picture_->format = video_.codec->pix_fmt;
    picture_->width = video_.codec->width;
    picture_->height = video_.codec->height;
    if (av_frame_get_buffer(picture_.get(), 0) < 0) {
      logError("FFMpegEncoder::adjustVideoCodecValues() : avpicture_alloc() failed");
      picture_.reset();
    }
  }
  frameDuration_ = static_cast<int>(av_q2d(video_.codec->time_base) * 1000000.0);
}

bool FFMpegEncoder::openStreamEncoder(Output& out, const std::string& codecName, Kind kind) {
  const codecs::Backend backend = codecs::resolveEncoder(codecName).backend;
  if (kind == Kind::kAudio && (backend == codecs::Backend::kOpenCoreAmrNb || backend == codecs::Backend::kVoAmrWbEnc)) {
    out.codec.reset();
    out.amr = std::make_unique<AmrEncoder>();
    const auto band = backend == codecs::Backend::kOpenCoreAmrNb ? AmrEncoder::Band::kNarrow : AmrEncoder::Band::kWide;
    if (!out.amr->open(band, profile_->target->getAudio()->getBitrate())) {
      logError("FFMpegEncoder::addNewStream : avcodec_open failed %s : %d", codecName.c_str(), -1);
      out.amr.reset();
      return false;
    }
    // The description handed on tells what the speech codec really carries.
    streamer::AudioDescription* target = profile_->target->getAudio();
    target->setSampleRate(out.amr->sampleRate());
    target->setChannels(1);
    target->setBitrate(static_cast<unsigned>(out.amr->bitrate()));
    logDebug("FFENC A:     sr = %d     ch = %d", out.amr->sampleRate(), 1);
    logDebug("FFENC A:    bps = %d    tol = %d", out.amr->bitrate(), profile_->audioBitrateTolerance);
    return true;
  }
  out.amr.reset();
  out.codec = openEncoder(codecName, kind);
  return out.codec != nullptr;
}

int FFMpegEncoder::audioRate() const {
  if (audio_.amr) return audio_.amr->sampleRate();
  return audio_.codec ? audio_.codec->sample_rate : 0;
}

ff::CodecContextPtr FFMpegEncoder::openEncoder(const std::string& codecName, Kind kind) {
  const codecs::Resolution resolution = codecs::resolveEncoder(codecName);
  if (resolution.backend != codecs::Backend::kFFmpeg) {
    logError("FFMpegEncoder::addNewStream : codec not found %s", codecName.c_str());
    return nullptr;
  }
  const AVCodec& encoder = *resolution.codec;
  ff::CodecContextPtr codec(avcodec_alloc_context3(&encoder));
  if (!codec) return nullptr;
  AVDictionary* rawOptions = nullptr;
  if (kind == Kind::kVideo) {
    const streamer::VideoDescription* source = profile_->sourceDescription->getVideo();
    const streamer::VideoDescription* target = profile_->target->getVideo();
    if (source->getWidth() <= 0 || source->getHeight() <= 0 ||
        !(target->getFrameRate() > 0.0 || source->getFrameRate() > 0.0)) {
      logError("FFMpegEncoder::addNewStream : no picture size or frame rate for %s", codecName.c_str());
      return nullptr;
    }
    adjustVideoCodecValues(*codec, encoder, &rawOptions);
  } else {
    adjustAudioCodecValues(*codec, encoder);
  }
  ff::DictionaryPtr options(rawOptions);
  rawOptions = options.release();
  const int result = avcodec_open2(codec.get(), &encoder, &rawOptions);
  options.reset(rawOptions);
  if (result < 0) {
    logError("FFMpegEncoder::addNewStream : avcodec_open failed %s : %d", codecName.c_str(), result);
    return nullptr;
  }
  return codec;
}

bool FFMpegEncoder::addNewStream(Output& out, const std::string& codecName, Kind kind, bool passthrough) {
  out = Output{};
  if (isNone(codecName)) return false;
  // The encoder opens before its stream exists: a stream whose encoder
  // fails is left out of the container altogether.
  if (!passthrough && !openStreamEncoder(out, codecName, kind)) return false;
  ff::CodecContextPtr codec = std::move(out.codec);
  // Copied through: the stream is described by the source, whose codec
  // configuration came as hexadecimal text.
  const streamer::InputStreamDescription& source = *profile_->sourceDescription;
  const streamer::TrackDescription* track =
      kind == Kind::kVideo ? static_cast<const streamer::TrackDescription*>(source.getVideo()) : source.getAudio();
  AVCodecID copiedCodec = AV_CODEC_ID_NONE;
  std::vector<uint8_t> extradata;
  if (passthrough) {
    const codecs::Resolution decoder = codecs::resolveDecoder(track->getCodec());
    if (decoder.codec == nullptr) {
      logError("FFMpegEncoder::addNewStream : codec not found %s", codecName.c_str());
      return false;
    }
    copiedCodec = decoder.codec->id;
    extradata = fromHex(track->getCodecData());
    // H.264 and AAC carry their configuration in the container header
    // everywhere but in MPEG-TS; without it the output could not be read.
    if (extradata.empty() && (copiedCodec == AV_CODEC_ID_H264 || copiedCodec == AV_CODEC_ID_AAC) &&
        !codecs::equalsIgnoreCase(profile_->formatName(), "mpegts")) {
      logError("FFMpegEncoder::addNewStream : %s cannot be copied without its configuration bytes", codecName.c_str());
      return false;
    }
  }
  AVFormatContext* context = muxer_->formatContext();
  AVStream* stream = avformat_new_stream(context, nullptr);
  if (stream == nullptr) {
    logError("FFMpegEncoder::addNewStream : av_new_stream failed %s", codecName.c_str());
    return false;
  }
  stream->id = static_cast<int>(kind);
  stream->discard = AVDISCARD_NONE;
  const uint64_t durationMs = profile_->medium->getDuration();
  if (durationMs > 0) context->duration = static_cast<int64_t>(durationMs) * 1000;

  if (codec) {
    if (avcodec_parameters_from_context(stream->codecpar, codec.get()) < 0) return false;
    stream->time_base = codec->time_base;
    stream->sample_aspect_ratio = codec->sample_aspect_ratio;
    if (kind == Kind::kVideo) stream->avg_frame_rate = codec->framerate;
    publishCodecData(*codec, kind);
  } else if (out.amr) {
    AVCodecParameters& parameters = *stream->codecpar;
    parameters.codec_type = AVMEDIA_TYPE_AUDIO;
    parameters.codec_id = out.amr->codecId();
    parameters.sample_rate = out.amr->sampleRate();
    parameters.bit_rate = out.amr->bitrate();
    parameters.frame_size = out.amr->frameSize();
    av_channel_layout_default(&parameters.ch_layout, 1);
    stream->time_base = AVRational{1, out.amr->sampleRate()};
    // AMR has no configuration bytes.
    profile_->target->getAudio()->setCodecData("");
  } else {
    AVCodecParameters& parameters = *stream->codecpar;
    parameters.codec_id = copiedCodec;
    parameters.codec_type = kind == Kind::kVideo ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
    if (kind == Kind::kVideo) {
      parameters.width = source.getVideo()->getWidth();
      parameters.height = source.getVideo()->getHeight();
      setUpCopiedVideo(*stream, extradata);
    } else {
      parameters.sample_rate = source.getAudio()->getSampleRate();
      av_channel_layout_default(&parameters.ch_layout, source.getAudio()->getChannels());
      stream->time_base = AVRational{1, parameters.sample_rate > 0 ? parameters.sample_rate : 90000};
      setUpCopiedAudio(*stream, extradata);
    }
    if (!extradata.empty()) {
      parameters.extradata = static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
      if (parameters.extradata == nullptr) return false;
      std::copy(extradata.begin(), extradata.end(), parameters.extradata);
      parameters.extradata_size = static_cast<int>(extradata.size());
    }
  }
  out.index = stream->index;
  out.codecName = codecName;
  out.codec = std::move(codec);
  out.passthrough = passthrough;
  if (kind == Kind::kVideo) muxer_->videoStreamIndex = out.index;
  else muxer_->audioStreamIndex = out.index;
  if (kind == Kind::kVideo && out.codec) allocatePicture();
  return true;
}

void FFMpegEncoder::publishCodecData(const AVCodecContext& codec, Kind kind) {
  const std::string hex = toHex(codec.extradata, static_cast<size_t>(std::max(codec.extradata_size, 0)));
  streamer::TrackDescription* track = kind == Kind::kVideo
                                          ? static_cast<streamer::TrackDescription*>(profile_->target->getVideo())
                                          : profile_->target->getAudio();
  if (track) track->setCodecData(hex.c_str());
}

}  // namespace zan
