// Video encoding: an engine picture (packed RGB, planar YUV 4:2:0 or packed
// YUV 4:2:2, RGB possibly stored bottom-up) is converted into the encoder's
// picture, given its presentation time and, where a decoder must be able to
// start, an intra type, and encoded; the coded pictures go to the muxer.
#include <cinttypes>

extern "C" {
#include <libavutil/imgutils.h>
}

#include "encoder/profile/CodecTables.h"
#include "encoder/FFMpegEncoder.h"
#include "output/BasicMuxer.h"
#include "output/MpegTSSegmentedMuxer.h"

namespace zan {

using streamer::kNoTime;

bool FFMpegEncoder::prepareScaler(int width, int height, AVPixelFormat format) {
  if (swsContext_ && swsWidth_ == width && swsHeight_ == height && swsFormat_ == format) return true;
  auto make = [&](const AVCodecContext& codec) {
    return ff::SwsPtr(sws_getContext(width, height, format, codec.width, codec.height, codec.pix_fmt, SWS_BICUBIC,
                                     nullptr, nullptr, nullptr));
  };
  swsContext_ = make(*video_.codec);
  for (LowVideo& low : lowVideo_) {
    low.scaler.reset();
    if (!low.picture) continue;
    low.scaler = make(*low.codec);
    if (!low.scaler) logError("FFMpegEncoder::encodeVideoPacket : m_swsContextLow failed to init");
  }
  swsWidth_ = width;
  swsHeight_ = height;
  swsFormat_ = format;
  return swsContext_ != nullptr;
}

bool FFMpegEncoder::startsSegment(int64_t pts) {
  if (!muxer_ || muxer_->kind() != 1) return false;
  const AVRational streamBase = muxer_->formatContext()->streams[video_.index]->time_base;
  const int64_t ts = av_rescale_q(pts, video_.codec->time_base, streamBase);
  if (segmentStart_ == INT64_MIN) {
    segmentStart_ = ts;
    return false;
  }
  if (ts <= segmentStart_ || ts - segmentStart_ <= MpegTSSegmentedMuxer::segmentLength(streamBase, profile_->segmentSeconds))
    return false;
  segmentStart_ = ts;
  return true;
}

void FFMpegEncoder::drainStalledVideo(uint64_t audioTime) {
  if (!muxer_ || muxer_->kind() != 1 || !video_.codec || videoDrained_ || lastVideoInput_ == kNoTime ||
      audioTime == kNoTime || audioTime <= lastVideoInput_ + kVideoStallUs)
    return;
  // The segmented muxer holds each output's audio until its pictures pass
  // it; the pictures still in the encoders' look-ahead must reach it before
  // it gives up waiting and cuts by audio time.
  logInfo("FFMpegEncoder : no picture since %" PRIu64 " us, the video encoders are drained", lastVideoInput_);
  doEncodeVideo(nullptr);
  for (LowVideo& low : lowVideo_)
    if (low.codec) doEncodeLow(low, nullptr);
  videoDrained_ = true;
}

bool FFMpegEncoder::reopenDrainedVideo() {
  // A drained encoder takes no more pictures: new ones, which start with
  // an intra picture, go on with the stream's times.
  if (!openStreamEncoder(video_, video_.codecName, Kind::kVideo)) return false;
  for (LowVideo& low : lowVideo_)
    if (!openLowEncoder(low)) return false;
  videoDrained_ = false;
  return true;
}

void FFMpegEncoder::encodeLowPictures(uint8_t* const planes[4], const int strides[4], int64_t pts, bool cut) {
  for (LowVideo& low : lowVideo_) {
    if (!low.codec) continue;
    const bool first = !low.started;
    const bool due = first || static_cast<double>(pts) >= low.due;
    if (!due && !cut) continue;
    if (due) {
      low.due = first ? static_cast<double>(pts) + low.step : low.due + low.step;
      while (low.due <= static_cast<double>(pts)) low.due += low.step;
    }
    low.started = true;
    AVFrame* frame = picture_.get();
    if (low.picture) {
      if (!low.scaler || av_frame_make_writable(low.picture.get()) < 0) continue;
      sws_scale(low.scaler.get(), planes, strides, 0, swsHeight_, low.picture->data, low.picture->linesize);
      frame = low.picture.get();
    }
    // Its first picture and the pictures where the main output begins a
    // segment are intra pictures: every segment of it starts on one.
    frame->pict_type = first || cut ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    frame->pts = pts;
    doEncodeLow(low, frame);
  }
}

void FFMpegEncoder::doEncodeLow(LowVideo& low, const AVFrame* frame) {
  const int sent = avcodec_send_frame(low.codec.get(), frame);
  if (sent < 0 && sent != AVERROR_EOF) {
    logWarn("FFMpegEncoder::doEncodeVideo : the low bitrate encoder refused a picture %d", sent);
    return;
  }
  writeCodedVideo(*low.codec, low.bitrate);
}

void FFMpegEncoder::writeCodedVideo(AVCodecContext& codec, int lowBitrate) {
  ff::PacketPtr packet = ff::makePacket();
  if (!packet) return;
  // Every output of one muxer is the same container: the main video
  // stream's time base is every output's.
  const AVRational streamBase = muxer_->formatContext()->streams[video_.index]->time_base;
  while (avcodec_receive_packet(&codec, packet.get()) >= 0) {
    av_packet_rescale_ts(packet.get(), codec.time_base, streamBase);
    muxer_->writeVideoPacket(packet->data, static_cast<unsigned>(packet->size), static_cast<uint64_t>(packet->pts),
                             (packet->flags & AV_PKT_FLAG_KEY) != 0, lowBitrate, packet->dts);
    av_packet_unref(packet.get());
  }
}

void FFMpegEncoder::encodeVideoPacket(streamer::SamplePacket& packet) {
  if (!video_.codec || !picture_) return;
  const streamer::VideoDescription& source = *profile_->sourceDescription->getVideo();
  const int width = source.getWidth();
  const int height = source.getHeight();
  const int code = source.getPixelFormat();
  const AVPixelFormat format = codecs::ffmpegPixelFormat(code);
  if (format == AV_PIX_FMT_NONE) return;
  const int expected = av_image_get_buffer_size(format, width, height, 1);
  if (packet.getData() == nullptr || expected <= 0 || packet.getSize() != static_cast<unsigned>(expected)) {
    logWarn("FFMpegEncoder::encodeVideoPacket : picture of %u bytes refused, %dx%d needs %d", packet.getSize(), width,
            height, expected);
    return;
  }
  if (packet.getTime() == kNoTime) {
    logWarn("FFMpegEncoder::encodeVideoPacket : picture without time refused");
    return;
  }

  if (videoDrained_ && !reopenDrainedVideo()) {
    fail("the video encoder does not open again after the pictures stalled");
    return;
  }
  const int64_t time = static_cast<int64_t>(packet.getTime());
  if (waitForVideo_) {
    // RTP time goes on without a jump across a restart; containers start
    // again from the new position.
    timeOffset_ = rtp_ ? time - currentVideoTime_ : 0;
    restartFrame_ = frameNumber_;
    waitForVideo_ = false;
  }
  if (packet.getTime() < seekOffset_) {
    logInfo("FFMpegEncoder::encodeVideoPacket : dropping raw packet, below seek offset %" PRIu64 " < %" PRIu64,
            packet.getTime(), seekOffset_);
    return;
  }
  lastVideoInput_ = packet.getTime();
  currentVideoTime_ = time - timeOffset_;
  if (videoStartTime_ < 0) videoStartTime_ = currentVideoTime_;
  currentVideoTime_ -= videoStartTime_;

  const AVRational timeBase = video_.codec->time_base;
  int64_t pts = static_cast<int64_t>(static_cast<double>(currentVideoTime_) / 1000000.0 / av_q2d(timeBase));
  const int gop = video_.codec->gop_size;
  // The run of intra pictures lets a player that joins at a restart start
  // at once; the stream's own start has its first picture for that.
  bool intra = pts == 0 || (gop > 0 && frameNumber_ % static_cast<uint64_t>(gop) == 0) ||
               (restartFrame_ > 0 && frameNumber_ - restartFrame_ < kRestartIntraPictures);
  ++frameNumber_;
  // Two pictures for one frame slot: the encoder needs rising times, so
  // the second is dropped, or moved to the next slot when input and output
  // run at the same rate (the times only jitter).
  if (pts <= lastPts_) {
    if (!profile_->sameFrameRate) return;
    pts = lastPts_ + 1;
  }
  lastPts_ = pts;
  const bool cut = startsSegment(pts);
  if (cut) intra = true;

  uint8_t* planes[4] = {};
  int strides[4] = {};
  if (av_image_fill_arrays(planes, strides, packet.getData(), format, width, height, 1) < 0) return;
  if (codecs::isBottomUpCapable(code) && source.getLayout() <= 0) {
    // Bottom-up rows: read from the last row upwards instead of flipping
    // the engine's buffer.
    planes[0] += static_cast<ptrdiff_t>(height - 1) * strides[0];
    strides[0] = -strides[0];
  }
  if (!prepareScaler(width, height, format)) {
    logError("FFMpegEncoder::encodeVideoPacket : m_swsContext failed to init");
    return;
  }
  // The encoder may still hold the previous picture (look-ahead, B-frames).
  if (av_frame_make_writable(picture_.get()) < 0) return;
  sws_scale(swsContext_.get(), planes, strides, 0, height, picture_->data, picture_->linesize);
  picture_->pict_type = intra ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  picture_->pts = pts;
  doEncodeVideo(picture_.get());
  if (!lowVideo_.empty()) encodeLowPictures(planes, strides, pts, cut);
}

void FFMpegEncoder::doEncodeVideo(const AVFrame* frame) {
  AVCodecContext* codec = video_.codec.get();
  const int sent = avcodec_send_frame(codec, frame);
  if (sent < 0 && sent != AVERROR_EOF) {
    logWarn("FFMpegEncoder::doEncodeVideo : the encoder refused a picture %d", sent);
    return;
  }
  videoEncoded_ = true;
  if (!rtp_) {
    writeCodedVideo(*codec, 0);
    return;
  }
  ff::PacketPtr packet = ff::makePacket();
  if (!packet) return;
  while (avcodec_receive_packet(codec, packet.get()) >= 0) {
    // Every payload carries its picture's presentation time.
    const int64_t pts = packet->pts == AV_NOPTS_VALUE ? 0 : packet->pts;
    const uint64_t time = static_cast<uint64_t>(av_rescale_q(pts > 0 ? pts : 0, codec->time_base, AVRational{1, 1000000}));
    const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    rtpVideo_.packetize(*packet, [&](const uint8_t* payload, size_t size) {
      pushPayload(streamer::PACKET_VIDEO, payload, size, time, static_cast<uint64_t>(frameDuration_), key);
    });
    av_packet_unref(packet.get());
  }
}

}  // namespace zan
