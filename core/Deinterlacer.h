// Intra-frame deinterlacing of planar 8-bit pictures: a vertical
// [1 2 1] / 4 blend of each row with its neighbours. It needs no other
// frame, so it adds no latency, and it removes the comb of interlaced
// content at the cost of a little vertical softness.
#pragma once

#include "ffmpeg/FFmpegPtr.h"

namespace zan {

// True when |format| is one the blend handles (planar, 8 bits per sample).
bool canDeinterlace(AVPixelFormat format);

// Fills |output| (allocated here, same size and format) with the blended
// picture; false when the format is not handled or memory ran out, in which
// case the caller uses the decoder's own planes.
bool deinterlace(const AVFrame* input, AVFrame* output);

}  // namespace zan
