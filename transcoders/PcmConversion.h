// Sample-width conversion and channel fold-down of interleaved integer PCM,
// the two steps the audio resampler applies before any rate conversion.
//
// Input is little-endian: unsigned 8-bit or signed 16/24/32-bit samples.
// Output is signed 16-bit. Buffers are byte arrays read and written through
// memcpy, so neither side needs any alignment. Pure functions; callable
// from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zan::pcm {

// True for the sample widths the converter reads: 8, 16, 24 and 32 bits.
bool isSupportedWidth(int bitsPerSample);

// The channel count after folding: 1 and 2 stay, 4, 5 and 6 become 2; 0
// for every other count (not supported).
int foldedChannelCount(int channels);

// Converts |samples| samples of |bitsPerSample| bits at |in| to 16-bit at
// |out| (2 × |samples| bytes): 8-bit b becomes (b − 128) × 256, 24- and
// 32-bit samples keep their upper two bytes. |bitsPerSample| must be
// supported.
void toSixteenBit(const uint8_t* in, size_t samples, int bitsPerSample, uint8_t* out);

// Folds |frames| 16-bit frames of |channels| (4, 5 or 6) samples at |in| to
// stereo at |out| (4 × |frames| bytes). The sums wrap around in 16 bits, as
// the sources of these layouts expect, instead of clipping:
//   4: left = s1,      right = s2
//   5: left = s1 + s4, right = s2 + s4
//   6: left = s0 + s1, right = s2 + s1
void foldToStereo(const uint8_t* in, size_t frames, int channels, uint8_t* out);

}  // namespace zan::pcm
