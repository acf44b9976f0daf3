// RFC 6381 codec names; see CodecStrings.h.
#include "host/cli/CodecStrings.h"

#include <cstdio>

namespace zan::host {

namespace {

std::string avcName(const uint8_t* sps, size_t size) {
  // NAL header, then profile_idc, the constraint flags, level_idc.
  if (size < 4 || (sps[0] & 0x1f) != 7) return "";
  char text[16];
  std::snprintf(text, sizeof text, "avc1.%02x%02x%02x", sps[1], sps[2], sps[3]);
  return text;
}

}  // namespace

std::string avcCodecString(const uint8_t* data, size_t size) {
  if (data == nullptr) return "";
  // avcC: version 1, then profile, compatibility, level at 1..3, and the
  // first SPS after its 16-bit length at 6.
  if (size > 8 && data[0] == 1 && (data[5] & 0x1f) > 0) return avcName(data + 8, size - 8);
  for (size_t i = 0; i + 3 < size; ++i)
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 0x1f) == 7)
      return avcName(data + i + 3, size - i - 3);
  return "";
}

std::string aacCodecString(const uint8_t* data, size_t size) {
  if (data == nullptr || size < 2) return "";
  int objectType = 0;
  if (size >= 7 && data[0] == 0xFF && (data[1] & 0xF6) == 0xF0) {
    objectType = (data[2] >> 6) + 1;  // ADTS profile: object type - 1
  } else {
    objectType = data[0] >> 3;
    if (objectType == 31) objectType = 32 + (((data[0] & 7) << 3) | (data[1] >> 5));
  }
  return objectType > 0 ? "mp4a.40." + std::to_string(objectType) : "";
}

std::vector<uint8_t> fromHex(const char* text) {
  std::vector<uint8_t> bytes;
  for (const char* p = text; p && p[0] && p[1]; p += 2) {
    unsigned value = 0;
    if (std::sscanf(p, "%2x", &value) != 1) break;
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes;
}

}  // namespace zan::host
