// Helpers for the decoding-core tests: pulling every frame out of a core
// into plain records (freeing the core's arrays as the engine would), and
// reading a file's bytes through the core's byte-stream callbacks.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/FFMpegDecoderCore.h"
#include "zan/streamer/Types.h"

namespace zan::test {

struct DeliveredFrame {
  streamer::PACKETTYPE type = streamer::PACKET_END;
  uint64_t time = 0;
  uint64_t duration = 0;
  unsigned size = 0;
  bool key = false;
  uint64_t checksum = 0;       // FNV-1a of the bytes
  std::vector<uint8_t> bytes;  // kept only when asked for
};

struct Delivery {
  std::vector<DeliveredFrame> video;
  std::vector<DeliveredFrame> audio;
  std::vector<DeliveredFrame> all;  // both kinds in delivery order
};

uint64_t checksum(const uint8_t* data, std::size_t size);

// Calls decodeFromMedium until it returns false or |limit| frames came out.
// Every frame's array is freed with delete[], as the engine's freeFrame
// does. With |keepBytes| each record keeps a copy of the frame's bytes.
Delivery readFrames(FFMpegDecoderCore& core, std::size_t limit = std::numeric_limits<std::size_t>::max(),
                    bool keepBytes = false);

// True when no frame's time is below the one before it.
bool nonDecreasing(const std::vector<DeliveredFrame>& frames);

// A file held in memory and served through the core's read and seek
// callbacks (the transport-stream open).
class MemoryByteSource {
 public:
  explicit MemoryByteSource(std::string bytes) : bytes_(std::move(bytes)) {}
  static int read(void* opaque, uint8_t* buffer, int size);
  static int64_t seek(void* opaque, int64_t offset, int whence);
  int64_t position() const { return position_; }

 private:
  std::string bytes_;
  int64_t position_ = 0;
};

}  // namespace zan::test
