// FFMpegDecoderCore: opening from a location or a byte stream, probing,
// choosing the audio and video stream, and the medium description.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/AudioConverter.h"
#include "core/FFMpegDecoderCore.h"
#include "core/KeyFrameSpacing.h"
#include "core/OpenFailure.h"
#include "core/VideoConverter.h"
#include "encoder/profile/CodecResolver.h"
#include "encoder/profile/CodecTables.h"
#include "support/CBBLog.h"
#include "support/NetworkTimeouts.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace zan {

namespace {

constexpr int kStreamBufferSize = 9400;  // fifty 188-byte transport packets
constexpr int kProbePacketLimit = 250;
constexpr int kMaxAudioChannels = 18;

// The byte-stream callbacks of the owner, kept beside the AVIOContext. FFmpeg
// wants AVERROR_EOF at the end of a stream where our callers answer 0.
struct StreamSource {
  FFMpegDecoderCore::ReadCallback read;
  FFMpegDecoderCore::SeekCallback seek;
  void* opaque;
};

int readTrampoline(void* opaque, uint8_t* buffer, int size) {
  auto* source = static_cast<StreamSource*>(opaque);
  const int got = source->read(source->opaque, buffer, size);
  if (got == 0) return AVERROR_EOF;
  return got < 0 ? AVERROR(EIO) : got;
}

int64_t seekTrampoline(void* opaque, int64_t offset, int whence) {
  auto* source = static_cast<StreamSource*>(opaque);
  const int64_t result = source->seek(source->opaque, offset, whence);
  return result < 0 ? AVERROR(EIO) : result;
}

// Options of FFmpeg's own opening of a location. Its TLS layer trusts any
// certificate unless told to verify: verify against the system's
// certificate authorities, or against the bundle SSL_CERT_FILE names (the
// variable OpenSSL's tools honour). Its network waits are bounded, and a
// dropped connection is reopened.
ff::DictionaryPtr locationOpenOptions() {
  AVDictionary* options = nullptr;
  av_dict_set(&options, "tls_verify", "1", 0);
  if (const char* bundle = std::getenv("SSL_CERT_FILE"); bundle != nullptr && *bundle != '\0')
    av_dict_set(&options, "ca_file", bundle, 0);
  // FFmpeg's network protocols wait for a silent server forever by
  // default. Every wait for a byte (response headers and body alike) is
  // bounded by the library's network limit: "rw_timeout" is passed on from
  // the protocol to the connection below it, "timeout" is the TCP
  // protocol's own (connect included). Both are in microseconds; other
  // protocols ignore them.
  const std::string limitUs = std::to_string(static_cast<int64_t>(stallTimeoutMs()) * 1000);
  av_dict_set(&options, "rw_timeout", limitUs.c_str(), 0);
  av_dict_set(&options, "timeout", limitUs.c_str(), 0);
  // A connection the server drops (or stops feeding past the limit above)
  // before the announced end is reopened at the offset reached, with a
  // range request; HTTP only. Without it FFmpeg ends the medium there as if
  // it were complete, after decoding the torn last packet into a damaged
  // frame. Two attempts, at once and after a second. Every attempt and
  // every demuxer seek starts the protocol's wait afresh: the open and each
  // read are bounded as a whole by the core's ReadDeadline, which ends them
  // once no byte has come for the limit (a silent server is given up, not
  // asked again).
  av_dict_set(&options, "reconnect", "1", 0);
  av_dict_set(&options, "reconnect_delay_max", "1", 0);
  return ff::DictionaryPtr(options);
}

bool containsBoth(const char* name, const char* a, const char* b) {
  return name && std::strstr(name, a) && std::strstr(name, b);
}

}  // namespace

// The source record lives as long as the AVIOContext that points at it;
// FFmpeg never frees an AVIOContext's opaque.
struct FFMpegDecoderCore::ByteSource {
  StreamSource source;
};

void FFMpegDecoderCore::commonOpenStart() {
  openFailure_.clear();
  abortRequested_.store(false, std::memory_order_release);
  downloadBroke_.store(false, std::memory_order_release);
  setAbort(false);
  resetDecodeState();
}

