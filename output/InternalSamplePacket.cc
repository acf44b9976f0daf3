// The output packet and the RTP audio payload formats.
#include "output/InternalSamplePacket.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "output/BitWriter.h"

namespace zan {

using streamer::PACKETTYPE;

void InternalSamplePacket::setHeader(PACKETTYPE type, uint64_t time, uint64_t duration, bool keyFrame) {
  type_ = type;
  time_ = time;
  duration_ = duration;
  keyFrame_ = keyFrame;
}

void InternalSamplePacket::clear() {
  data_.reset();
  size_ = 0;
}

uint8_t* InternalSamplePacket::allocate(unsigned size) {
  data_.reset(new uint8_t[static_cast<size_t>(size) + kPadding]());
  size_ = size;
  return data_.get();
}

void InternalSamplePacket::set(PACKETTYPE type, const uint8_t* payload, unsigned size, uint64_t time,
                               uint64_t duration, bool keyFrame) {
  clear();
  setHeader(type, time, duration, keyFrame);
  if (payload != nullptr && size > 0) std::memcpy(allocate(size), payload, size);
}

bool InternalSamplePacket::split(unsigned maxSize, std::vector<std::unique_ptr<InternalSamplePacket>>& fragments) const {
  if (size_ <= maxSize) return true;
  if (maxSize == 0) return false;
  for (unsigned at = 0; at < size_; at += maxSize) {
    auto fragment = std::make_unique<InternalSamplePacket>();
    fragment->set(type_, data_.get() + at, std::min(maxSize, size_ - at), time_, duration_, keyFrame_);
    fragments.push_back(std::move(fragment));
  }
  return true;
}

bool AMRSamplePacket::split(unsigned maxSize, std::vector<std::unique_ptr<InternalSamplePacket>>&) const {
  return getSize() <= maxSize;
}

void AMRSamplePacket::set(PACKETTYPE type, const uint8_t* payload, unsigned size, uint64_t time,
                          uint64_t duration, bool keyFrame) {
  clear();
  setHeader(type, time, duration, keyFrame);
  if (payload == nullptr || size == 0) return;
  uint8_t* out = allocate(size + 1);
  out[0] = 0xF0;              // CMR 15: no mode request; 4 reserved bits
  out[1] = payload[0] & 0x7F;  // ToC: F = 0 (last frame), FT and Q kept
  std::memcpy(out + 2, payload + 1, size - 1);
}

void MP4ALATMSamplePacket::set(PACKETTYPE type, const uint8_t* payload, unsigned size, uint64_t time,
                               uint64_t duration, bool keyFrame) {
  clear();
  setHeader(type, time, duration, keyFrame);
  if (payload == nullptr || size == 0) return;
  const unsigned lengthBytes = size / 255 + 1;
  if (size > kMaxPayload - lengthBytes) return;
  uint8_t* out = allocate(lengthBytes + size);
  std::memset(out, 0xFF, lengthBytes - 1);
  out[lengthBytes - 1] = static_cast<uint8_t>(size % 255);
  std::memcpy(out + lengthBytes, payload, size);
}

void MP4AGENSamplePacket::set(PACKETTYPE type, const uint8_t* payload, unsigned size, uint64_t time,
                              uint64_t duration, bool keyFrame) {
  clear();
  setHeader(type, time, duration, keyFrame);
  if (payload == nullptr || size == 0 || size > kMaxFrame) return;
  uint8_t* out = allocate(size + 4);
  putBits(out, 16, 16, 0);    // AU-headers-length in bits: one 16-bit header
  putBits(out, size, 13, 16);  // AU-size
  putBits(out, 0, 3, 29);      // AU-Index
  std::memcpy(out + 4, payload, size);
}

bool MP4AGENSamplePacket::split(unsigned maxSize, std::vector<std::unique_ptr<InternalSamplePacket>>& fragments) const {
  if (getSize() <= maxSize) return true;
  constexpr unsigned kHeaders = 4;
  if (maxSize <= kHeaders) return false;
  const uint8_t* frame = getData() + kHeaders;
  const unsigned frameSize = getSize() - kHeaders;
  for (unsigned at = 0; at < frameSize; at += maxSize - kHeaders) {
    const unsigned piece = std::min(maxSize - kHeaders, frameSize - at);
    auto fragment = std::make_unique<InternalSamplePacket>();
    std::vector<uint8_t> bytes(getData(), getData() + kHeaders);  // the same AU headers
    bytes.insert(bytes.end(), frame + at, frame + at + piece);
    fragment->set(getType(), bytes.data(), static_cast<unsigned>(bytes.size()), getTime(), getDuration(), isKeyFrame());
    fragments.push_back(std::move(fragment));
  }
  return true;
}

}  // namespace zan
