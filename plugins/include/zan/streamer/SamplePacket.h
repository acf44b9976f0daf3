// The engine's reference-counted media packet. Stages receive packets
// through OutputStream::write and take over one reference; the last
// release() frees the packet and its data.
#pragma once

#include <cstdint>

#include "zan/streamer/Types.h"

namespace zan::streamer {

class SamplePacket {
 public:
  virtual ~SamplePacket() {}
  virtual void release() = 0;  // drops one reference; the last one frees
  virtual void addRef() = 0;
  virtual uint64_t getTime() = 0;  // microseconds, kNoTime = none
  virtual void setTime(const uint64_t& time) = 0;
  virtual uint64_t getDuration() = 0;  // microseconds
  virtual void setDuration(const uint64_t& duration) = 0;
  virtual PACKETTYPE getType() = 0;
  virtual uint8_t* getData() = 0;
  virtual unsigned getSize() = 0;
  virtual bool isKeyFrame() = 0;
};

}  // namespace zan::streamer