// Everything a medium leaves behind goes back to its first value, so that
// a reopened core delivers exactly like a new one. The skip requests stay:
// they are made before the open they apply to.
void FFMpegDecoderCore::resetDecodeState() {
  duration_ = 0;
  position_ = 0;
  seekTarget_ = seekFromStart_ = 0;
  extension_.clear();
  byteSeek_ = decoderClock_ = counterClock_ = false;
  seekable_ = true;
  isTransportStream_ = endOfInput_ = videoDrainSent_ = audioDrained_ = unwrapTimes_ = false;
  wrapShift_ = 0;
  outputWidth_ = outputHeight_ = outputBufferSize_ = 0;
  videoLayout_ = reportedLayout_ = 1;
  videoBitrate_ = 0;
  videoFrameSize_ = 0;
  frameRate_ = 0.0;
  keyFrameRunUs_ = -1;
  sourcePixelFormat_ = AV_PIX_FMT_RGB24;
  sourceWidth_ = sourceHeight_ = 0;
  outputPixelFormat_ = codecs::kPixelYUYV422;
  sourceEngineFormat_ = -1;
  rescalingMode_ = false;
  frameCounter_ = 0;
  decodingMode_ = 0;
  sendVideoHeader_ = false;
  audioBitsPerSecond_ = audioBitsPerFrame_ = audioLayout_ = 0;
  audioBitsPerSample_ = 16;
  audioSampleRate_ = audioChannels_ = 0;
  audioFlags_ = static_cast<int>(0x80000000u);
  audioNextTimestamp_ = audioLastTimestamp_ = 0;
  audioPacketQuantum_ = 0;
  audioScratch_.clear();
  audioPriming_ = false;
  firstAudioTimestamp_ = firstVideoTimestamp_ = AV_NOPTS_VALUE;
  lastAudioTimestamp_ = 0;
  lastVideoTimestamp_ = 0;
  checkLateFrames_ = true;
  outputDescribed_ = videoFailing_ = videoDecodedOnce_ = waitKeyframe_ = false;
  videoSeekPending_ = audioSeekPending_ = false;
  audioSkipCount_ = videoSkipCount_ = 0;
  videoDecodeError_ = false;
  pendingVideoHeader_.clear();
  pendingExtradata_.clear();
  videoPacketSeen_ = false;
}

int FFMpegDecoderCore::init(const std::string& location, const std::string& extension) {
  PLockGuard guard(lock_);
  close();
  commonOpenStart();
  extension_ = extension;
  logDebug("FFMpegDecoderCore::init : %s", location.c_str());
  FFmpegLogCapture log;
  const auto fail = [&](int result) {
    // A stalled server makes FFmpeg fail with whatever the interrupted step
    // returns (an exit request, a short read); the silence is the cause.
    openFailure_ = stallWatch_.tripped() ? describeStall(stallWatch_.responded())
                                         : describeOpenFailure(result, log.lines());
    return result;
  };

  AVFormatContext* context = avformat_alloc_context();
  if (context == nullptr) return fail(AVERROR(ENOMEM));
  context->interrupt_callback = {&FFMpegDecoderCore::interruptCallback, this};
  stallWatch_.start(std::chrono::milliseconds(stallTimeoutMs()));
  watched_ = context;
  // On failure avformat_open_input frees the context itself.
  ff::DictionaryPtr options = locationOpenOptions();
  AVDictionary* optionsIn = options.release();
  int result = avformat_open_input(&context, location.c_str(), nullptr, &optionsIn);
  options.reset(optionsIn);
  if (result < 0) {
    watched_ = nullptr;
    logDebug("FFMpegDecoderCore::init : av_open_input_file %s failed %d", location.c_str(), result);
    return fail(result);
  }
  input_.reset(context);
  formatContext_ = context;
  opened_ = true;

  result = avformat_find_stream_info(context, nullptr);
  if (result < 0) {
    logDebug("FFMpegDecoderCore::init : av_find_stream_info %s failed %d", location.c_str(), result);
    close();
    return fail(result);
  }
  computeDuration();
  result = initFormatStreams();
  // FFmpeg's probing ends quietly at a stalled read and reports what it
  // found so far: a medium cut short by a silent server is no open.
  if (result == 0 && stallWatch_.tripped()) result = AVERROR(ETIMEDOUT);
  if (result != 0) {
    close();
    return fail(result);
  }
  stallWatch_.endOpen();
  return result;
}

