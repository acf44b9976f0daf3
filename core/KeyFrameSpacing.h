// How far apart a video stream's key frames lie, read from the demuxer's
// index without reading the stream: a copy that cuts segments on the
// source's key frames can then say up front how long a segment may get.
#pragma once

#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
}

namespace zan {

// The longest run of |stream|'s pictures from one key frame to the next (or
// from the last to the end), in microseconds and one picture more (index
// times are decoding times, cuts fall on presentation times); -1 unless the
// demuxer's index lists every sample of the stream (MP4 does, from its
// sample tables), so that no key frame can be missing from it.
int64_t longestKeyFrameRunUs(AVStream& stream);

}  // namespace zan
