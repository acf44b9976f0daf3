// Sample-rate and channel-count conversion of interleaved signed 16-bit PCM
// with libswresample.
//
// One converter is one continuous stream: the resampling filter's history
// and the fractional position between input and output samples are kept
// from one convert() call to the next, so audio cut into packets comes out
// as if it had been converted in one piece. The filter holds back a few
// samples; flush() hands them out at the end of the stream.
//
// Not thread-safe: one thread at a time (the audio resampler guards it).
#pragma once

#include <cstdint>

#include "ffmpeg/FFmpegPtr.h"

namespace zan {

class PcmRateConverter {
 public:
  // Makes the libswresample context. False (and no context) when FFmpeg
  // refuses the parameters.
  bool open(int inChannels, int inRate, int outChannels, int outRate);
  bool isOpen() const { return context_ != nullptr; }
  // Forgets the context and everything it held back.
  void close() { context_.reset(); }

  // Upper bound of the frames the next convert(|inFrames|) or, with 0,
  // flush() can produce; negative on error.
  int maxOutputFrames(int inFrames);
  // Converts |inFrames| frames at |in| into at most |capacity| frames at
  // |out|; returns the frames produced, negative on error.
  int convert(const uint8_t* in, int inFrames, uint8_t* out, int capacity);
  // Drains the samples the filter held back at the end of a stream; open()
  // again before converting another one.
  int flush(uint8_t* out, int capacity);

  int outChannels() const { return outChannels_; }
  int outRate() const { return outRate_; }

 private:
  ff::SwrPtr context_;
  int outChannels_ = 0;
  int outRate_ = 0;
};

}  // namespace zan
