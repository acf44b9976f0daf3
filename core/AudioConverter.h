// Turns decoded audio frames into interleaved integer PCM, the only form
// the engine and the downstream stages understand: unsigned 8-bit stays
// 8-bit, 16-bit stays 16-bit, and everything else (32-bit integer, float,
// double, planar or not) becomes signed 32-bit. Rate and channel count are
// kept; a stream whose channel count changes midway is mixed to the count
// it was described with, since the engine reads every block with that
// count. Frames that are already in the delivered form are copied as they
// are; the others go through libswresample.
#pragma once

#include <cstdint>
#include <vector>

#include "ffmpeg/FFmpegPtr.h"

namespace zan {

class AudioConverter {
 public:
  // The delivered sample format for a decoder's sample format.
  static AVSampleFormat deliveredFormat(AVSampleFormat decoded);
  static int deliveredBits(AVSampleFormat decoded);

  // |channels|: the delivered channel count; 0 keeps each frame's own.
  explicit AudioConverter(AVSampleFormat delivered, int channels = 0) : delivered_(delivered), channels_(channels) {}
  ~AudioConverter();
  AudioConverter(const AudioConverter&) = delete;
  AudioConverter& operator=(const AudioConverter&) = delete;

  // Appends the frame's samples to |out|; false when the frame cannot be
  // converted (it is then skipped).
  bool append(const AVFrame* frame, std::vector<uint8_t>& out);

  AVSampleFormat delivered() const { return delivered_; }

 private:
  bool configure(const AVFrame* frame);

  const AVSampleFormat delivered_;
  const int channels_;
  ff::SwrPtr resampler_;
  AVSampleFormat inputFormat_ = AV_SAMPLE_FMT_NONE;
  int inputRate_ = 0;
  AVChannelLayout inputLayout_{};
};

}  // namespace zan
