// RFC 6381 codec names ("avc1.64001f", "mp4a.40.2") as an HLS master
// playlist lists them, read from the bytes that were really written: the
// H.264 sequence parameter set in a video packet (or the stream's
// configuration) and the AAC audio object type in an ADTS header (or the
// AudioSpecificConfig). Pure functions, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zan::host {

// "avc1.PPCCLL" from the first sequence parameter set in |data| (Annex B
// start codes or an avcC record); empty when there is none.
std::string avcCodecString(const uint8_t* data, size_t size);

// "mp4a.40.AOT" from an ADTS header at the start of |data|, or, when
// |data| holds no ADTS header, from an AudioSpecificConfig; empty when it
// is neither.
std::string aacCodecString(const uint8_t* data, size_t size);

// The bytes of a stream's configuration as the engine's records carry it,
// hexadecimal text; it ends at the first character pair that is no byte.
std::vector<uint8_t> fromHex(const char* text);

}  // namespace zan::host
