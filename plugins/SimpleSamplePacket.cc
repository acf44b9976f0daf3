#include "plugins/SimpleSamplePacket.h"

namespace zan::streamer {

void SimpleSamplePacket::release() {
  // acq_rel: the thread that frees must see every write made by the threads
  // that released before it.
  if (refCount_.fetch_sub(1, std::memory_order_acq_rel) > 1) return;
  delete[] data_;
  data_ = nullptr;
  delete this;
}

void SimpleSamplePacket::addRef() { refCount_.fetch_add(1, std::memory_order_relaxed); }

void SimpleSamplePacket::set(PACKETTYPE type, uint8_t* data, unsigned size, uint64_t time, uint64_t duration,
                             bool keyFrame) {
  if (data_ != data) delete[] data_;
  type_ = type;
  data_ = data;
  size_ = size;
  time_ = time;
  duration_ = duration;
  keyFrame_ = keyFrame;
}

}  // namespace zan::streamer
