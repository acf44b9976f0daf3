#include "core/OpenFailure.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <set>

#include "core/FFMpegDecoderCore.h"
#include "support/NetworkTimeouts.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace zan {

namespace {

constexpr size_t kMaxCapturedLines = 200;

thread_local std::vector<std::string>* t_capture = nullptr;

void captureCallback(void* context, int level, const char* format, va_list arguments) {
  // Past the first lines only warnings and errors are kept: the causes a
  // demuxer states late (after pages of index tracing) are among them.
  const auto keep = [level](size_t kept) {
    return kept < kMaxCapturedLines || (level <= AV_LOG_WARNING && kept < 2 * kMaxCapturedLines);
  };
  if (std::vector<std::string>* capture = t_capture; capture != nullptr && keep(capture->size())) {
    va_list copy;
    va_copy(copy, arguments);
    char line[1024];
    int printPrefix = 0;
    if (av_log_format_line2(context, level, format, copy, line, sizeof line, &printPrefix) >= 0)
      capture->emplace_back(line);
    va_end(copy);
  }
  // FFmpeg's informational chatter (encoder statistics, banners) would
  // otherwise land on the host's standard error; warnings and errors still
  // do, as FFmpeg prints them.
  if (level <= AV_LOG_WARNING) av_log_default_callback(context, level, format, arguments);
}

// Installed while the library loads, before any thread of it can log.
const bool g_callbackInstalled = [] {
  av_log_set_callback(captureCallback);
  return true;
}();

bool anyContains(const std::vector<std::string>& lines, const char* text) {
  for (const std::string& line : lines)
    if (line.find(text) != std::string::npos) return true;
  return false;
}

// FFmpeg's HTTP client logs "HTTP error 404 Not Found" before it fails.
int loggedHttpStatus(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    const auto at = line.find("HTTP error ");
    int status = 0;
    if (at != std::string::npos && std::sscanf(line.c_str() + at, "HTTP error %d", &status) == 1) return status;
  }
  return 0;
}

// Redirects FFmpeg followed: its HTTP client traces every response header
// ("header='Location: /b'"); a loop names one target twice.
std::string redirectFailure(const std::vector<std::string>& lines) {
  std::set<std::string> targets;
  bool repeated = false;
  for (const std::string& line : lines) {
    std::string lower = line;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto at = lower.find("header='location:");
    if (at == std::string::npos) continue;
    if (!targets.insert(line.substr(at)).second) repeated = true;
  }
  if (targets.empty()) return {};
  return repeated ? "redirect loop" : "too many redirects";
}

}  // namespace

FFmpegLogCapture::FFmpegLogCapture() : outer_(t_capture) {
  (void)g_callbackInstalled;
  t_capture = &lines_;
}

FFmpegLogCapture::~FFmpegLogCapture() {
  if (outer_ != nullptr) outer_->insert(outer_->end(), lines_.begin(), lines_.end());
  t_capture = outer_;
}

std::string describeOpenFailure(int result, const std::vector<std::string>& logged) {
  // The TLS layer refuses the peer before HTTP says anything.
  if (anyContains(logged, "verify peer certificate") || anyContains(logged, "Peer certificate failed verification") ||
      anyContains(logged, "certificate's owner does not match") || anyContains(logged, "certificate verify failed"))
    return "certificate not trusted";
  switch (result) {
    case AVERROR_HTTP_BAD_REQUEST: return "HTTP 400";
    case AVERROR_HTTP_UNAUTHORIZED: return "HTTP 401";
    case AVERROR_HTTP_FORBIDDEN: return "HTTP 403";
    case AVERROR_HTTP_NOT_FOUND: return "HTTP 404";
    case AVERROR_HTTP_OTHER_4XX:
    case AVERROR_HTTP_SERVER_ERROR: {
      const int status = loggedHttpStatus(logged);
      if (status > 0) return "HTTP " + std::to_string(status);
      return result == AVERROR_HTTP_SERVER_ERROR ? "HTTP 5xx" : "HTTP 4xx";
    }
    case AVERROR(ECONNREFUSED): return "connection refused";
    // The limit the open was given (see locationOpenOptions).
    case AVERROR(ETIMEDOUT): return describeStall(false);
    case AVERROR(ENOENT): return "no such file";
    case AVERROR(EACCES): return "permission denied";
    case AVERROR(ENETUNREACH):
    case AVERROR(EHOSTUNREACH): return "host unreachable";
    case AVERROR_INVALIDDATA:
    case AVERROR_DEMUXER_NOT_FOUND:
    case AVERROR_STREAM_NOT_FOUND:
    case kNoUsableStream:
      // The MP4 demuxer read the index at the end by reading through the
      // samples, then could not go back to them: a server without ranges.
      if (anyContains(logged, ": partial file"))
        return "the index (moov) is at the end of the file and the server cannot seek";
      return "not a media stream";
    case AVERROR_PROTOCOL_NOT_FOUND: return "unsupported protocol";
    default: break;
  }
  if (anyContains(logged, "Failed to resolve hostname")) return "host not found";
  const std::string redirects = redirectFailure(logged);
  if (result == AVERROR(EIO) && !redirects.empty()) return redirects;
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(result, text, sizeof text);
  return text;
}

std::string describeStall(bool responded) {
  const int ms = stallTimeoutMs();
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, ms % 1000 == 0 ? "%.0f" : "%.1f", ms / 1000.0);
  return std::string(responded ? "no data for " : "no response headers within ") + seconds + " s";
}

}  // namespace zan
