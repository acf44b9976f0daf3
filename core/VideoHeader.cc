#include "core/VideoHeader.h"

#include <vector>

namespace zan {

namespace {

// The byte after each 00 00 01 start code; empty when the data does not
// begin with one (after optional zero bytes), i.e. is not a start-code
// stream at all.
std::vector<uint8_t> unitTypes(const uint8_t* data, std::size_t size) {
  std::vector<uint8_t> types;
  std::size_t i = 0;
  while (i < size && data[i] == 0) ++i;
  if (i < 2 || i >= size || data[i] != 1) return types;
  for (i = 2; i + 1 < size; ++i) {
    if (data[i] == 1 && data[i - 1] == 0 && data[i - 2] == 0) types.push_back(data[i + 1]);
  }
  return types;
}

// The first byte of each NAL unit when the data is exactly a chain of
// 4-byte big-endian sizes each followed by that many bytes (the form MP4,
// Matroska and FLV store H.264 in); empty otherwise. A size of 256 to 511
// bytes begins with 00 00 01, which looks like a start code.
std::vector<uint8_t> lengthPrefixedTypes(const uint8_t* data, std::size_t size) {
  std::vector<uint8_t> types;
  std::size_t at = 0;
  while (at + 4 < size) {
    const std::size_t length = (static_cast<std::size_t>(data[at]) << 24) |
                               (static_cast<std::size_t>(data[at + 1]) << 16) |
                               (static_cast<std::size_t>(data[at + 2]) << 8) | data[at + 3];
    if (length == 0 || length > size - at - 4) return {};
    types.push_back(data[at + 4]);
    at += 4 + length;
  }
  if (at != size) types.clear();
  return types;
}

// An AVCDecoderConfigurationRecord: version 1, then profile, compatibility
// and level, the NAL length size, and the count of sequence parameter sets
// each preceded by its 16-bit size. A length-prefixed picture starting with
// byte 1 would be over 16 MiB long; the first set's type settles it.
bool isAvcRecord(const uint8_t* data, std::size_t size) {
  if (size < 9 || data[0] != 1 || (data[5] & 0x1F) == 0) return false;
  const std::size_t first = (static_cast<std::size_t>(data[6]) << 8) | data[7];
  return first > 0 && 8 + first <= size && (data[8] & 0x1F) == 7;
}

VideoHeaderShape classifyH264(const uint8_t* data, std::size_t size) {
  if (isAvcRecord(data, size)) return VideoHeaderShape::kConfigurationRecord;
  std::vector<uint8_t> units = lengthPrefixedTypes(data, size);
  if (units.empty()) units = unitTypes(data, size);
  bool parameterSets = false;
  for (uint8_t header : units) {
    if (header & 0x80) return VideoHeaderShape::kPicture;  // the forbidden bit: not a NAL unit header
    const int type = header & 0x1F;
    if (type >= 1 && type <= 5) return VideoHeaderShape::kPicture;  // a slice
    if (type == 7 || type == 8) parameterSets = true;
  }
  return parameterSets ? VideoHeaderShape::kBitstream : VideoHeaderShape::kPicture;
}

VideoHeaderShape classifyMpeg4(const uint8_t* data, std::size_t size) {
  bool objectLayer = false;
  for (uint8_t code : unitTypes(data, size)) {
    if (code == 0xB6) return VideoHeaderShape::kPicture;  // a video object plane
    if (code == 0xB0 || (code >= 0x20 && code <= 0x2F)) objectLayer = true;
  }
  return objectLayer ? VideoHeaderShape::kBitstream : VideoHeaderShape::kPicture;
}

}  // namespace

VideoHeaderShape classifyVideoPacket(AVCodecID codec, const uint8_t* data, std::size_t size) {
  if (data == nullptr || size == 0) return VideoHeaderShape::kPicture;
  switch (codec) {
    case AV_CODEC_ID_H264: return classifyH264(data, size);
    case AV_CODEC_ID_MPEG4: return classifyMpeg4(data, size);
    default: return VideoHeaderShape::kUnknown;
  }
}

}  // namespace zan