int FFMpegDecoderCore::initWithTransportStream(const std::string& streamName, const std::string& formatName,
                                               ReadCallback read, SeekCallback seek, void* opaque) {
  PLockGuard guard(lock_);
  close();
  commonOpenStart();
  if (read == nullptr) return AVERROR(EINVAL);
  logDebug("FFMpegDecoderCore::initWithTransportStream : %s", streamName.c_str());
  FFmpegLogCapture log;
  const auto fail = [&](int result) {
    openFailure_ = describeOpenFailure(result, log.lines());
    return result;
  };

  const AVInputFormat* format = av_find_input_format(formatName.c_str());
  if (format == nullptr) format = av_find_input_format("mpegts");
  logDebug("FFMpegDecoderCore::initWithTransportStream : av_find_input_format %s", format ? format->name : "");

  auto slot = std::make_shared<ByteSource>();
  slot->source = StreamSource{read, seek, opaque};
  auto* buffer = static_cast<uint8_t*>(av_mallocz(kStreamBufferSize));
  if (buffer == nullptr) return AVERROR(ENOMEM);
  AVIOContext* io = avio_alloc_context(buffer, kStreamBufferSize, 0, &slot->source, readTrampoline, nullptr,
                                       seek ? seekTrampoline : nullptr);
  if (io == nullptr) {
    av_free(buffer);
    return AVERROR(ENOMEM);
  }
  byteContext_.reset(io);
  byteSource_ = slot;

  AVFormatContext* context = avformat_alloc_context();
  if (context == nullptr) {
    close();
    return AVERROR(ENOMEM);
  }
  context->pb = io;
  context->flags |= AVFMT_FLAG_CUSTOM_IO;
  context->interrupt_callback = {&FFMpegDecoderCore::interruptCallback, this};
  int result = avformat_open_input(&context, streamName.c_str(), format, nullptr);
  if (result < 0) {
    logDebug("FFMpegDecoderCore::initWithTransportStream : av_open_input_stream failed %d", result);
    close();
    return fail(result);
  }
  input_.reset(context);
  formatContext_ = context;
  opened_ = true;
  applyTransportFlags(formatName);

  result = avformat_find_stream_info(context, nullptr);
  if (result < 0) {
    logDebug("FFMpegDecoderCore::initWithTransportStream : av_find_stream_info failed %d", result);
    close();
    return fail(result);
  }
  computeDuration();
  result = initFormatStreams();
  if (result != 0) {
    close();
    return fail(result);
  }
  return result;
}

// A byte stream is positioned only where the format allows it; MP3 and ASF
// streams are positioned by byte and timed by counting frames.
void FFMpegDecoderCore::applyTransportFlags(const std::string& formatName) {
  seekable_ = false;
  if (formatName.find("mp3") != std::string::npos) {
    seekable_ = byteSeek_ = counterClock_ = true;
  } else if (formatName.find("matroska") != std::string::npos) {
    seekable_ = true;
  } else if (formatName.find("asf") != std::string::npos) {
    seekable_ = byteSeek_ = counterClock_ = true;
  }
}

bool FFMpegDecoderCore::streamInfoComplete(bool hasAudioDecoder, bool hasVideoDecoder, bool gotPicture) {
  bool videoKnown = false;
  bool audioKnown = false;
  bool hasVideoStream = false;
  for (unsigned i = 0; i < formatContext_->nb_streams; ++i) {
    const AVCodecParameters* parameters = formatContext_->streams[i]->codecpar;
    if (parameters->codec_type == AVMEDIA_TYPE_VIDEO) {
      hasVideoStream = true;
      if (parameters->width > 0 || parameters->height > 0 || parameters->format != AV_PIX_FMT_NONE)
        videoKnown = true;
      if (parameters->codec_id == AV_CODEC_ID_MPEG1VIDEO && !gotPicture) return false;
    } else if (parameters->codec_type == AVMEDIA_TYPE_AUDIO) {
      if (parameters->sample_rate > 0 || parameters->ch_layout.nb_channels >= 1) audioKnown = true;
    }
  }
  if (hasVideoDecoder && !gotPicture && hasVideoStream &&
      containsBoth(formatContext_->iformat->name, "mp4", "mov"))
    return false;
  if (audioKnown) {
    if (videoKnown || !hasVideoDecoder) return true;
    return !hasAudioDecoder;
  }
  return videoKnown || !hasVideoDecoder;
}

