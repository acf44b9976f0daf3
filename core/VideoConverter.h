// Scales and converts decoded pictures into a caller-owned contiguous
// buffer (rows packed, no padding).
//
// The converter writes straight into the buffer that will be delivered, so
// each frame is copied exactly once. It is rebuilt only when the source
// geometry or format changes.
#pragma once

#include <cstdint>

#include "ffmpeg/FFmpegPtr.h"

namespace zan {

class VideoConverter {
 public:
  // False when swscale cannot convert between the two formats or sizes.
  bool configure(int sourceWidth, int sourceHeight, AVPixelFormat sourceFormat, int outputWidth, int outputHeight,
                 AVPixelFormat outputFormat);
  bool matches(int sourceWidth, int sourceHeight, AVPixelFormat sourceFormat) const;
  bool ready() const { return context_ != nullptr; }

  // Bytes of one output picture.
  int outputSize() const { return outputSize_; }
  int outputWidth() const { return outputWidth_; }
  int outputHeight() const { return outputHeight_; }
  AVPixelFormat outputFormat() const { return outputFormat_; }

  // Converts a reference-counted frame into |output| (outputSize() bytes).
  bool convert(const AVFrame* source, uint8_t* output);
  // Converts a picture laid over plain memory (|source| holds sourceSize
  // bytes in the source format, rows packed) into |output|. |bottomUp|
  // reads the rows from the last to the first (packed RGB stored upside
  // down).
  bool convertRaw(const uint8_t* source, int sourceSize, uint8_t* output, bool bottomUp);

 private:
  bool scale(AVFrame* source, uint8_t* output);

  ff::SwsPtr context_;
  int sourceWidth_ = 0, sourceHeight_ = 0;
  AVPixelFormat sourceFormat_ = AV_PIX_FMT_NONE;
  int outputWidth_ = 0, outputHeight_ = 0;
  AVPixelFormat outputFormat_ = AV_PIX_FMT_NONE;
  int outputSize_ = 0;
};

}  // namespace zan
