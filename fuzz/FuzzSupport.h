// Shared pieces of the fuzz targets: quiet logs, a reader of fuzz input,
// and a touch of every byte handed out so that AddressSanitizer checks the
// whole extent a frame claims.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

// A failed expectation of a target: says which, then aborts (a finding).
#define FUZZ_CHECK(condition)                                                                   \
  do {                                                                                          \
    if (!(condition)) {                                                                         \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);      \
      std::abort();                                                                             \
    }                                                                                           \
  } while (0)

namespace zan::fuzz {

// FFmpeg's AVSEEK_SIZE: "how large is the stream", not a move.
inline constexpr int kAvSeekSize = 0x10000;

// FFmpeg prints nothing; the library's logs go below the system's temporary
// folder unless the runner says where.
inline void quietLogging() {
  av_log_set_level(AV_LOG_QUIET);
  setenv("ZAN_APPDATA", "/tmp/zan-fuzz-appdata", 0);
  setenv("ZAN_REGISTRY_ROOT", "/tmp/zan-fuzz-registry", 0);
}

inline void touch(const uint8_t* data, unsigned size) {
  volatile uint8_t sum = 0;
  for (unsigned i = 0; i < size; ++i) sum = sum + data[i];
  (void)sum;
}

// Takes values off the front of the fuzz input; zeros once it is used up.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  size_t left() const { return size_ - at_; }
  uint64_t take(int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | (at_ < size_ ? data_[at_++] : 0);
    return value;
  }
  // Up to |count| bytes (fewer at the end of the input).
  const uint8_t* bytes(size_t& count) {
    if (count > left()) count = left();
    const uint8_t* start = data_ + at_;
    at_ += count;
    return start;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace zan::fuzz
