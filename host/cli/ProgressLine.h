// A one-line progress display on standard error for long runs: position
// against duration, rewritten in place at most a few times a second. It is
// shown only when standard error is a terminal, so logs and pipes get no
// carriage returns.
#pragma once

#include <chrono>
#include <cstdint>

namespace zan::host {

class ProgressLine {
 public:
  // Shown when |enabled| and standard error is a terminal.
  explicit ProgressLine(bool enabled);
  ~ProgressLine();  // clears the line

  bool shown() const { return shown_; }
  // |durationMs| 0 means unknown: only the position is shown.
  void update(uint64_t positionMs, uint64_t durationMs, uint64_t frames);
  // Removes the line, e.g. before printing something else to stderr.
  void clear();

 private:
  bool shown_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace zan::host
