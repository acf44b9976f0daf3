// FFMpegDecoderCore: the frame pump. Reads packets from the open input,
// applies the skip rules that keep audio and video aligned after seeks and
// over damaged data, decodes (or passes through) audio and video, converts
// pictures and samples, and turns every time into microseconds.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>

#include "core/AudioConverter.h"
#include "core/Deinterlacer.h"
#include "core/FFMpegDecoderCore.h"
#include "core/VideoConverter.h"
#include "core/VideoHeader.h"
#include "encoder/profile/CodecTables.h"
#include "support/CBBLog.h"

namespace zan {

using streamer::kNoTime;
using streamer::PACKET_AUDIO;
using streamer::PACKET_END;
using streamer::PACKET_VIDEO;
using streamer::PACKETTYPE;

namespace {

constexpr unsigned kFirstTimestampSkipLimit = 5;
constexpr unsigned kSeekSkipLimit = 5;
constexpr unsigned kKeyframeWaitLimit = 30;
constexpr uint64_t kSeekWindowUs = 6000000;
constexpr std::size_t kMaxPendingHeaderBytes = 1 << 20;

uint8_t* copyBytes(const uint8_t* source, size_t size) {
  auto* copy = new uint8_t[size == 0 ? 1 : size];
  if (size) std::memcpy(copy, source, size);
  return copy;
}

void dropOutput(uint8_t*& data, unsigned& size) {
  delete[] data;
  data = nullptr;
  size = 0;
}

// Unreferences the shared read packet however the iteration ends.
struct PacketRelease {
  AVPacket* packet;
  ~PacketRelease() { av_packet_unref(packet); }
};

// The first time stamp of a stream is the floor for its packets; packets
// below it are skipped, until more than kFirstTimestampSkipLimit of them in
// a row show that the floor itself was wrong.
bool passesFirstTimestamp(PACKETTYPE type, int64_t timestamp, int64_t& first, unsigned& skipCount) {
  if (first == AV_NOPTS_VALUE) {
    first = timestamp;
    return true;
  }
  if (timestamp >= first) return true;
  logWarn("FFMpegDecoderCore::decodeFromMedium - skipping encoded %s packet - %d %" PRId64 " %" PRId64,
          type == PACKET_AUDIO ? "audio" : "video", static_cast<int>(type), timestamp, first);
  if (++skipCount > kFirstTimestampSkipLimit) first = timestamp;
  return false;
}

}  // namespace

void FFMpegDecoderCore::applyDiscardLevel() {
  if (!videoCodec_) return;
  switch (decodingMode_.load()) {
    case 1: videoCodec_->skip_frame = AVDISCARD_NONKEY; break;
    case 2: videoCodec_->skip_frame = AVDISCARD_ALL; break;
    default: videoCodec_->skip_frame = AVDISCARD_DEFAULT; break;
  }
}

bool FFMpegDecoderCore::decodeFromMedium(PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time,
                                         uint64_t& duration, void*& /*frameContext*/, bool& keyFrame) {
  PLockGuard guard(lock_);
  if (formatContext_ == nullptr || input_ == nullptr) return false;

  for (;;) {
    // 1. In pass-through, a video codec header goes first. Without one
    //    nothing is delivered for it and reading goes on.
    if (skipVideo_ && sendVideoHeader_ && videoStream_) {
      sendVideoHeader_ = false;
      const AVCodecParameters* parameters = videoStream_->codecpar;
      if (parameters->extradata != nullptr && parameters->extradata_size > 0) {
        type = PACKET_VIDEO;
        time = kNoTime;
        duration = 0;
        size = static_cast<unsigned>(parameters->extradata_size);
        data = copyBytes(parameters->extradata, size);
        keyFrame = true;
        return true;
      }
    }

    // 2. Read; at the end, what the decoders still hold comes out first.
    if (endOfInput_) return drainDecoders(type, data, size, time, duration, keyFrame);
    if (readPacket(packet_.get()) < 0) {
      av_packet_unref(packet_.get());
      endOfInput_ = true;
      continue;
    }
    unwrapTimes(packet_.get());
    PacketRelease release{packet_.get()};
    AVPacket* packet = packet_.get();

    // 3. The packet's time: decoding time when usable, else presentation.
    int64_t timestamp = packet->pts;
    if (packet->dts != AV_NOPTS_VALUE && packet->dts >= 0) {
      timestamp = packet->dts;
    } else if (packet->dts != AV_NOPTS_VALUE && packet->pts != AV_NOPTS_VALUE && packet->pts < 0) {
      if (isAudioPriming(packet)) {
        if (!decodePrimingPacket(packet, data, size, time, duration)) continue;
        type = PACKET_AUDIO;
        keyFrame = true;
        position_ = static_cast<int64_t>(time);
        return true;
      }
      if (!(skipAudio_ && packet->stream_index == audioStreamIndex_ && audioStreamIndex_ >= 0)) {
        logDebug("Skipping encoded packet with negative timestamps - %d %" PRId64 " %" PRId64, packet->stream_index,
                 packet->dts, packet->pts);
        continue;
      }
      // A copied stream keeps its priming packets (the decoder of the copy
      // needs them for the samples that follow); they are due at the start.
      timestamp = 0;
    }

    if (packet->stream_index == audioStreamIndex_ && audioStreamIndex_ >= 0) {
      type = PACKET_AUDIO;
      audioPriming_ = false;
      if (timestamp == AV_NOPTS_VALUE && lastAudioTimestamp_ != AV_NOPTS_VALUE) timestamp = lastAudioTimestamp_ + 1;
      if (!passesFirstTimestamp(type, timestamp, firstAudioTimestamp_, audioSkipCount_)) continue;
      lastAudioTimestamp_ = timestamp;
      if (duration_ <= 0 && firstAudioTimestamp_ != AV_NOPTS_VALUE) timestamp -= firstAudioTimestamp_;
      // (Copied packets are whole frames of any size: the rule is for decoding.)
      if (!skipAudio_ && isTransportStream_ && audioPacketQuantum_ > 0 && packet->size % audioPacketQuantum_ != 0) {
        logWarn("FFMpegDecoderCore::decodeFromMedium : audio packet diff, %d < %d", packet->size,
                audioPacketQuantum_);
        continue;
      }
      keyFrame = (packet->flags & AV_PKT_FLAG_KEY) != 0;
      const bool decoded = decodeAudioPacket(packet, timestamp, data, size, time, duration);
      if (!decoded) continue;
      if (audioSeekPending_) {
        if (seekTarget_ <= time && time <= seekTarget_ + kSeekWindowUs) {
          audioSeekPending_ = false;
        } else {
          logWarn("FFMpegDecoderCore::decodeFromMedium : skip dec audio packet out of seek range, %u <|> %u",
                  static_cast<unsigned>(time), static_cast<unsigned>(seekTarget_));
          dropOutput(data, size);
          if (++audioSkipCount_ > kSeekSkipLimit) audioSeekPending_ = false;
          continue;
        }
      }
      audioSkipCount_ = 0;
      if (outputDescribed_ && videoFailing_) {
        logDebug("Skipping audio packet, video decoding is failing - %d %" PRId64 " %" PRId64,
                 packet->stream_index, packet->dts, packet->pts);
        dropOutput(data, size);
        continue;
      }
      if (audioPacketQuantum_ == 0 && audioCodec_ && audioCodec_->frame_size > 0 && audioChannels_ > 0) {
        const int quantum = audioCodec_->frame_size / audioChannels_;
        // The size rule only makes sense for streams whose packets are whole
        // multiples of it; for the others it would drop every packet.
        audioPacketQuantum_ = quantum > 0 && packet->size % quantum == 0 ? quantum : -1;
      }
      position_ = static_cast<int64_t>(time);
      return true;
    }

    if (packet->stream_index == videoStreamIndex_ && videoStreamIndex_ >= 0) {
      if (packet->dts == AV_NOPTS_VALUE && packet->pts == AV_NOPTS_VALUE) continue;
      type = PACKET_VIDEO;
      if (!passesFirstTimestamp(type, timestamp, firstVideoTimestamp_, videoSkipCount_)) continue;
      if (duration_ <= 0) timestamp -= firstVideoTimestamp_;
      keyFrame = (packet->flags & AV_PKT_FLAG_KEY) != 0;
      const bool got = decodeVideoPacket(packet, timestamp, data, size, time, duration, keyFrame);
      if (got) {
        if (acceptVideo(time, keyFrame, data, size)) return true;
        continue;
      }
      if (videoDecoded() && videoDecodeError_) {
        logWarn("Video decoding failed on packet - %d %" PRId64 " %" PRId64, packet->stream_index, packet->dts,
                packet->pts);
        if (!videoDecodedOnce_) {
          firstVideoTimestamp_ = AV_NOPTS_VALUE;
          videoFailing_ = true;
        }
      }
      continue;
    }
    // Packets of other streams are dropped.
  }
}

bool FFMpegDecoderCore::acceptVideo(uint64_t time, bool keyFrame, uint8_t*& data, unsigned& size) {
  // Passed-through pictures are stamped from the medium's start and are
  // not checked against the target on the way in (decoded ones are). After
  // a reset they too resume at the target and on a key frame: whoever
  // decodes them cannot start on any other picture.
  const bool passThrough = skipVideo_;
  const uint64_t target = passThrough ? seekFromStart_ : seekTarget_;
  if (passThrough && videoSeekPending_ && time < target) {
    dropOutput(data, size);
    waitKeyframe_ = true;
    videoSkipCount_ = 0;
    return false;
  }
  if (waitKeyframe_) {
    if (!keyFrame && videoSkipCount_ < kKeyframeWaitLimit) {
      logDebug("FFMpegDecoderCore::decodeFromMedium - skipping decoded video packet, wait for keyframe - %d %d %d",
               static_cast<int>(keyFrame), static_cast<int>(videoSkipCount_), static_cast<int>(time / 1000));
      dropOutput(data, size);
      ++videoSkipCount_;
      videoFailing_ = true;
      return false;
    }
    waitKeyframe_ = false;
  }
  if (videoSeekPending_) {
    if ((target <= time && time <= target + kSeekWindowUs) || videoSkipCount_ > kSeekSkipLimit) {
      videoSeekPending_ = false;
    } else {
      logWarn("FFMpegDecoderCore::decodeFromMedium : skip dec video packet out of seek range, %u <|> %u",
              static_cast<unsigned>(time), static_cast<unsigned>(target));
      dropOutput(data, size);
      ++videoSkipCount_;
      waitKeyframe_ = true;
      return false;
    }
  }
  videoSkipCount_ = 0;
  // The jump check compares neighbouring pictures; when only key frames are
  // decoded their distance says nothing about lost pictures. It hides a
  // picture decoded across lost data; a passed-through picture was not
  // decoded, and dropping it would break every picture that refers to it.
  // Ten frame intervals, in µs; kept in floating point, as a stream can
  // claim a frame rate so low (or zero) that the interval fits no integer.
  const double limit = 1000000.0 / frameRate_ * 10.0;
  const int64_t jump = static_cast<int64_t>(time) - static_cast<int64_t>(lastVideoTimestamp_);
  if (!passThrough && lastVideoTimestamp_ != 0 && checkLateFrames_ && decodingMode_.load() == 0 &&
      std::fabs(static_cast<double>(jump)) > limit) {
    logWarn("FFMpegDecoderCore::decodeFromMedium - skipping dec %d - %" PRId64, static_cast<int>(keyFrame), jump);
    dropOutput(data, size);
    lastVideoTimestamp_ = 0;
    if (videoDecoded()) waitKeyframe_ = true;
    return false;
  }
  videoDecodedOnce_ = true;
  videoFailing_ = false;
  lastVideoTimestamp_ = time;
  position_ = static_cast<int64_t>(time);
  return true;
}

// Gets the next picture out of the video decoder into decodeFrame_.
bool FFMpegDecoderCore::receivePicture() {
  av_frame_unref(decodeFrame_.get());
  const int result = avcodec_receive_frame(videoCodec_.get(), decodeFrame_.get());
  if (result >= 0) return true;
  if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) videoDecodeError_ = true;
  return false;
}

