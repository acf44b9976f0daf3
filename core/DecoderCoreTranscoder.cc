// FFMpegDecoderCore: opening from the stream descriptions of a transcoder
// stage (no demuxer: the core builds decoder streams itself, or only
// rescales raw video, or lets raw audio through), and the two stream
// descriptions the core hands to the engine.
#include "core/AudioConverter.h"
#include "core/CodecConfiguration.h"
#include "core/FFMpegDecoderCore.h"
#include "core/VideoConverter.h"
#include "encoder/profile/CodecResolver.h"
#include "encoder/profile/CodecTables.h"
#include "support/CBBLog.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
}

namespace zan {

namespace {
constexpr int kTranscoderVideoId = 1;
constexpr int kTranscoderAudioId = 0;
constexpr double kMaxTranscoderFrameRate = 30.0;
}  // namespace

bool FFMpegDecoderCore::init(const streamer::InputStreamDescription* input,
                             const streamer::RequestedStreamDescription* requested) {
  PLockGuard guard(lock_);
  close();
  commonOpenStart();
  if (input == nullptr || requested == nullptr) return false;
  decoderClock_ = false;
  counterClock_ = true;
  streamsOnly_.reset(avformat_alloc_context());
  if (!streamsOnly_) return false;
  formatContext_ = streamsOnly_.get();
  decodeFrame_ = ff::makeFrame();
  if (!decodeFrame_) return false;
  opened_ = true;
  if (input->hasVideo() && !initVideo(input->getVideo(), requested->getVideo())) {
    logError("FFMpegDecoderCore::init : initVideo failed!");
    return false;
  }
  if (input->hasAudio() && !initAudio(input->getAudio(), requested->getAudio())) {
    logError("FFMpegDecoderCore::init : initAudio failed!");
    return false;
  }
  return true;
}

bool FFMpegDecoderCore::initVideo(const streamer::VideoDescription* input,
                                  const streamer::VideoDescription* requested) {
  rescalingMode_ = false;
  if (input == nullptr || requested == nullptr) return false;
  if (codecs::equalsIgnoreCase(input->getCodec(), "raw") && codecs::equalsIgnoreCase(requested->getCodec(), "raw")) {
    rescalingMode_ = true;
    return initVideoRescaling(input, requested);
  }
  return initVideoTranscoding(input, requested);
}

bool FFMpegDecoderCore::initAudio(const streamer::AudioDescription* input,
                                  const streamer::AudioDescription* requested) {
  audioStream_ = nullptr;
  if (input == nullptr) return false;
  if (codecs::equalsIgnoreCase(input->getCodec(), "raw") && requested &&
      codecs::equalsIgnoreCase(requested->getCodec(), "raw"))
    return true;  // raw audio passes through unchanged
  return addAudioStream(input);
}

bool FFMpegDecoderCore::initVideoRescaling(const streamer::VideoDescription* input,
                                           const streamer::VideoDescription* requested) {
  if (input->getWidth() == 0 || input->getHeight() == 0) return true;
  logDebug("FFMpegDecoderCore initialisation from transcoder input stream - rescaling mode");
  sourceEngineFormat_ = input->getPixelFormat();
  const AVPixelFormat sourceFormat = codecs::ffmpegPixelFormat(sourceEngineFormat_);
  sourceWidth_ = input->getWidth();
  sourceHeight_ = input->getHeight();
  sourcePixelFormat_ = sourceFormat;
  videoLayout_ = input->getLayout();
  // A request without a size keeps the input's.
  outputWidth_ = requested->getWidth() > 0 ? requested->getWidth() : sourceWidth_;
  outputHeight_ = requested->getHeight() > 0 ? requested->getHeight() : sourceHeight_;
  outputPixelFormat_ = requested->getPixelFormat() == codecs::kPixelYUV420P ? codecs::kPixelYUYV422
                                                                           : requested->getPixelFormat();
  const AVPixelFormat outputFormat = codecs::ffmpegPixelFormat(outputPixelFormat_);
  if (sourceWidth_ != outputWidth_ || sourceHeight_ != outputHeight_ || sourceFormat != outputFormat) {
    logInfo("Rescaling from %dx%d to %dx%d", sourceWidth_, sourceHeight_, outputWidth_, outputHeight_);
    logInfo("Converting image from %d to %d", static_cast<int>(sourceFormat), static_cast<int>(outputFormat));
  }
  auto converter = std::make_unique<VideoConverter>();
  if (!converter->configure(sourceWidth_, sourceHeight_, sourceFormat, outputWidth_, outputHeight_, outputFormat)) {
    logWarn("Failed to sws_getContext");
    return false;
  }
  // Pictures turned upright on the way out are reported as such.
  if (videoLayout_ <= 0 && codecs::isBottomUpCapable(sourceEngineFormat_) &&
      !codecs::isBottomUpCapable(outputPixelFormat_))
    reportedLayout_ = 1;
  else
    reportedLayout_ = videoLayout_;
  videoConverter_ = std::move(converter);
  outputBufferSize_ = videoConverter_->outputSize();
  frameRate_ = input->getFrameRate();
  videoFrameSize_ = outputBufferSize_;
  videoBitrate_ = static_cast<unsigned>(videoFrameSize_ * frameRate_);
  return true;
}

bool FFMpegDecoderCore::initVideoTranscoding(const streamer::VideoDescription* input,
                                             const streamer::VideoDescription* requested) {
  logDebug("FFMpegDecoderCore initialisation from transcoder input stream - transcoding mode");
  if (!addVideoStream(input)) return false;
  if (!initVideoRescaling(input, requested)) return false;
  // Bytes of one delivered picture, as for every other video description.
  videoFrameSize_ = outputWidth_ * outputHeight_ * codecs::bitsPerPixel(outputPixelFormat_) / 8;
  videoLayout_ = reportedLayout_ = 1;
  videoBitrate_ = static_cast<unsigned>(videoFrameSize_ * frameRate_);
  // The rate of the time base chosen for the decoder (the decoder may
  // rewrite its own time base while opening, e.g. H.264 counts fields).
  frameRate_ = av_q2d(av_inv_q(transcoderTimeBase_));
  return true;
}

bool FFMpegDecoderCore::addVideoStream(const streamer::VideoDescription* input) {
  const codecs::Resolution decoder = codecs::resolveDecoder(input->getCodec());
  if (decoder.codec == nullptr) {
    logError("FFMpegOutput::addVideoStream : codec not found %s", input->getCodec());
    return false;
  }
  AVStream* stream = avformat_new_stream(formatContext_, nullptr);
  if (stream == nullptr) {
    logError("FFMpegOutput::addVideoStream : av_new_stream failed %s", input->getCodec());
    return false;
  }
  stream->id = kTranscoderVideoId;
  ff::CodecContextPtr context(avcodec_alloc_context3(decoder.codec));
  if (!context) return false;
  context->codec_type = AVMEDIA_TYPE_VIDEO;
  frameRate_ = kMaxTranscoderFrameRate;
  if (input->getFrameRate() > 0 && input->getFrameRate() < frameRate_) frameRate_ = input->getFrameRate();
  context->time_base = av_d2q(1.0 / frameRate_, 10001);
  transcoderTimeBase_ = context->time_base;
  AVPixelFormat format = codecs::ffmpegPixelFormat(input->getPixelFormat());
  if (format == AV_PIX_FMT_YUV420P) format = AV_PIX_FMT_YUYV422;
  context->pix_fmt = format;
  context->width = input->getWidth();
  context->height = input->getHeight();
  // Slice threads only: packets arrive one by one from the engine and no
  // end-of-stream drain follows, so no frame delay may be added.
  context->thread_count = 0;
  context->thread_type = FF_THREAD_SLICE;
  const int opened = avcodec_open2(context.get(), decoder.codec, nullptr);
  if (opened < 0) {
    logError("FFMpegOutput::addVideoStream : avcodec_open failed %s : %d", input->getCodec(), opened);
    return false;
  }
  stream->time_base = transcoderTimeBase_;
  videoCodec_ = std::move(context);
  videoStream_ = stream;
  videoChosen_ = true;
  return true;
}

bool FFMpegDecoderCore::addAudioStream(const streamer::AudioDescription* input) {
  const codecs::Resolution decoder = codecs::resolveDecoder(input->getCodec());
  if (decoder.codec == nullptr) {
    logError("FFMpegOutput::addAudioStream : codec not found %s", input->getCodec());
    return false;
  }
  AVStream* stream = avformat_new_stream(formatContext_, nullptr);
  if (stream == nullptr) {
    logError("FFMpegOutput::addAudioStream : av_new_stream failed %s", input->getCodec());
    return false;
  }
  stream->id = kTranscoderAudioId;
  ff::CodecContextPtr context(avcodec_alloc_context3(decoder.codec));
  if (!context) return false;
  context->codec_type = AVMEDIA_TYPE_AUDIO;
  context->sample_rate = input->getSampleRate();
  if (input->getChannels() > 0) av_channel_layout_default(&context->ch_layout, input->getChannels());
  const int opened = avcodec_open2(context.get(), decoder.codec, nullptr);
  if (opened < 0) {
    logError("FFMpegOutput::addAudioStream : avcodec_open failed %s : %d", input->getCodec(), opened);
    return false;
  }
  stream->time_base = AVRational{1, context->sample_rate > 0 ? context->sample_rate : 1000000};
  audioCodec_ = std::move(context);
  audioStream_ = stream;
  const AVSampleFormat decoded = audioCodec_->sample_fmt;
  audioLayout_ = 0;
  audioBitsPerSample_ = AudioConverter::deliveredBits(decoded);
  audioChannels_ = audioCodec_->ch_layout.nb_channels;
  audioFlags_ = static_cast<int>(0x80000000u);
  audioSampleRate_ = audioCodec_->sample_rate;
  audioBitsPerSecond_ = audioBitsPerSample_ * audioChannels_ * audioSampleRate_;
  audioBitsPerFrame_ = audioBitsPerSample_ * audioChannels_;
  audioConverter_ = std::make_unique<AudioConverter>(AudioConverter::deliveredFormat(decoded), audioChannels_);
  return true;
}

void FFMpegDecoderCore::getInputStreamDescription(streamer::OutputStreamDescription* description) {
  PLockGuard guard(lock_);
  if (formatContext_ == nullptr || description == nullptr) return;
  description->setEncoded(true);
  if (input_ && formatContext_->iformat && formatContext_->iformat->name)
    description->setFormat(codecs::engineFormatName(formatContext_->iformat).c_str());
  if (videoStream_) {
    streamer::VideoDescription* video = description->getVideo();
    const AVCodecParameters* parameters = videoStream_->codecpar;
    const AVCodecID id = videoCodec_ ? videoCodec_->codec_id : parameters->codec_id;
    if (id != AV_CODEC_ID_NONE) video->setCodec(codecs::engineCodecName(id).c_str());
    video->setFrameRate(frameRate_);
    video->setWidth(videoCodec_ && videoCodec_->width > 0 ? videoCodec_->width : parameters->width);
    video->setHeight(videoCodec_ && videoCodec_->height > 0 ? videoCodec_->height : parameters->height);
    video->setBitrate(static_cast<unsigned>(videoCodec_ ? videoCodec_->bit_rate : parameters->bit_rate));
    video->setCodecData(codecConfigurationHex(*parameters).c_str());
    // Known only from an index of every sample (an MP4's).
    if (keyFrameRunUs_ > 0)
      description->set("longestKeyFrameRunMs", std::to_string((keyFrameRunUs_ + 999) / 1000).c_str());
  }
  if (audioStream_) {
    streamer::AudioDescription* audio = description->getAudio();
    const AVCodecParameters* parameters = audioStream_->codecpar;
    const AVCodecID id = audioCodec_ ? audioCodec_->codec_id : parameters->codec_id;
    if (id != AV_CODEC_ID_NONE) audio->setCodec(codecs::engineCodecName(id).c_str());
    audio->setBitrate(static_cast<unsigned>(audioCodec_ ? audioCodec_->bit_rate : parameters->bit_rate));
    audio->setChannels(audioCodec_ ? audioCodec_->ch_layout.nb_channels : parameters->ch_layout.nb_channels);
    audio->setSampleRate(audioCodec_ ? audioCodec_->sample_rate : parameters->sample_rate);
    audio->setCodecData(codecConfigurationHex(*parameters).c_str());
  }
}

void FFMpegDecoderCore::getOutputStreamDescription(streamer::OutputStreamDescription* description) {
  PLockGuard guard(lock_);
  if (formatContext_ == nullptr || description == nullptr) return;
  if (skipVideo_ || skipAudio_) getInputStreamDescription(description);
  description->setEncoded(false);
  streamer::VideoDescription* video = description->getVideo();
  if (videoStream_ && !skipVideo_) {
    if (outputWidth_ == 0 || outputHeight_ == 0) {
      outputWidth_ = 320;
      outputHeight_ = 240;
    }
    video->setCodec("raw");
    video->setFrameRate(frameRate_);
    video->setFrameSize(static_cast<unsigned>(videoFrameSize_));
    video->setOption(0);
    video->setFlag(true);
    video->setPixelFormat(outputPixelFormat_);
    video->setLayout(rescalingMode_ ? reportedLayout_ : videoLayout_);
    video->setWidth(outputWidth_);
    video->setHeight(outputHeight_);
    video->setBitrate(videoBitrate_);
    outputDescribed_ = true;
  } else if (rescalingMode_) {
    video->setCodec("raw");
    video->setFrameRate(frameRate_);
    video->setFrameSize(static_cast<unsigned>(videoFrameSize_));
    video->setPixelFormat(outputPixelFormat_);
    video->setLayout(reportedLayout_);
    video->setWidth(outputWidth_);
    video->setHeight(outputHeight_);
    video->setBitrate(videoBitrate_);
  }
  if (audioStream_ && !skipAudio_) {
    streamer::AudioDescription* audio = description->getAudio();
    audio->setCodec("raw");
    audio->setBitrate(static_cast<unsigned>(audioBitsPerSecond_));
    audio->setBitsPerSample(audioBitsPerSample_);
    audio->setSampleFlags(audioFlags_);
    audio->setChannels(audioChannels_);
    audio->setLayout(audioLayout_);
    audio->setSampleRate(audioSampleRate_);
    audio->setFrameSize(static_cast<unsigned>(audioBitsPerFrame_));
    audio->setOption(0);
    audio->setFlag(false);
  }
}

}  // namespace zan
