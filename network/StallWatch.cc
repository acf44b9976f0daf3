#include "network/StallWatch.h"

#include <algorithm>

namespace zan {

StallWatch::StallWatch(int limitMs, std::function<bool()> watching, std::function<void()> onStall)
    : m_limitMs(limitMs), m_watching(std::move(watching)), m_onStall(std::move(onStall)) {
  progress();
  m_timer.setInterval(std::clamp(std::max(limitMs, 1) / 5, 10, 1000));
  QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { check(); }, Qt::DirectConnection);
  m_timer.start();
}

void StallWatch::check() {
  if (!m_watching()) return;
  if (std::chrono::steady_clock::now() - m_lastProgress < std::chrono::milliseconds(m_limitMs)) return;
  m_timer.stop();
  m_onStall();
}

}  // namespace zan