uint64_t FFMpegDecoderCore::fromMediumStart(uint64_t time) const {
  const int64_t start = formatContext_ ? formatContext_->start_time : 0;
  // Packets before the start (an audio coder's priming) are due at it.
  if (time != kNoTime && start != AV_NOPTS_VALUE && start > 0)
    time = time >= static_cast<uint64_t>(start) ? time - static_cast<uint64_t>(start) : 0;
  return time;
}

bool FFMpegDecoderCore::decodeVideoPacket(AVPacket* packet, int64_t incomingTime, uint8_t*& data, unsigned& size,
                                          uint64_t& time, uint64_t& duration, bool& keyFrame) {
  const AVRational timeBase = videoStream_ ? videoStream_->time_base : AVRational{1, 1000000};
  if (skipVideo_) {
    size = static_cast<unsigned>(packet->size);
    data = copyBytes(packet->data, size);
    // A copied picture carries its presentation time: pictures arrive in
    // decoding order, and whoever muxes them derives the decoding times
    // from the order; the composition offsets of reordered (B) pictures
    // would be lost the other way round. H.264 without any time (a raw
    // elementary stream) is counted at the frame rate instead.
    const bool byDecodingTime = packet->dts != AV_NOPTS_VALUE && packet->dts >= 0;
    const int64_t shown = incomingTime == AV_NOPTS_VALUE || packet->pts == AV_NOPTS_VALUE
                              ? incomingTime
                              : incomingTime + packet->pts - (byDecodingTime ? packet->dts : packet->pts);
    if (shown == AV_NOPTS_VALUE && videoStream_ && videoStream_->codecpar->codec_id == AV_CODEC_ID_H264) {
      time = microsecondCount(static_cast<double>(frameCounter_) * (1.0 / frameRate_) * 1000000.0);
      duration = microsecondCount(1000000.0 / frameRate_);
    } else {
      time = shown == AV_NOPTS_VALUE ? kNoTime : toMicroseconds(shown, timeBase);
      duration = packet->duration > 0 ? toMicroseconds(packet->duration, timeBase)
                                      : microsecondCount(1000000.0 / frameRate_);
      time = fromMediumStart(time);
    }
    ++frameCounter_;
    return true;
  }
  if (!videoCodec_) return false;
  videoDecodeError_ = false;
  applyDiscardLevel();
  bool got = false;
  int sent = avcodec_send_packet(videoCodec_.get(), packet);
  if (sent == AVERROR(EAGAIN)) {
    // The decoder holds pictures we have not taken yet: take one, then the
    // packet fits.
    got = receivePicture();
    sent = avcodec_send_packet(videoCodec_.get(), packet);
  }
  if (sent < 0 && sent != AVERROR(EAGAIN)) videoDecodeError_ = true;
  if (!got) got = receivePicture();
  if (!got) return false;
  return deliverPicture(incomingTime, packet->duration, data, size, time, duration, keyFrame);
}

