// The AMR speech encoders, which this platform's FFmpeg lacks: narrowband
// with opencore-amrnb, wideband with vo-amrwbenc, called directly. The
// encoder stage uses them where it would open an FFmpeg audio encoder.
//
// Both take mono 16-bit frames of 20 ms (160 samples at 8 kHz, 320 at
// 16 kHz) and give one frame in the storage format: a frame header byte
// (the mode and the quality bit) followed by the speech bits. A bit rate
// snaps down to the highest mode it exceeds.
//
// Not thread-safe: one encoder per stream, driven under the stage's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace zan {

class AmrEncoder {
 public:
  enum class Band { kNarrow, kWide };

  AmrEncoder() = default;
  ~AmrEncoder();
  AmrEncoder(const AmrEncoder&) = delete;
  AmrEncoder& operator=(const AmrEncoder&) = delete;

  // The mode bit rate |bitrate| snaps to.
  static int modeBitrate(Band band, int64_t bitrate);

  // False when the library cannot make an encoder.
  bool open(Band band, int64_t bitrate);
  int sampleRate() const { return band_ == Band::kNarrow ? 8000 : 16000; }
  int frameSize() const { return band_ == Band::kNarrow ? 160 : 320; }
  int bitrate() const { return bitrate_; }
  AVCodecID codecId() const { return band_ == Band::kNarrow ? AV_CODEC_ID_AMR_NB : AV_CODEC_ID_AMR_WB; }

  // Encodes frameSize() samples; the coded frame, empty on failure.
  std::vector<uint8_t> encode(const int16_t* samples);

 private:
  void close();

  Band band_ = Band::kNarrow;
  int mode_ = 0;
  int bitrate_ = 0;
  void* state_ = nullptr;
};

}  // namespace zan
