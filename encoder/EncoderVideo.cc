// Video encoding: an engine picture (packed RGB, planar YUV 4:2:0 or packed
// YUV 4:2:2, RGB possibly stored bottom-up) is converted into the encoder's
// picture, given its presentation time and, where a decoder must be able to
// start, an intra type, and encoded; the coded pictures go to the muxer.
#include <cinttypes>

extern "C" {
#include <libavutil/imgutils.h>
}

#include "encoder/CodecTables.h"
#include "encoder/FFMpegEncoder.h"
#include "output/BasicMuxer.h"

namespace zan {

using streamer::kNoTime;

bool FFMpegEncoder::prepareScaler(int width, int height, AVPixelFormat format) {
  if (swsContext_ && swsWidth_ == width && swsHeight_ == height && swsFormat_ == format) return true;
  const AVCodecContext& codec = *video_.codec;
  swsContext_.reset(sws_getContext(width, height, format, codec.width, codec.height, codec.pix_fmt, SWS_BICUBIC,
                                   nullptr, nullptr, nullptr));
  swsWidth_ = width;
  swsHeight_ = height;
  swsFormat_ = format;
  return swsContext_ != nullptr;
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
  currentVideoTime_ = time - timeOffset_;
  if (videoStartTime_ < 0) videoStartTime_ = currentVideoTime_;
  currentVideoTime_ -= videoStartTime_;

  const AVRational timeBase = video_.codec->time_base;
  int64_t pts = static_cast<int64_t>(static_cast<double>(currentVideoTime_) / 1000000.0 / av_q2d(timeBase));
  const int gop = video_.codec->gop_size;
  const bool intra = pts == 0 || (gop > 0 && frameNumber_ % static_cast<uint64_t>(gop) == 0) ||
                     frameNumber_ - restartFrame_ < kRestartIntraPictures;
  ++frameNumber_;
  // Two pictures for one frame slot: the encoder needs rising times, so
  // the second is dropped, or moved to the next slot when input and output
  // run at the same rate (the times only jitter).
  if (pts <= lastPts_) {
    if (!profile_->sameFrameRate) return;
    pts = lastPts_ + 1;
  }
  lastPts_ = pts;

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
}

void FFMpegEncoder::doEncodeVideo(const AVFrame* frame) {
  AVCodecContext* codec = video_.codec.get();
  const int sent = avcodec_send_frame(codec, frame);
  if (sent < 0 && sent != AVERROR_EOF) {
    logWarn("FFMpegEncoder::doEncodeVideo : the encoder refused a picture %d", sent);
    return;
  }
  ff::PacketPtr packet = ff::makePacket();
  if (!packet) return;
  while (avcodec_receive_packet(codec, packet.get()) >= 0) {
    if (rtp_) {
      // Every payload carries its picture's presentation time.
      const int64_t pts = packet->pts == AV_NOPTS_VALUE ? 0 : packet->pts;
      const uint64_t time = static_cast<uint64_t>(av_rescale_q(pts > 0 ? pts : 0, codec->time_base, AVRational{1, 1000000}));
      const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
      rtpVideo_.packetize(*packet, [&](const uint8_t* payload, size_t size) {
        pushPayload(streamer::PACKET_VIDEO, payload, size, time, static_cast<uint64_t>(frameDuration_), key);
      });
      av_packet_unref(packet.get());
      continue;
    }
    const AVRational streamBase = muxer_->formatContext()->streams[video_.index]->time_base;
    av_packet_rescale_ts(packet.get(), codec->time_base, streamBase);
    muxer_->writeVideoPacket(packet->data, static_cast<unsigned>(packet->size), static_cast<uint64_t>(packet->pts),
                             (packet->flags & AV_PKT_FLAG_KEY) != 0, 0, packet->dts);
    av_packet_unref(packet.get());
  }
  videoEncoded_ = true;
}

}  // namespace zan