bool FFMpegDecoderCore::deliverPicture(int64_t incomingTime, int64_t incomingDuration, uint8_t*& data,
                                       unsigned& size, uint64_t& time, uint64_t& duration, bool& keyFrame) {
  AVFrame* picture = decodeFrame_.get();
  ff::FramePtr deinterlaced;
  if (picture->interlaced_frame) {
    deinterlaced = ff::makeFrame();
    if (deinterlaced && deinterlace(picture, deinterlaced.get())) picture = deinterlaced.get();
  }
  const AVPixelFormat format = static_cast<AVPixelFormat>(picture->format);
  if (outputWidth_ <= 0 || outputHeight_ <= 0) {
    // Nobody asked for a size and none was known: the pictures keep theirs.
    outputWidth_ = picture->width;
    outputHeight_ = picture->height;
    videoFrameSize_ = outputWidth_ * outputHeight_ * codecs::bitsPerPixel(outputPixelFormat_) / 8;
    videoBitrate_ = static_cast<unsigned>(std::min(videoFrameSize_ * frameRate_, 4294967295.0));
  }
  if (!videoConverter_) videoConverter_ = std::make_unique<VideoConverter>();
  if (!videoConverter_->matches(picture->width, picture->height, format)) {
    if (!videoConverter_->configure(picture->width, picture->height, format, outputWidth_, outputHeight_,
                                    codecs::ffmpegPixelFormat(outputPixelFormat_))) {
      videoDecodeError_ = true;
      return false;
    }
    sourceWidth_ = picture->width;
    sourceHeight_ = picture->height;
    sourcePixelFormat_ = format;
    outputBufferSize_ = videoConverter_->outputSize();
  }
  auto* output = new uint8_t[static_cast<size_t>(outputBufferSize_)];
  if (!videoConverter_->convert(picture, output)) {
    delete[] output;
    videoDecodeError_ = true;
    return false;
  }
  keyFrame = picture->key_frame != 0;

  const AVRational timeBase = videoStream_ ? videoStream_->time_base : AVRational{1, 1000000};
  // Pictures leave the decoder in display order, possibly several packets
  // after the one that carried them (frame threads, reordering): their own
  // time stamp is the one that belongs to them.
  int64_t frameTime = decodeFrame_->best_effort_timestamp;
  if (frameTime != AV_NOPTS_VALUE && duration_ <= 0 && firstVideoTimestamp_ != AV_NOPTS_VALUE)
    frameTime -= firstVideoTimestamp_;
  if (frameTime == AV_NOPTS_VALUE) frameTime = incomingTime;
  int64_t frameDuration = decodeFrame_->pkt_duration > 0 ? decodeFrame_->pkt_duration : incomingDuration;
  if (counterClock_) {
    time = microsecondCount(static_cast<double>(frameCounter_) * (1.0 / frameRate_) * 1000000.0);
    duration = microsecondCount(1000000.0 / frameRate_);
  } else if (!decoderClock_ && frameTime != AV_NOPTS_VALUE) {
    time = toMicroseconds(frameTime, timeBase);
    duration = frameDuration > 0 ? toMicroseconds(frameDuration, timeBase)
                                 : microsecondCount(1000000.0 / frameRate_);
  } else {
    const double interval = 1.0 / frameRate_;
    time = microsecondCount(interval * static_cast<double>(frameCounter_) * 1000000.0);
    duration = microsecondCount(interval * 1000000.0);
  }
  ++frameCounter_;
  if (time < seekTarget_) {
    logDebug("FFMpegDecoderCore::decodeVideoPacket : timestamp out of range compared to stream offset, discard "
             "%" PRIu64 " %" PRIu64,
             time, seekTarget_);
    delete[] output;
    return false;
  }
  data = output;
  size = static_cast<unsigned>(outputBufferSize_);
  return true;
}

