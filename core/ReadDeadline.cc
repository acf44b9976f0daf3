#include "core/ReadDeadline.h"

namespace zan {

void ReadDeadline::start(Clock::duration limit, Clock::time_point now) {
  limit_ = limit;
  progress_ = polled_ = now;
  bytes_ = -1;
  tripped_ = false;
  opening_ = true;
}

bool ReadDeadline::stalled(int64_t bytes, Clock::time_point now) {
  if (opening_ && tripped_) return true;
  if (now - polled_ > kIdleGap) {
    // A new operation after time outside FFmpeg: the wait starts now.
    progress_ = now;
  }
  polled_ = now;
  if (bytes != bytes_) {
    bytes_ = bytes;
    progress_ = now;
  }
  if (now - progress_ < limit_) return false;
  // This wait fails; after the open the next one (a seek back to what
  // arrived, another read) gets a limit of its own.
  tripped_ = true;
  progress_ = now;
  return true;
}

}  // namespace zan
