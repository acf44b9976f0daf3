// Ctrl-C (SIGINT) and SIGTERM as a request to finish, the way a user of a
// transcoding tool expects: the first signal asks the running command to
// stop reading its input and to finish every output (trailers, the last
// segment, the playlists' end, RTCP BYE), as at the medium's end; a second
// one ends the process at once with 128 + the signal's number.
//
// One per process, made by the command that can finish cleanly; the
// previous handlers come back when it goes. requested() is safe from any
// thread (an atomic that the handler sets).
#pragma once

namespace zan::host {

class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // The signal that asked to stop, 0 while none did.
  int received() const;
  bool requested() const { return received() != 0; }
};

}  // namespace zan::host
