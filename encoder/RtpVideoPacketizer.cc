#include "encoder/RtpVideoPacketizer.h"

#include <cstring>

namespace zan {

namespace {

constexpr uint8_t kRtcpSenderReport = 200;

}  // namespace

bool RtpVideoPacketizer::open(const AVCodecContext& codec, int payloadSize) {
  ff::CodecParametersPtr parameters(avcodec_parameters_alloc());
  if (!parameters || avcodec_parameters_from_context(parameters.get(), &codec) < 0) return false;
  return open(*parameters, codec.time_base, payloadSize);
}

bool RtpVideoPacketizer::open(const AVCodecParameters& parameters, AVRational timeBase, int payloadSize) {
  close();
  if (payloadSize <= 0) return false;
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, "rtp", nullptr) < 0 || raw == nullptr) return false;
  ff::FormatPtr context(raw);
  AVStream* stream = avformat_new_stream(context.get(), nullptr);
  // The muxer reads the NAL length size of an avcC record from the extradata.
  if (stream == nullptr || avcodec_parameters_copy(stream->codecpar, &parameters) < 0) return false;
  stream->time_base = timeBase;
  codecTimeBase_ = timeBase;

  const int packetSize = payloadSize + kRtpHeaderSize;
  ff::AvBlockPtr<uint8_t> buffer(static_cast<uint8_t*>(av_malloc(static_cast<size_t>(packetSize))));
  if (!buffer) return false;
  ff::IOContextPtr io(avio_alloc_context(buffer.get(), packetSize, 1, this, nullptr, &writeCallback, nullptr));
  if (!io) return false;
  buffer.release();
  // The muxer sizes its packets by the I/O context's packet size.
  io->max_packet_size = packetSize;
  io->seekable = 0;
  context->pb = io.get();
  context->flags |= AVFMT_FLAG_CUSTOM_IO;
  if (avformat_write_header(context.get(), nullptr) < 0) {
    context->pb = nullptr;
    return false;
  }
  context_ = std::move(context);
  io_ = std::move(io);
  return true;
}

void RtpVideoPacketizer::close() {
  // The RTP muxer frees its packet buffer in its trailer.
  if (context_) av_write_trailer(context_.get());
  if (context_) context_->pb = nullptr;
  context_.reset();
  io_.reset();
}

int RtpVideoPacketizer::writeCallback(void* opaque, uint8_t* data, int size) {
  auto* self = static_cast<RtpVideoPacketizer*>(opaque);
  if (size <= kRtpHeaderSize || self->emit_ == nullptr || data[1] == kRtcpSenderReport) return size;
  (*self->emit_)(data + kRtpHeaderSize, static_cast<size_t>(size - kRtpHeaderSize));
  return size;
}

bool RtpVideoPacketizer::packetize(const AVPacket& picture, const Emit& emit) {
  if (!context_) return false;
  ff::PacketPtr packet = ff::makePacket();
  if (!packet || av_packet_ref(packet.get(), &picture) < 0) return false;
  packet->stream_index = 0;
  av_packet_rescale_ts(packet.get(), codecTimeBase_, context_->streams[0]->time_base);
  // Times only reach the RTP headers that are cut off; the muxer still
  // checks that they rise, which the coded order's decoding times do.
  emit_ = &emit;
  const int result = av_write_frame(context_.get(), packet.get());
  avio_flush(io_.get());
  emit_ = nullptr;
  return result >= 0;
}

}  // namespace zan