bool FFMpegDecoderCore::decodeAudioPacket(AVPacket* packet, int64_t incomingTime, uint8_t*& data, unsigned& size,
                                          uint64_t& time, uint64_t& duration) {
  const AVRational timeBase = audioStream_ ? audioStream_->time_base : AVRational{1, 1000000};
  const bool streamClock = !counterClock_ && !decoderClock_ && incomingTime != AV_NOPTS_VALUE;
  if (skipAudio_) {
    size = static_cast<unsigned>(packet->size);
    data = copyBytes(packet->data, size);
    time = fromMediumStart(incomingTime == AV_NOPTS_VALUE ? kNoTime : toMicroseconds(incomingTime, timeBase));
    duration = toMicroseconds(packet->duration, timeBase);
    return true;
  }
  if (!audioCodec_ || !audioConverter_) return false;
  audioScratch_.clear();
  int64_t samples = 0;
  auto collect = [&] {
    while (avcodec_receive_frame(audioCodec_.get(), decodeFrame_.get()) >= 0) {
      if (audioConverter_->append(decodeFrame_.get(), audioScratch_)) samples += decodeFrame_->nb_samples;
      av_frame_unref(decodeFrame_.get());
    }
  };
  if (packet != nullptr) {
    if (avcodec_send_packet(audioCodec_.get(), packet) == AVERROR(EAGAIN)) {
      collect();
      avcodec_send_packet(audioCodec_.get(), packet);
    }
  } else {
    avcodec_send_packet(audioCodec_.get(), nullptr);  // end of input: drain
  }
  collect();
  if (samples == 0 || audioScratch_.empty()) return false;

  const int rate = audioCodec_->sample_rate > 0 ? audioCodec_->sample_rate : audioSampleRate_;
  const uint64_t sampleDuration = rate > 0 ? static_cast<uint64_t>(samples) * 1000000u / static_cast<uint64_t>(rate) : 0;
  uint64_t blockTime;
  uint64_t blockDuration;
  if (streamClock) {
    blockTime = toMicroseconds(incomingTime, timeBase);
    if (blockTime < audioLastTimestamp_) blockTime = audioNextTimestamp_;  // never backwards
    blockDuration = packet && packet->duration > 0 ? toMicroseconds(packet->duration, timeBase) : sampleDuration;
  } else {
    blockTime = audioNextTimestamp_;
    blockDuration = sampleDuration;
  }
  if (blockTime < seekTarget_) {
    logDebug("FFMpegDecoderCore::decodeAudioPacket : timestamp out of range compared to stream offset, discard "
             "%" PRIu64 " %" PRIu64,
             blockTime, seekTarget_);
    return false;
  }
  size = static_cast<unsigned>(audioScratch_.size());
  data = copyBytes(audioScratch_.data(), audioScratch_.size());
  time = blockTime;
  duration = blockDuration;
  audioLastTimestamp_ = blockTime;
  audioNextTimestamp_ = blockTime + blockDuration;
  return true;
}

