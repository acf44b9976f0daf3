// Cuts a stream of interleaved signed 16-bit PCM into the frames an audio
// encoder takes: libswresample converts the sample rate, the channel count
// and the sample format (planar float for AAC, ...) to the encoder's, and a
// FIFO of converted samples hands out frames of exactly the encoder's frame
// size.
//
// One builder is one continuous stream: the resampler's filter history is
// kept from one push() to the next. At the end, finish() drains what the
// filter holds back and takeFrame(true) returns the last partial frame
// padded with silence to a whole frame, so no sample is lost.
//
// Not thread-safe: the encoder calls it under its write lock.
#pragma once

#include <cstdint>

#include "ffmpeg/FFmpegPtr.h"

extern "C" {
#include <libavutil/audio_fifo.h>
}

namespace zan {

class AudioFrameBuilder {
 public:
  // Samples per frame for encoders that take any frame size (PCM).
  static constexpr int kVariableFrameSize = 1024;

  // Prepares the conversion from |inChannels| channels at |inRate| to
  // |codec|'s layout, rate and sample format. False when FFmpeg refuses.
  bool open(int inChannels, int inRate, const AVCodecContext& codec);
  // The same for an encoder outside FFmpeg: its layout, sample format,
  // rate and frame size.
  bool open(int inChannels, int inRate, const AVChannelLayout& layout, AVSampleFormat format, int rate,
            int frameSize);
  bool isOpen() const { return resampler_ != nullptr; }
  // Forgets the conversion and every sample held.
  void close();
  // Drops the samples held (FIFO and filter history) but keeps the
  // conversion open.
  void reset();

  // Converts |frames| sample frames at |samples| and queues them. False on
  // a conversion failure.
  bool push(const uint8_t* samples, int frames);
  // Queues what the resampler's filter still holds (end of stream).
  bool finish();
  // The next whole frame; with |final| also a partial last frame, padded
  // with silence to a whole frame when |pad| is set, else as short as it is.
  // Null when there is none. The frame's pts is not set.
  ff::FramePtr takeFrame(bool final, bool pad = true);
  // Sample frames in the FIFO.
  int queued() const;
  int frameSize() const { return frameSize_; }

 private:
  struct FifoDeleter {
    void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
  };

  bool queueConverted(const uint8_t* const* in, int frames);

  ff::SwrPtr resampler_;
  std::unique_ptr<AVAudioFifo, FifoDeleter> fifo_;
  ff::FramePtr scratch_;  // converted samples before they enter the FIFO
  AVChannelLayout layout_{};
  AVSampleFormat format_ = AV_SAMPLE_FMT_NONE;
  int rate_ = 0;
  int inChannels_ = 0, inRate_ = 0;
  int frameSize_ = 0;
};

}  // namespace zan