bool FFMpegDecoderCore::isBetterStream(const AVStream* candidate, const AVStream* current) {
  if (current == nullptr) return true;
  if (candidate == nullptr) return false;
  const AVCodecParameters* a = candidate->codecpar;
  const AVCodecParameters* b = current->codecpar;
  if (a->codec_type != b->codec_type) return false;
  if (a->codec_type == AVMEDIA_TYPE_VIDEO) {
    if (a->width > b->width || a->height > b->height) return true;
    if (a->width < b->width || a->height < b->height) return false;
    if (candidate->r_frame_rate.num != 0 && current->r_frame_rate.num != 0) {
      const double candidateInterval = static_cast<double>(candidate->r_frame_rate.den) / candidate->r_frame_rate.num;
      const double currentInterval = static_cast<double>(current->r_frame_rate.den) / current->r_frame_rate.num;
      if (candidateInterval > currentInterval) return true;
      if (candidateInterval < currentInterval) return false;
    }
    if (a->bit_rate != b->bit_rate) return a->bit_rate > b->bit_rate;
    return candidate->duration > current->duration;
  }
  if (formatContext_->iformat && std::strstr(formatContext_->iformat->name, "avi") && b->bit_rate > 0 &&
      b->sample_rate > 0)
    return false;
  if (a->bit_rate != b->bit_rate) return a->bit_rate > b->bit_rate;
  if (a->sample_rate != b->sample_rate) return a->sample_rate > b->sample_rate;
  if (a->ch_layout.nb_channels != b->ch_layout.nb_channels)
    return a->ch_layout.nb_channels > b->ch_layout.nb_channels;
  return candidate->duration > current->duration;
}

int FFMpegDecoderCore::initFormatStreams() {
  const unsigned count = formatContext_->nb_streams;
  std::vector<ff::CodecContextPtr> decoders(count);
  bool hasVideoDecoder = false;
  bool hasAudioDecoder = false;

  // 1. A decoder per audio and video stream.
  for (unsigned i = 0; i < count; ++i) {
    AVStream* stream = formatContext_->streams[i];
    const AVMediaType type = stream->codecpar->codec_type;
    if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) continue;
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) continue;
    ff::CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context || avcodec_parameters_to_context(context.get(), stream->codecpar) < 0) continue;
    context->pkt_timebase = stream->time_base;
    if (type == AVMEDIA_TYPE_VIDEO && !skipVideo_) {
      // Frame threads decode several pictures at once; the delay they add
      // is drained at the end of the input. A stream passed through
      // compressed decodes at most the pictures that describe it: one
      // thread, and no pool of them to start and stop.
      context->thread_count = 0;
      context->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    }
    if (avcodec_open2(context.get(), codec, nullptr) < 0) {
      logWarn("FFMpegDecoderCore::initFormatStreams : could not open codec %d for stream %d",
              static_cast<int>(stream->codecpar->codec_id), static_cast<int>(i));
      continue;
    }
    if (codec->type == AVMEDIA_TYPE_VIDEO) hasVideoDecoder = true;
    if (codec->type == AVMEDIA_TYPE_AUDIO) hasAudioDecoder = true;
    decoders[i] = std::move(context);
  }
  decodeFrame_ = ff::makeFrame();
  if (!decodeFrame_) return AVERROR(ENOMEM);

  // 2. Probe by decoding until every stream is described (MPEG-1 video and
  //    MP4 need a decoded picture), then go back to the start.
  // FFmpeg's own stream probing decodes pictures until it knows a video
  // stream's size and pixel format; when it knows them for every video
  // stream, a picture was decoded already and need not be decoded again
  // (with frame threads that costs a pipeline fill, a flush and a seek).
  bool gotPicture = false;
  for (unsigned i = 0; i < count; ++i) {
    const AVCodecParameters* parameters = formatContext_->streams[i]->codecpar;
    if (parameters->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    gotPicture = parameters->width > 0 && parameters->height > 0 && parameters->format != AV_PIX_FMT_NONE;
    if (!gotPicture) break;
  }
  int probed = 0;
  while (!streamInfoComplete(hasAudioDecoder, hasVideoDecoder, gotPicture) && probed < kProbePacketLimit) {
    if (av_read_frame(formatContext_, packet_.get()) < 0) break;
    ++probed;
    const int index = packet_->stream_index;
    if (index >= 0 && static_cast<unsigned>(index) < count && decoders[index]) {
      AVCodecContext* context = decoders[index].get();
      if (avcodec_send_packet(context, packet_.get()) >= 0) {
        while (avcodec_receive_frame(context, decodeFrame_.get()) >= 0) {
          if (context->codec_type == AVMEDIA_TYPE_VIDEO) {
            gotPicture = true;
            // Decoding fills in what the demuxer did not know.
            AVCodecParameters* parameters = formatContext_->streams[index]->codecpar;
            if (parameters->width <= 0) parameters->width = decodeFrame_->width;
            if (parameters->height <= 0) parameters->height = decodeFrame_->height;
            if (parameters->format == AV_PIX_FMT_NONE) parameters->format = decodeFrame_->format;
          }
          av_frame_unref(decodeFrame_.get());
        }
      }
    }
    av_packet_unref(packet_.get());
  }
  if (probed > 0) {
    for (auto& decoder : decoders)
      if (decoder) avcodec_flush_buffers(decoder.get());
    // Backwards: the key frame at or before the start, not the first packet
    // after it (which may be a picture that cannot be decoded on its own).
    av_seek_frame(formatContext_, -1, formatContext_->start_time == AV_NOPTS_VALUE ? 0 : formatContext_->start_time,
                  AVSEEK_FLAG_BACKWARD);
  }

  // 3. Choose.
  for (unsigned i = 0; i < count; ++i) {
    AVStream* stream = formatContext_->streams[i];
    const AVMediaType type = stream->codecpar->codec_type;
    if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) continue;
    const bool skipping = skipVideo_ || skipAudio_;
    const bool usable = decoders[i] && stream->codecpar->codec_id != AV_CODEC_ID_NONE;
    if (!skipping && !usable) {
      logWarn("FFMpegDecoderCore::initFormatStreams streams[%d] codec unknown", static_cast<int>(i));
      continue;
    }
    if (skipping && !usable) {
      if ((type == AVMEDIA_TYPE_VIDEO && skipVideo_) || (type == AVMEDIA_TYPE_AUDIO && skipAudio_)) {
        logDebug("FFMpegDecoderCore::initFormatStreams streams[%d] codec unknown, but skipped anyway",
                 static_cast<int>(i));
      } else {
        logWarn("FFMpegDecoderCore::initFormatStreams streams[%d] codec unknown, and not skipped",
                static_cast<int>(i));
        continue;
      }
    }
    if (type == AVMEDIA_TYPE_VIDEO) {
      if (!isBetterStream(stream, videoStream_)) continue;
      ff::CodecContextPtr previous = std::move(videoCodec_);
      videoCodec_ = std::move(decoders[i]);
      if (!setUpVideo(static_cast<int>(i))) {
        decoders[i] = std::move(videoCodec_);
        videoCodec_ = std::move(previous);
      }
    } else {
      if (!isBetterStream(stream, audioStream_)) continue;
      const int channels = stream->codecpar->ch_layout.nb_channels;
      if (channels > kMaxAudioChannels) {
        logWarn("FFMpegDecoderCore::initFormatStreams : audio stream - invalid channels value %d", channels);
        continue;
      }
      audioCodec_ = std::move(decoders[i]);
      setUpAudio(static_cast<int>(i));
    }
  }

  if ((hasAudioDecoder && audioStream_ == nullptr) || (hasVideoDecoder && videoStream_ == nullptr)) {
    // Kept from the classic behaviour: a medium whose decodable streams of
    // one kind were all refused is unusable.
    logError("FFMpegDecoderCore::initFormatStreams: no video or audio found");
    return kNoUsableStream;
  }
  if (std::strcmp(formatContext_->iformat->name, "mpegts") == 0) isTransportStream_ = true;
  logDebug("FFMpegDecoderCore::initFormatStreams : done");
  return 0;
}