// At the end of the input the decoders still hold pictures (frame threads,
// reordering) and possibly samples; they are delivered before the end is
// reported, so nothing decoded is lost.
bool FFMpegDecoderCore::drainDecoders(PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time,
                                      uint64_t& duration, bool& keyFrame) {
  if (videoCodec_ && !skipVideo_) {
    if (!videoDrainSent_) {
      avcodec_send_packet(videoCodec_.get(), nullptr);
      videoDrainSent_ = true;
    }
    while (receivePicture()) {
      type = PACKET_VIDEO;
      if (deliverPicture(AV_NOPTS_VALUE, 0, data, size, time, duration, keyFrame) &&
          acceptVideo(time, keyFrame, data, size))
        return true;
    }
  }
  if (audioCodec_ && !skipAudio_ && !audioDrained_) {
    audioDrained_ = true;
    if (decodeAudioPacket(nullptr, AV_NOPTS_VALUE, data, size, time, duration)) {
      type = PACKET_AUDIO;
      keyFrame = true;
      position_ = static_cast<int64_t>(time);
      return true;
    }
  }
  return false;
}

void FFMpegDecoderCore::unwrapTimes(AVPacket* packet) const {
  if (!unwrapTimes_ || packet->stream_index < 0 ||
      static_cast<unsigned>(packet->stream_index) >= formatContext_->nb_streams)
    return;
  const int64_t wrap = int64_t{1} << formatContext_->streams[packet->stream_index]->pts_wrap_bits;
  if (packet->pts != AV_NOPTS_VALUE) packet->pts += wrap;
  if (packet->dts != AV_NOPTS_VALUE) packet->dts += wrap;
}

