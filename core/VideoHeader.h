// Tells a video codec header apart from a compressed picture, for packets
// that a transcoder stage receives one by one. A pass-through reader sends
// the stream's codec header first, without a time; an upstream may also
// send pictures without times, so the missing time alone says nothing.
// What a header looks like is known for the codecs whose headers are
// bitstream start-code units (H.264, MPEG-4 part 2) or an H.264
// configuration record; for every other codec the shape says nothing.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace zan {

enum class VideoHeaderShape {
  kPicture,              // not a header: decode it
  kConfigurationRecord,  // an H.264 avcC record: the decoder's new extradata
  kBitstream,            // parameter sets only: they go in front of the next picture
  kUnknown,              // a codec whose headers cannot be recognised by their bytes
};

VideoHeaderShape classifyVideoPacket(AVCodecID codec, const uint8_t* data, std::size_t size);

}  // namespace zan