bool FFMpegDecoderCore::setUpVideo(int index) {
  AVStream* stream = formatContext_->streams[index];
  AVCodecParameters* parameters = stream->codecpar;
  logDebug(" *** video stream chosen ***");
  outputPixelFormat_ = codecs::kPixelYUYV422;
  const AVPixelFormat outputFormat = codecs::ffmpegPixelFormat(outputPixelFormat_);
  const AVPixelFormat sourceFormat = static_cast<AVPixelFormat>(parameters->format);
  int width = parameters->width;
  int height = parameters->height;
  if (width < 1 || height < 1 || sourceFormat == AV_PIX_FMT_NONE) {
    width = 320;
    height = 240;
    parameters->width = width;
    parameters->height = height;
  }
  outputWidth_ = sourceWidth_ = width;
  outputHeight_ = sourceHeight_ = height;
  videoLayout_ = 1;
  auto converter = std::make_unique<VideoConverter>();
  const bool converts = converter->configure(width, height, sourceFormat, width, height, outputFormat);
  // A stream that is passed through compressed needs no converter; one that
  // is decoded gets it rebuilt from the first decoded picture anyway.
  if (!converts && !skipVideo_) {
    logDebug("FFMpegDecoderCore::initFormatStreams : Could not initialize swsscale context!! %d %d %d to %u %u %d",
             width, height, static_cast<int>(sourceFormat), static_cast<unsigned>(width),
             static_cast<unsigned>(height), static_cast<int>(outputFormat));
    return false;
  }
  sourcePixelFormat_ = sourceFormat;
  videoConverter_ = std::move(converter);

  frameRate_ = stream->r_frame_rate.num != 0 && stream->r_frame_rate.den != 0 ? av_q2d(stream->r_frame_rate) : 0.0;
  // FFmpeg never fills a decoder's time base; the rate the demuxer measured
  // over the stream, or the one the decoder read from the bitstream, stands
  // in for it.
  auto plausible = [](AVRational rate) { return rate.num > 0 && rate.den > 0 && av_q2d(rate) <= 120.0; };
  const AVRational codecRate = videoCodec_ ? videoCodec_->framerate : AVRational{0, 1};
  const AVRational measured = plausible(stream->avg_frame_rate) ? stream->avg_frame_rate : codecRate;
  if ((frameRate_ <= 0 || frameRate_ > 120) && plausible(measured)) {
    const double corrected = av_q2d(measured);
    logWarn("FFMpegDecoderCore::initFormatStreams Correcting fps to %f, r_frame_rate returned %f", corrected,
            frameRate_);
    frameRate_ = corrected;
  }
  if (frameRate_ <= 0 || frameRate_ > 120) {
    logWarn("FFMpegDecoderCore::initFormatStreams Default fps to %f, fps was %f", 30.0, frameRate_);
    frameRate_ = 30.0;
  }
  videoFrameSize_ = outputWidth_ * outputHeight_ * codecs::bitsPerPixel(outputPixelFormat_) / 8;
  // Bytes per second of raw pictures; a stream can claim more than fits.
  videoBitrate_ = static_cast<unsigned>(std::min(videoFrameSize_ * frameRate_, 4294967295.0));
  videoStreamIndex_ = index;
  videoStream_ = stream;
  keyFrameRunUs_ = longestKeyFrameRunUs(*stream);
  videoChosen_ = true;
  outputBufferSize_ = av_image_get_buffer_size(outputFormat, outputWidth_, outputHeight_, 1);
  const AVCodecID id = parameters->codec_id;
  if (id == AV_CODEC_ID_MPEG4 || id == AV_CODEC_ID_H264 || id == AV_CODEC_ID_WMV3) sendVideoHeader_ = true;
  return true;
}

