// The library's own SamplePacket: a reference-counted packet that owns its
// data buffer (allocated with new[] by the producer). The count is atomic
// because a packet is often created on a writer thread and released on a
// reader thread.
#pragma once

#include <atomic>

#include "zan/streamer/SamplePacket.h"

namespace zan::streamer {

class SimpleSamplePacket : public SamplePacket {
 public:
  SimpleSamplePacket() = default;
  // Does not free the data: only the last release() and set() do.
  ~SimpleSamplePacket() override = default;

  void release() override;
  void addRef() override;
  uint64_t getTime() override { return time_; }
  void setTime(const uint64_t& time) override { time_ = time; }
  uint64_t getDuration() override { return duration_; }
  void setDuration(const uint64_t& duration) override { duration_ = duration; }
  PACKETTYPE getType() override { return type_; }
  uint8_t* getData() override { return data_; }
  unsigned getSize() override { return size_; }
  bool isKeyFrame() override { return keyFrame_; }

  // Frees the data held (if any), then takes ownership of |data| (a new[]
  // array) and stores all six values.
  virtual void set(PACKETTYPE type, uint8_t* data, unsigned size, uint64_t time, uint64_t duration,
                   bool keyFrame);

 private:
  PACKETTYPE type_ = PACKET_END;
  uint8_t* data_ = nullptr;
  unsigned size_ = 0;
  uint64_t time_ = 0;
  uint64_t duration_ = 0;
  bool keyFrame_ = false;
  std::atomic<int32_t> refCount_{1};
};

}  // namespace zan::streamer
