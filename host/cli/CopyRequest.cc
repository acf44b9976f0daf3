#include "host/cli/CopyRequest.h"

#include <cctype>
#include <set>
#include <utility>

#include "host/cli/InputSession.h"

namespace zan::host {

namespace {

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// What each target carries when copied, in the engine's codec names.
// RTP takes the payload formats the encoder cuts (H.264; AAC as LATM or
// MPEG-4 generic).
bool carries(const std::string& format, const std::string& codec) {
  static const std::set<std::pair<std::string, std::string>> kCarried = {
      {"flv", "h264"},    {"flv", "svq"},     {"flv", "aac"},    {"flv", "mp3"},
      {"mpegts", "h264"}, {"mpegts", "mpeg2"}, {"mpegts", "aac"}, {"mpegts", "mp3"}, {"mpegts", "mp2"},
      {"mp4", "h264"},    {"mp4", "aac"},     {"mp4", "mp3"},    {"3gp", "h264"},   {"3gp", "aac"},
      {"rtp", "h264"},    {"rtp", "aac"},     {"mp3", "mp3"},
  };
  return kCarried.count({lowered(format), lowered(codec)}) > 0;
}

}  // namespace

void requestCopies(const std::string& videoCodec, const std::string& audioCodec, MediumOptions& medium) {
  if (videoCodec == kCopyCodec) medium.skipVideo = true;
  if (audioCodec == kCopyCodec) medium.skipAudio = true;
}

bool resolveCopy(const std::string& requested, const std::string& sourceCodec, const std::string& format,
                 bool video, std::string& resolved, std::string& error) {
  resolved = requested;
  if (requested != kCopyCodec) return true;
  const char* kind = video ? "video" : "audio";
  if (sourceCodec.empty() || sourceCodec == "none") return error = std::string("--") + (video ? "v" : "a") +
                                                                   "codec copy: the source has no " + kind + " stream",
                                                       false;
  if (!carries(format, sourceCodec))
    return error = std::string("--") + (video ? "v" : "a") + "codec copy: " + format + " cannot carry the source's " +
                   kind + " codec " + sourceCodec,
           false;
  resolved = sourceCodec;
  return true;
}

}  // namespace zan::host
