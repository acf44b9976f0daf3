#include "tests/core/CoreTestSupport.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavformat/avio.h>
}

namespace zan::test {

uint64_t checksum(const uint8_t* data, std::size_t size) {
  uint64_t hash = 1469598103934665603ULL;
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= data[i];
    hash *= 1099511628211ULL;
  }
  return hash;
}

Delivery readFrames(FFMpegDecoderCore& core, std::size_t limit, bool keepBytes) {
  Delivery delivery;
  while (delivery.all.size() < limit) {
    streamer::PACKETTYPE type = streamer::PACKET_END;
    uint8_t* data = nullptr;
    unsigned size = 0;
    uint64_t time = 0, duration = 0;
    void* context = nullptr;
    bool key = false;
    if (!core.decodeFromMedium(type, data, size, time, duration, context, key)) {
      delete[] data;
      break;
    }
    std::unique_ptr<uint8_t[]> owner(data);
    DeliveredFrame frame;
    frame.type = type;
    frame.time = time;
    frame.duration = duration;
    frame.size = size;
    frame.key = key;
    frame.checksum = checksum(data, data ? size : 0);
    if (keepBytes && data) frame.bytes.assign(data, data + size);
    if (type == streamer::PACKET_VIDEO) delivery.video.push_back(frame);
    if (type == streamer::PACKET_AUDIO) delivery.audio.push_back(frame);
    delivery.all.push_back(std::move(frame));
  }
  return delivery;
}

bool nonDecreasing(const std::vector<DeliveredFrame>& frames) {
  for (std::size_t i = 1; i < frames.size(); ++i)
    if (frames[i].time < frames[i - 1].time) return false;
  return true;
}

int MemoryByteSource::read(void* opaque, uint8_t* buffer, int size) {
  auto* self = static_cast<MemoryByteSource*>(opaque);
  const int64_t left = static_cast<int64_t>(self->bytes_.size()) - self->position_;
  const int count = static_cast<int>(std::min<int64_t>(left, size));
  if (count <= 0) return 0;
  std::memcpy(buffer, self->bytes_.data() + self->position_, static_cast<std::size_t>(count));
  self->position_ += count;
  return count;
}

int64_t MemoryByteSource::seek(void* opaque, int64_t offset, int whence) {
  auto* self = static_cast<MemoryByteSource*>(opaque);
  const int64_t size = static_cast<int64_t>(self->bytes_.size());
  int64_t target = 0;
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return size;
    case SEEK_SET: target = offset; break;
    case SEEK_CUR: target = self->position_ + offset; break;
    case SEEK_END: target = size + offset; break;
    default: return -1;
  }
  if (target < 0 || target > size) return -1;
  self->position_ = target;
  return target;
}

}  // namespace zan::test
