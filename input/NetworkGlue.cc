// FFMpegInput: deciding which media a progressive download serves, the
// FFmpeg input format a byte stream must be opened with (a stream cannot be
// probed by its name), and the byte callbacks through which the core's
// demuxer reads from and seeks in the HTTP client.
#include <cctype>
#include <cstring>

#include "encoder/profile/CodecTables.h"
#include "input/FFMpegInput.h"

namespace zan::streamer {

namespace {
const char* const kProgressiveExtensions[] = {"flv", "fla", "fll", "cgi", "mp3", "mkv", "mov"};

bool isWebProtocol(const std::string& protocol) { return protocol == "http://" || protocol == "https://"; }
}  // namespace

bool FFMpegInput::isProgressiveDownloadSupported(std::string protocol, std::string extension) {
  protocol = codecs::lowerClassic(protocol);
  extension = codecs::lowerClassic(extension);
  if (!isWebProtocol(protocol)) return false;
  for (const char* accepted : kProgressiveExtensions)
    if (extension == accepted) return true;
  return false;
}

bool FFMpegInput::isMMSHSupported(std::string protocol, std::string extension) {
  return isWebProtocol(codecs::lowerClassic(protocol)) && codecs::lowerClassic(extension) == "asf";
}

const char* FFMpegInput::getFFMpegFormatFromExtension(const char* extension) {
  if (extension == nullptr) return "";
  if (isDebugEnabled()) logDebug("FFMpegInput -- retrieving format for extension %s", extension);
  const std::string name = codecs::lowerClassic(extension);
  if (name == "cgi") return "mjpeg";
  if (name == "mkv") return "matroska";
  if (name == "fla" || name == "flv") return "flv";
  if (name == "mp4" || name == "mov" || name == "m4v") return "mov";
  if (name == "wma" || name == "wmv") return "asf";
  return extension;
}

int FFMpegInput::_HTTPReadCallback(void* opaque, uint8_t* buffer, int size) {
  return static_cast<FFMpegInput*>(opaque)->HTTPReadCallback(buffer, size);
}

int64_t FFMpegInput::_HTTPSeekCallback(void* opaque, int64_t offset, int whence) {
  return static_cast<FFMpegInput*>(opaque)->HTTPSeekCallback(offset, whence);
}

// The callbacks run inside the core, and the core reads only on behalf of
// an operation of this input that holds coreLock_ shared already (open,
// readFrame, setTimePosition, resetPosition): the client cannot be
// destroyed under them, and taking the lock again here would only put it
// behind the core's own lock.
int FFMpegInput::HTTPReadCallback(uint8_t* buffer, int size) {
  if (httpClient_ && running_) return httpClient_->read(buffer, size);
  logDebug("FFMpegInput::HTTPReadCallback not running!!!!!");
  return -1;
}

int64_t FFMpegInput::HTTPSeekCallback(int64_t offset, int whence) {
  if (!httpClient_ || !running_) {
    logDebug("FFMpegInput::HTTPSeekCallback not running!!!!!");
    return -1;
  }
  const int64_t pending = pendingSeekTime_;
  if (pending < 0) {
    const int64_t length = httpClient_->getContentLength();
    if (length > 0 && static_cast<uint64_t>(offset) >= static_cast<uint64_t>(length)) {
      // Answered as if it had succeeded, without moving the client.
      logDebug("HTTPClient::seek %d >= contentLength", static_cast<int>(offset));
      return offset;
    }
  }
  if (httpClient_->isIndirectStreaming()) {
    const int64_t length = httpClient_->getContentLength();
    if (length > 0 && static_cast<uint64_t>(offset) >= static_cast<uint64_t>(length - kTailMargin)) {
      // The end of a stream that is not served directly is refused.
      logDebug("HTTPClient::seek %d - tail requested", static_cast<int>(offset));
      return -1;
    }
  }
  return httpClient_->seek(offset, whence, pending);
}

}  // namespace zan::streamer
