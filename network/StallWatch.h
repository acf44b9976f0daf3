// The stall limit of a response body: a body that brings no byte for the
// limit is given up. Lives on the handler's worker thread (its timer fires
// there) for the span of one exchange.
//
// Checked a few times per limit, so a stall is noticed at most a fifth of
// the limit late. Time the consumer keeps the body waiting is no stall of
// the server: the owner calls progress() when the consumer returns too.
#pragma once

#include <QTimer>

#include <chrono>
#include <functional>

namespace zan {

class StallWatch {
 public:
  // Starts watching now. While |watching()| holds and progress() has not
  // been called for |limitMs|, |onStall| runs once and the watch stops.
  StallWatch(int limitMs, std::function<bool()> watching, std::function<void()> onStall);
  StallWatch(const StallWatch&) = delete;
  StallWatch& operator=(const StallWatch&) = delete;

  // The body moved on (or the consumer let go of it): the clock restarts.
  void progress() { m_lastProgress = std::chrono::steady_clock::now(); }
  int limitMs() const { return m_limitMs; }

 private:
  void check();

  const int m_limitMs;
  const std::function<bool()> m_watching;
  const std::function<void()> m_onStall;
  std::chrono::steady_clock::time_point m_lastProgress;
  QTimer m_timer;
};

}  // namespace zan
