// Whether FFmpeg's own network reading has gone too long without a byte:
// the one deadline over a whole open or read, however many times FFmpeg's
// HTTP protocol reconnects or the demuxer seeks (each of which starts the
// protocol's own wait limit afresh).
//
// Polled from a format context's interrupt callback with the number of
// bytes the input has delivered so far. FFmpeg calls that callback at least
// every 100 ms while it waits for the network and not at all between
// operations; a gap longer than kIdleGap between polls is taken as the
// start of a new operation (time spent outside FFmpeg, a paused player, is
// no stall).
//
// Threads: used by one thread at a time, the one driving the format
// context (the decoder core's lock holder); no locking of its own.
#pragma once

#include <chrono>
#include <cstdint>

namespace zan {

class ReadDeadline {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kIdleGap = std::chrono::seconds(1);

  // A new open: nothing received yet, nothing tripped. |limit|: how long
  // the input may go without a byte.
  void start(Clock::duration limit, Clock::time_point now = Clock::now());
  // True when |bytes| (-1 before a response arrived) has not moved for the
  // limit. During the open it then stays true: one silence fails the whole
  // open, however FFmpeg retries. After endOpen() the limit starts again
  // for whatever FFmpeg does next, so a read that failed leaves a later
  // seek or read its own limit.
  bool stalled(int64_t bytes, Clock::time_point now = Clock::now());
  void endOpen() { opening_ = false; }

  // Whether a wait failed since start().
  bool tripped() const { return tripped_; }
  // Whether a response had arrived when the watch tripped.
  bool responded() const { return bytes_ >= 0; }

 private:
  Clock::duration limit_{};
  Clock::time_point progress_{};  // when |bytes_| last moved
  Clock::time_point polled_{};
  int64_t bytes_ = -1;
  bool tripped_ = false;
  bool opening_ = false;
};

}  // namespace zan
