#include "host/cli/StopSignal.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace zan::host {

namespace {

std::atomic<int> s_received{0};
static_assert(std::atomic<int>::is_always_lock_free, "read and written from a signal handler");

struct sigaction s_previousInterrupt, s_previousTerminate;

void onSignal(int number) {
  int none = 0;
  if (!s_received.compare_exchange_strong(none, number)) _exit(128 + number);
  // Only async-signal-safe calls here: write(2), no stdio.
  static const char kMessage[] = "\nzanstream: stopping, finishing the output (a second signal ends at once)\n";
  const ssize_t ignored = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  (void)ignored;
}

}  // namespace

StopSignal::StopSignal() {
  s_received = 0;
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted system calls restart: the command's threads are told by the
  // flag, not by a failing read.
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, &s_previousInterrupt);
  ::sigaction(SIGTERM, &action, &s_previousTerminate);
}

StopSignal::~StopSignal() {
  ::sigaction(SIGINT, &s_previousInterrupt, nullptr);
  ::sigaction(SIGTERM, &s_previousTerminate, nullptr);
}

int StopSignal::received() const { return s_received.load(); }

}  // namespace zan::host