bool FFMpegDecoderCore::skipPacket(PACKETTYPE& type, int64_t& timestamp, int64_t& duration) {
  PLockGuard guard(lock_);
  if (formatContext_ == nullptr || input_ == nullptr) return false;
  if (readPacket(packet_.get()) < 0) {
    av_packet_unref(packet_.get());
    return false;
  }
  unwrapTimes(packet_.get());
  PacketRelease release{packet_.get()};
  const AVPacket* packet = packet_.get();
  int64_t chosen = packet->pts;
  if (packet->dts != AV_NOPTS_VALUE && packet->dts >= 0) {
    chosen = packet->dts;
  } else if (packet->dts != AV_NOPTS_VALUE && packet->pts != AV_NOPTS_VALUE && packet->pts < 0) {
    logDebug("Skipping encoded packet with negative timestamps - %d %" PRId64 " %" PRId64, packet->stream_index,
             packet->dts, packet->pts);
    return false;
  }
  timestamp = chosen;
  duration = packet->duration;
  AVRational timeBase{1, 1000000};
  if (packet->stream_index == audioStreamIndex_ && audioStreamIndex_ >= 0) {
    type = PACKET_AUDIO;
    lastAudioTimestamp_ = chosen;
    timeBase = audioStream_->time_base;
  } else if (packet->stream_index == videoStreamIndex_ && videoStreamIndex_ >= 0) {
    type = PACKET_VIDEO;
    timeBase = videoStream_->time_base;
  }
  // The position stays in microseconds, as for delivered frames.
  if (chosen != AV_NOPTS_VALUE) position_ = static_cast<int64_t>(toMicroseconds(chosen, timeBase));
  return true;
}

