#include "encoder/AmrEncoder.h"

#include <iterator>

extern "C" {
#include <opencore-amrnb/interf_enc.h>
#include <vo-amrwbenc/enc_if.h>
}

namespace zan {

namespace {

// Mode bit rates, lowest mode first (the mode number is the index).
constexpr int kNarrowModes[] = {4750, 5150, 5900, 6700, 7400, 7950, 10200, 12200};
constexpr int kWideModes[] = {6600, 8850, 12650, 14250, 15850, 18250, 19850, 23050, 23850};

// The index of the highest mode that |bitrate| exceeds, else the lowest.
template <size_t N>
int modeIndex(const int (&modes)[N], int64_t bitrate) {
  for (int i = static_cast<int>(N) - 1; i > 0; --i)
    if (bitrate > modes[i]) return i;
  return 0;
}

// The largest coded frame: header byte and 477 bits of 23.85 kbit/s.
constexpr size_t kMaxFrame = 64;

}  // namespace

AmrEncoder::~AmrEncoder() { close(); }

int AmrEncoder::modeBitrate(Band band, int64_t bitrate) {
  return band == Band::kNarrow ? kNarrowModes[modeIndex(kNarrowModes, bitrate)]
                               : kWideModes[modeIndex(kWideModes, bitrate)];
}

bool AmrEncoder::open(Band band, int64_t bitrate) {
  close();
  band_ = band;
  mode_ = band == Band::kNarrow ? modeIndex(kNarrowModes, bitrate) : modeIndex(kWideModes, bitrate);
  bitrate_ = modeBitrate(band, bitrate);
  state_ = band == Band::kNarrow ? Encoder_Interface_init(0) : E_IF_init();
  return state_ != nullptr;
}

void AmrEncoder::close() {
  if (state_ == nullptr) return;
  if (band_ == Band::kNarrow) Encoder_Interface_exit(state_);
  else E_IF_exit(state_);
  state_ = nullptr;
}

std::vector<uint8_t> AmrEncoder::encode(const int16_t* samples) {
  std::vector<uint8_t> frame(kMaxFrame);
  if (state_ == nullptr) return {};
  const int size = band_ == Band::kNarrow
                       ? Encoder_Interface_Encode(state_, static_cast<Mode>(mode_), samples, frame.data(), 0)
                       : E_IF_encode(state_, mode_, samples, frame.data(), 0);
  if (size <= 0 || static_cast<size_t>(size) > frame.size()) return {};
  frame.resize(static_cast<size_t>(size));
  return frame;
}

}  // namespace zan
