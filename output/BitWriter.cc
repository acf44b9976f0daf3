// Bit writers; see BitWriter.h.
#include "output/BitWriter.h"

namespace zan {

void putBits(uint8_t* buffer, uint64_t value, int bitCount, uint64_t bitPosition) {
  for (int i = bitCount - 1; i >= 0; --i, ++bitPosition) {
    const uint8_t mask = static_cast<uint8_t>(0x80u >> (bitPosition % 8));
    uint8_t& byte = buffer[bitPosition / 8];
    if ((value >> i) & 1u)
      byte |= mask;
    else
      byte &= static_cast<uint8_t>(~mask);
  }
}

void putBytes(uint8_t* buffer, const uint8_t* source, uint64_t bitCount, uint64_t bitPosition) {
  const uint64_t wholeBytes = bitCount / 8;
  for (uint64_t i = 0; i < wholeBytes; ++i, bitPosition += 8) putBits(buffer, source[i], 8, bitPosition);
  const int remainder = static_cast<int>(bitCount % 8);
  if (remainder > 0) putBits(buffer, source[wholeBytes] >> (8 - remainder), remainder, bitPosition);
}

}  // namespace zan