bool FFMpegDecoderCore::decodeFromPacket(streamer::SamplePacket* incoming, PACKETTYPE& type, uint8_t*& data,
                                         unsigned& size, uint64_t& time, uint64_t& duration, void*& frameContext,
                                         bool& keyFrame) {
  PLockGuard guard(lock_);
  frameContext = nullptr;
  if (incoming == nullptr) return false;
  type = incoming->getType();
  keyFrame = incoming->isKeyFrame();
  position_ = static_cast<int64_t>(time);

  const bool audio = type == PACKET_AUDIO;
  const bool video = type == PACKET_VIDEO;
  if (!audio && !video) {
    // Nobody else would release it.
    incoming->release();
    return false;
  }
  if ((audio && audioStream_ == nullptr) || (video && videoStream_ == nullptr && !rescalingMode_)) {
    // Nothing to do for this kind: the packet itself goes on; the receiver
    // releases it when it frees the frame.
    frameContext = incoming;
    data = incoming->getData();
    size = incoming->getSize();
    return true;
  }
  if (video && rescalingMode_) {
    const bool converted = convertRawFrame(incoming, data, size);
    incoming->release();
    return converted;
  }
  if (formatContext_ == nullptr || incoming->getData() == nullptr || incoming->getSize() == 0) {
    incoming->release();
    return false;
  }
  if (video && holdVideoHeader(incoming)) {
    incoming->release();
    return false;
  }
  ff::PacketPtr packet = ff::makePacket();
  bool result = false;
  const size_t prefix = video ? pendingVideoHeader_.size() : 0;
  if (packet && av_new_packet(packet.get(), static_cast<int>(prefix + incoming->getSize())) == 0) {
    if (prefix) std::memcpy(packet->data, pendingVideoHeader_.data(), prefix);
    std::memcpy(packet->data + prefix, incoming->getData(), incoming->getSize());
    if (video && !pendingExtradata_.empty()) {
      uint8_t* side = av_packet_new_side_data(packet.get(), AV_PKT_DATA_NEW_EXTRADATA, pendingExtradata_.size());
      if (side) std::memcpy(side, pendingExtradata_.data(), pendingExtradata_.size());
    }
    if (video) {
      pendingVideoHeader_.clear();
      pendingExtradata_.clear();
    }
    if (keyFrame) packet->flags |= AV_PKT_FLAG_KEY;
    if (audio) {
      result = decodeAudioPacket(packet.get(), AV_NOPTS_VALUE, data, size, time, duration);
    } else {
      result = decodeVideoPacket(packet.get(), AV_NOPTS_VALUE, data, size, time, duration, keyFrame);
      if (result) videoDecodedOnce_ = true;
    }
  }
  incoming->release();
  if (result) position_ = static_cast<int64_t>(time);
  return result;
}

