// The FLV header the encoder hands to the engine: FLV file header with the
// stream flags of the target, the library's own onMetaData script tag, and
// then every tag FFmpeg's FLV muxer wrote after its file header (the AVC and
// AAC sequence headers), unchanged.
//
// FFmpeg's muxer is told not to write an onMetaData tag of its own
// (flvflags=no_metadata, see BasicMuxer); without the sequence-header tags
// that follow, H.264 and AAC could not be decoded, so they are kept.
//
// onMetaData is an AMF0 ECMA array of numbers (big-endian doubles), closed
// by the object-end marker, whose entries depend on what the target
// carries: duration and totalduration only with a known medium duration,
// the picture entries only with video, audiocodecid only with audio. Pure
// functions; the profile is only read.
#pragma once

#include <cstdint>
#include <vector>

namespace zan {

class FFMpegStreamingProfile;

struct FlvHeaderRecord {
  const uint8_t* header = nullptr;  // what FFmpeg's FLV muxer wrote as its header
  int headerSize = 0;
  std::vector<uint8_t> output;  // set by buildFlvHeader; empty when nothing was built
  const FFMpegStreamingProfile* profile = nullptr;
};

// Size of the FLV file header: signature, version, flags, header length,
// first previous-tag size.
inline constexpr int kFlvFileHeaderSize = 13;

// Fills |record.output| unless the header is shorter than the FLV file
// header or does not start with "FLV" (then output stays empty).
void buildFlvHeader(FlvHeaderRecord& record);

// Writes the onMetaData tag (tag header, data, previous-tag size) at
// |buffer| and returns its length; returns 0 and writes nothing when
// |capacity| is too small. The largest tag is kMaxMetaDataTagSize bytes.
int writeMetaDataTag(const FFMpegStreamingProfile& profile, uint8_t* buffer, int capacity);
inline constexpr int kMaxMetaDataTagSize = 312;

}  // namespace zan
