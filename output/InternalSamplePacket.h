// The encoder's output packet, and the three RTP audio payload formats built
// on it.
//
// Every packet in the encoder's output queue is an InternalSamplePacket:
// muxed container bytes (PACKET_MUXED, zero times), a video slice or an
// audio frame for RTP (PACKET_AUDIO/PACKET_VIDEO, with time and duration),
// or the end marker (PACKET_END, the type of a new packet). The packet owns
// a copy of its payload; the copy carries 10 zero bytes beyond |size| so
// that readers that look a few bytes ahead (bit readers, parsers) never
// leave the buffer.
//
// The subclasses turn one encoded audio frame into one RTP payload (no RTP
// header: the engine adds it). A frame that does not fit a format leaves
// the packet without data (size 0) but with its type, times and key flag.
// A payload larger than the RTP payload size is cut into fragments as its
// format allows (split()); the engine marks the last fragment of a frame.
// Not thread-safe; a packet is filled on one thread and handed over.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "zan/streamer/Types.h"

namespace zan {

class InternalSamplePacket {
 public:
  InternalSamplePacket() = default;
  virtual ~InternalSamplePacket() = default;
  InternalSamplePacket(const InternalSamplePacket&) = delete;
  InternalSamplePacket& operator=(const InternalSamplePacket&) = delete;

  // Drops the old payload, then stores a copy of |size| bytes of |payload|
  // (none when |payload| is null: data null, size 0) and the other values.
  virtual void set(streamer::PACKETTYPE type, const uint8_t* payload, unsigned size, uint64_t time,
                   uint64_t duration, bool keyFrame);

  uint64_t getTime() const { return time_; }
  uint64_t getDuration() const { return duration_; }
  streamer::PACKETTYPE getType() const { return type_; }
  uint8_t* getData() const { return data_.get(); }
  unsigned getSize() const { return size_; }
  bool isKeyFrame() const { return keyFrame_; }

  // Cuts the payload into fragments of at most |maxSize| bytes, in sending
  // order, each with this packet's type, times and key flag. Nothing is
  // added when the payload fits; false when it does not and the format
  // cannot be fragmented. Here (and for LATM, whose AudioMuxElement is
  // fragmented as it is) the bytes are cut in order.
  virtual bool split(unsigned maxSize, std::vector<std::unique_ptr<InternalSamplePacket>>& fragments) const;

 protected:
  // Bytes of zero padding after every payload.
  static constexpr unsigned kPadding = 10;

  // Stores the values every kind of packet keeps, without touching the
  // payload.
  void setHeader(streamer::PACKETTYPE type, uint64_t time, uint64_t duration, bool keyFrame);
  // Drops the payload and makes room for |size| bytes (zeroed, plus the
  // padding); returns the new buffer.
  uint8_t* allocate(unsigned size);
  void clear();

 private:
  std::unique_ptr<uint8_t[]> data_;
  unsigned size_ = 0;
  uint64_t time_ = 0;      // µs
  uint64_t duration_ = 0;  // µs; 0 for container bytes
  bool keyFrame_ = false;
  streamer::PACKETTYPE type_ = streamer::PACKET_END;
};

// AMR narrow- or wideband, RFC 4867 octet-aligned, one frame per payload:
// a frame of n bytes (frame header byte + speech) becomes n + 1 bytes:
// CMR 15 (no mode request), the table-of-contents entry (the frame header
// with the F bit cleared), the speech bytes. A frame is never fragmented
// (the format has no fragments; frames are at most 62 bytes).
class AMRSamplePacket : public InternalSamplePacket {
 public:
  void set(streamer::PACKETTYPE type, const uint8_t* payload, unsigned size, uint64_t time, uint64_t duration,
           bool keyFrame) override;
  bool split(unsigned maxSize, std::vector<std::unique_ptr<InternalSamplePacket>>& fragments) const override;
};

// MPEG-4 AAC as LATM (RFC 3016) with the stream configuration out of band:
// the payload-length info (0xFF per full 255 bytes, then the remainder)
// followed by the frame. Frames whose payload would exceed kMaxPayload
// bytes are refused (packet without data).
class MP4ALATMSamplePacket : public InternalSamplePacket {
 public:
  static constexpr unsigned kMaxPayload = 10240;
  void set(streamer::PACKETTYPE type, const uint8_t* payload, unsigned size, uint64_t time, uint64_t duration,
           bool keyFrame) override;
};

// MPEG-4 AAC, generic mode (RFC 3640, AAC-hbr): a 16-bit AU-headers-length
// of 16, one AU header (13-bit size, 3-bit index 0), the frame. Frames of
// 0 or more than 8191 bytes cannot be described and are refused. A
// fragment repeats the AU headers (with the whole frame's size) before its
// piece of the frame.
class MP4AGENSamplePacket : public InternalSamplePacket {
 public:
  static constexpr unsigned kMaxFrame = 8191;
  void set(streamer::PACKETTYPE type, const uint8_t* payload, unsigned size, uint64_t time, uint64_t duration,
           bool keyFrame) override;
  bool split(unsigned maxSize, std::vector<std::unique_ptr<InternalSamplePacket>>& fragments) const override;
};

}  // namespace zan
