// Why a medium could not be opened, in words a user can act on: "HTTP 404",
// "connection refused", "certificate not trusted", "redirect loop", "not a
// media stream", "no data for 30 s", ...
//
// FFmpeg answers most network failures with the same AVERROR(EIO) and says
// the reason only in its log. While an FFmpegLogCapture lives, the lines
// FFmpeg logs on the creating thread (every level, whatever the log level
// lets through to the console) are kept for describeOpenFailure. For that
// the library installs one FFmpeg log callback when it is loaded; it
// passes every message on to FFmpeg's default callback unchanged.
#pragma once

#include <string>
#include <vector>

namespace zan {

class FFmpegLogCapture {
 public:
  FFmpegLogCapture();
  ~FFmpegLogCapture();
  FFmpegLogCapture(const FFmpegLogCapture&) = delete;
  FFmpegLogCapture& operator=(const FFmpegLogCapture&) = delete;
  // The lines logged so far on this thread: the first 200, then up to 200
  // more warnings and errors.
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
  std::vector<std::string>* outer_;  // an enclosing capture of this thread, restored at the end
};

// The cause of a failed open from FFmpeg's result and what it logged
// meanwhile; never empty for a negative |result|.
std::string describeOpenFailure(int result, const std::vector<std::string>& logged);

// The cause of a network input given up because the server went silent for
// the network limit in force: "no response headers within N s" when no
// response had arrived, else "no data for N s".
std::string describeStall(bool responded);

}  // namespace zan
