// Where a muxer's bytes go. The encoder implements it and turns the bytes
// into output packets; each muxer holds its own sink, so two muxers in one
// process never see each other's bytes.
//
// Both calls come on the thread that drives the muxer (the one calling
// writeHeader, the packet writes, flush, writeTrailer and close), in the
// order the bytes belong to the stream. |data| is valid only for the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zan {

class InternalSamplePacket;

class MuxerSink {
 public:
  virtual ~MuxerSink() = default;
  // The whole header, once per writeHeader(): the encoder may replace it
  // (the FLV header, see FlvHeader.h) before passing it on.
  virtual void headerBytes(const uint8_t* data, size_t size) = 0;
  // Container bytes after the header, as FFmpeg's byte layer flushes them.
  virtual void muxedBytes(const uint8_t* data, size_t size) = 0;
  // A finished file of a muxer that writes files itself (a PACKET_SEGMENT
  // packet), for the engine.
  virtual void segmentFinished(std::unique_ptr<InternalSamplePacket> announcement) = 0;
};

}  // namespace zan
