#include "transcoders/PcmConversion.h"

#include <cstring>

namespace zan::pcm {

namespace {

inline uint16_t load16(const uint8_t* at) {
  return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

inline void store16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

// The low 16 bits of the sum: two's-complement wrap-around.
inline uint16_t wrappingSum(uint16_t a, uint16_t b) { return static_cast<uint16_t>(a + b); }

}  // namespace

bool isSupportedWidth(int bitsPerSample) {
  return bitsPerSample == 8 || bitsPerSample == 16 || bitsPerSample == 24 || bitsPerSample == 32;
}

int foldedChannelCount(int channels) {
  switch (channels) {
    case 1:
    case 2: return channels;
    case 4:
    case 5:
    case 6: return 2;
    default: return 0;
  }
}

void toSixteenBit(const uint8_t* in, size_t samples, int bitsPerSample, uint8_t* out) {
  switch (bitsPerSample) {
    case 8:
      // Unsigned 8-bit centres on 128; the result is the high byte.
      for (size_t i = 0; i < samples; ++i) store16(out + 2 * i, static_cast<uint16_t>((in[i] ^ 0x80) << 8));
      break;
    case 16:
      std::memcpy(out, in, samples * 2);
      break;
    case 24:
      for (size_t i = 0; i < samples; ++i) store16(out + 2 * i, load16(in + 3 * i + 1));
      break;
    case 32:
      for (size_t i = 0; i < samples; ++i) store16(out + 2 * i, load16(in + 4 * i + 2));
      break;
    default:
      break;
  }
}

void foldToStereo(const uint8_t* in, size_t frames, int channels, uint8_t* out) {
  const size_t stride = static_cast<size_t>(channels) * 2;
  for (size_t i = 0; i < frames; ++i, in += stride, out += 4) {
    auto s = [in](int index) { return load16(in + 2 * index); };
    uint16_t left = 0, right = 0;
    switch (channels) {
      case 4:
        left = s(1);
        right = s(2);
        break;
      case 5:
        left = wrappingSum(s(1), s(4));
        right = wrappingSum(s(2), s(4));
        break;
      case 6:
        left = wrappingSum(s(0), s(1));
        right = wrappingSum(s(2), s(1));
        break;
      default:
        break;
    }
    store16(out, left);
    store16(out + 2, right);
  }
}

}  // namespace zan::pcm
