// The network time-outs and their one test override. See NetworkTimeouts.h.
#include "support/NetworkTimeouts.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace zan {

namespace {

// The override in milliseconds, or 0 when absent or not a positive number
// that fits an int.
int overrideMs() {
  static const int value = [] {
    const char* text = std::getenv("ZAN_NETWORK_TIMEOUT_MS");
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed <= 0 || parsed > INT_MAX) return 0;
    return static_cast<int>(parsed);
  }();
  return value;
}

}  // namespace

int headerTimeoutMs() {
  const int value = overrideMs();
  return value > 0 ? value : kHeaderTimeoutMs;
}

int stallTimeoutMs() {
  const int value = overrideMs();
  return value > 0 ? value : kStallTimeoutMs;
}

}  // namespace zan
