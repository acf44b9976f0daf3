// FFMpegInput: deciding which media a progressive download serves, and the
// FFmpeg input format a byte stream must be opened with (a stream cannot be
// probed by its name).
#include <cctype>
#include <cstring>

#include "encoder/CodecTables.h"
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

}  // namespace zan::streamer
