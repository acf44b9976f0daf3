// Writing values bit by bit into a byte buffer, most significant bit first.
// Bit position 0 is the most significant bit of byte 0, position 8 the most
// significant bit of byte 1. The FLV metadata tag and the RTP audio
// payloads are written with these. The caller makes sure the buffer holds
// every bit written.
#pragma once

#include <cstdint>

namespace zan {

// Stores the low |bitCount| bits of |value| (0 to 64) at |bitPosition|,
// most significant first; every other bit of |buffer| keeps its value.
void putBits(uint8_t* buffer, uint64_t value, int bitCount, uint64_t bitPosition);

// Stores |bitCount| bits taken from |source| in order: its whole bytes,
// then the high bits of the next byte for a remainder.
void putBytes(uint8_t* buffer, const uint8_t* source, uint64_t bitCount, uint64_t bitPosition);

}  // namespace zan
