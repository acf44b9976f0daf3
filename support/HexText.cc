#include "support/HexText.h"

#include <cstdio>

namespace zan {

std::string toHex(const uint8_t* data, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    hex += kDigits[data[i] >> 4];
    hex += kDigits[data[i] & 0x0F];
  }
  return hex;
}

std::vector<uint8_t> fromHex(const char* text) {
  std::vector<uint8_t> bytes;
  if (text == nullptr) return bytes;
  for (const char* p = text; p[0] != '\0' && p[1] != '\0'; p += 2) {
    unsigned value = 0;
    if (std::sscanf(p, "%2x", &value) != 1) break;
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes;
}

}  // namespace zan
