#include "host/cli/ProgressLine.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>

namespace zan::host {

namespace {
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
}

ProgressLine::ProgressLine(bool enabled) : shown_(enabled && isatty(STDERR_FILENO) == 1) {}

ProgressLine::~ProgressLine() { clear(); }

void ProgressLine::update(uint64_t positionMs, uint64_t durationMs, uint64_t frames) {
  if (!shown_) return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  drawn_ = true;
  const double position = static_cast<double>(positionMs) / 1000.0;
  // "\r" returns to the start of the line and "\033[K" erases what a longer
  // earlier text left behind.
  if (durationMs > 0) {
    const double duration = static_cast<double>(durationMs) / 1000.0;
    const double percent = positionMs >= durationMs ? 100.0 : 100.0 * position / duration;
    std::fprintf(stderr, "\r\033[K%8.1f s / %.1f s  %5.1f %%  %" PRIu64 " frames", position, duration, percent,
                 frames);
  } else {
    std::fprintf(stderr, "\r\033[K%8.1f s  %" PRIu64 " frames", position, frames);
  }
  std::fflush(stderr);
}

void ProgressLine::clear() {
  if (!shown_ || !drawn_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  drawn_ = false;
}

}  // namespace zan::host