void FFMpegDecoderCore::setUpAudio(int index) {
  AVStream* stream = formatContext_->streams[index];
  logDebug(" *** audio stream chosen ***");
  const AVSampleFormat decoded = audioCodec_ ? audioCodec_->sample_fmt
                                             : static_cast<AVSampleFormat>(stream->codecpar->format);
  audioLayout_ = 0;
  audioBitsPerSample_ = AudioConverter::deliveredBits(decoded);
  audioChannels_ = stream->codecpar->ch_layout.nb_channels;
  audioFlags_ = static_cast<int>(0x80000000u);
  audioSampleRate_ = stream->codecpar->sample_rate;
  audioBitsPerSecond_ = audioBitsPerSample_ * audioChannels_ * audioSampleRate_;
  audioBitsPerFrame_ = audioBitsPerSample_ * audioChannels_;
  audioStreamIndex_ = index;
  audioStream_ = stream;
  audioConverter_ = std::make_unique<AudioConverter>(AudioConverter::deliveredFormat(decoded), audioChannels_);
}

int FFMpegDecoderCore::getMediumDescription(streamer::MediumDescription* medium) {
  PLockGuard guard(lock_);
  if (formatContext_ == nullptr || medium == nullptr) return -1;
  const AVDictionaryEntry* title = av_dict_get(formatContext_->metadata, "title", nullptr, 0);
  const AVDictionaryEntry* author = av_dict_get(formatContext_->metadata, "author", nullptr, 0);
  if (author == nullptr) author = av_dict_get(formatContext_->metadata, "artist", nullptr, 0);
  medium->setTitle(title ? title->value : "");
  medium->setAuthor(author ? author->value : "");
  medium->setDuration(static_cast<uint64_t>(duration_));
  medium->setSeekable(seekable_);
  medium->setLive(duration_ <= 0);
  const int64_t size = formatContext_->pb ? avio_size(formatContext_->pb) : -1;
  if (size > 0) medium->setSize(static_cast<uint64_t>(size));
  if (formatContext_->bit_rate >= 1) medium->setBitrate(static_cast<uint64_t>(formatContext_->bit_rate));
  return 0;
}

}  // namespace zan
