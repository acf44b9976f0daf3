// Little-endian fields of a file read into a string (WAV headers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zan::test {

inline uint32_t le(const std::string& bytes, size_t at, int width) {
  uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes.at(at + static_cast<size_t>(i)));
  return value;
}
inline uint16_t le16(const std::string& bytes, size_t at) { return static_cast<uint16_t>(le(bytes, at, 2)); }
inline uint32_t le32(const std::string& bytes, size_t at) { return le(bytes, at, 4); }

}  // namespace zan::test