// Codec headers reach the decoder with the next picture: parameter sets in
// front of it (several header packets add up), a configuration record as
// the decoder's new extradata (the latest one counts). A packet is a header
// when its bytes say so; for codecs whose headers cannot be recognised, only
// the first video packet when it comes as a pass-through reader sends the
// header: no time, no duration, marked as a key frame.
bool FFMpegDecoderCore::holdVideoHeader(streamer::SamplePacket* incoming) {
  const bool first = !videoPacketSeen_;
  videoPacketSeen_ = true;
  const AVCodecID codec = videoCodec_ ? videoCodec_->codec_id : AV_CODEC_ID_NONE;
  const uint8_t* bytes = incoming->getData();
  switch (classifyVideoPacket(codec, bytes, incoming->getSize())) {
    case VideoHeaderShape::kConfigurationRecord:
      pendingExtradata_.assign(bytes, bytes + incoming->getSize());
      return true;
    case VideoHeaderShape::kBitstream:
      break;
    case VideoHeaderShape::kUnknown:
      if (first && incoming->getTime() == kNoTime && incoming->getDuration() == 0 && incoming->isKeyFrame()) break;
      return false;
    case VideoHeaderShape::kPicture:
      return false;
  }
  // Headers without pictures between them must not pile up without bound:
  // past the limit only the latest is kept.
  if (pendingVideoHeader_.size() + incoming->getSize() > kMaxPendingHeaderBytes) pendingVideoHeader_.clear();
  pendingVideoHeader_.insert(pendingVideoHeader_.end(), bytes, bytes + incoming->getSize());
  return true;
}

bool FFMpegDecoderCore::drainPacketInput(PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time,
                                         uint64_t& duration, bool& keyFrame) {
  PLockGuard guard(lock_);
  if (!streamsOnly_) return false;
  if (videoCodec_) {
    if (!videoDrainSent_) {
      avcodec_send_packet(videoCodec_.get(), nullptr);
      videoDrainSent_ = true;
    }
    while (receivePicture()) {
      type = PACKET_VIDEO;
      if (deliverPicture(AV_NOPTS_VALUE, 0, data, size, time, duration, keyFrame)) {
        position_ = static_cast<int64_t>(time);
        return true;
      }
    }
  }
  if (audioCodec_ && !audioDrained_) {
    audioDrained_ = true;
    if (decodeAudioPacket(nullptr, AV_NOPTS_VALUE, data, size, time, duration)) {
      type = PACKET_AUDIO;
      keyFrame = true;
      position_ = static_cast<int64_t>(time);
      return true;
    }
  }
  // Everything is out: the decoders start afresh for packets that follow.
  if (videoCodec_) avcodec_flush_buffers(videoCodec_.get());
  if (audioCodec_) avcodec_flush_buffers(audioCodec_.get());
  videoDrainSent_ = audioDrained_ = false;
  return false;
}

bool FFMpegDecoderCore::convertRawFrame(streamer::SamplePacket* packet, uint8_t*& data, unsigned& size) {
  if (!videoConverter_ || !videoConverter_->ready() || packet->getData() == nullptr) return false;
  auto* output = new uint8_t[static_cast<size_t>(videoConverter_->outputSize())];
  // Packed RGB may be stored bottom-up (layout <= 0); it is turned upright
  // when it leaves in a format that has no bottom-up form.
  const bool bottomUp = videoLayout_ <= 0 && codecs::isBottomUpCapable(sourceEngineFormat_) &&
                        !codecs::isBottomUpCapable(outputPixelFormat_);
  if (!videoConverter_->convertRaw(packet->getData(), static_cast<int>(packet->getSize()), output, bottomUp)) {
    delete[] output;
    return false;
  }
  data = output;
  size = static_cast<unsigned>(videoConverter_->outputSize());
  return true;
}

}  // namespace zan
