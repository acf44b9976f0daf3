// Cuts coded pictures into RTP payloads of at most a given size, following
// the codec's RTP payload format (for H.264: single NAL units, or FU-A
// fragments for NAL units that do not fit), with libavformat's "rtp" muxer
// over a write callback. Every RTP packet the muxer writes becomes one
// payload with its 12-byte header removed; the engine writes RTP headers of
// its own. RTCP sender reports the muxer interleaves are dropped.
//
// Not thread-safe: the encoder drives it under its write lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "ffmpeg/FFmpegPtr.h"

namespace zan {

class RtpVideoPacketizer {
 public:
  using Emit = std::function<void(const uint8_t* payload, size_t size)>;

  // Prepares the payload format of |codec|'s stream (its extradata
  // included); false when libavformat has none for it.
  bool open(const AVCodecContext& codec, int payloadSize);
  // The same for a stream described by |parameters| (a copied stream),
  // whose pictures come with times in |timeBase|. H.264 whose extradata
  // is an avcC record comes length-prefixed, else in Annex B form.
  bool open(const AVCodecParameters& parameters, AVRational timeBase, int payloadSize);
  void close();
  // Hands every payload of one coded picture to |emit|, in order.
  bool packetize(const AVPacket& picture, const Emit& emit);

  static constexpr int kRtpHeaderSize = 12;

 private:
  static int writeCallback(void* opaque, uint8_t* data, int size);

  ff::FormatPtr context_;
  ff::IOContextPtr io_;
  const Emit* emit_ = nullptr;  // set while packetize() runs
  AVRational codecTimeBase_{1, 1};
};

}  // namespace zan
