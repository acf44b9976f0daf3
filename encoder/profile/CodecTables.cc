#include "encoder/profile/CodecTables.h"

#include <cctype>

namespace zan::codecs {

std::string lowerClassic(const std::string& text) {
  std::string lowered(text);
  // std::tolower of <cctype> uses the "C" locale unless the program called
  // setlocale, which this library never does; ASCII is lowered by hand to be
  // independent of the host's locale.
  for (char& c : lowered)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lowered;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && lowerClassic(a) == lowerClassic(b);
}

std::string engineToFFMpegCodecName(const std::string& name, bool forDecoder) {
  const std::string n = lowerClassic(name);
  if (n == "wmv9" || n == "wmv" || n == "wmv8" || n == "wmv7") return "wmv2";
  if (n == "wma") return "wmav2";
  if (n == "mp3") return forDecoder ? "mp3" : "libmp3lame";
  if (n == "aac") return "libfaac";
  if (n == "amr" || n == "libamr") return "libamr_wb";
  if (n == "amr_nb") return "libamr_nb";
  if (n == "mpeg2") return "mpeg2video";
  if (n == "svq") return "flv";
  if (n == "h264") return "libx264";
  return name;
}

std::string ffmpegToEngineCodecName(const std::string& name) {
  const std::string n = lowerClassic(name);
  if (n == "wmv3") return "wmv9";
  if (n == "wmv2") return "wmv8";
  if (n == "wmav2") return "wma";
  if (n == "libmp3lame") return "mp3";
  if (n == "libfaac") return "aac";
  if (n == "libamr_wb") return "amr";
  if (n == "libamr_nb") return "amr_nb";
  if (n == "mpeg2video") return "mpeg2";
  if (n == "flv") return "svq";
  return name;
}

std::string engineToFFMpegFormatName(const std::string& name) {
  auto contains = [&](const char* part) { return name.find(part) != std::string::npos; };
  if (contains("mov") || contains("m4v") || contains("mp4") || contains("m4a")) return "mov";
  if (contains("asf") || contains("wmv") || contains("wma")) return "asf";
  return name;
}

AVPixelFormat ffmpegPixelFormat(int engineCode) {
  switch (engineCode) {
    case kPixelRGB24: return AV_PIX_FMT_RGB24;
    case kPixelBGR24: return AV_PIX_FMT_BGR24;
    case kPixelRGB32: return AV_PIX_FMT_RGB32;
    case kPixelBGR32: return AV_PIX_FMT_BGR32;
    case kPixelYUV420P: return AV_PIX_FMT_YUV420P;
    case kPixelYUYV422: return AV_PIX_FMT_YUYV422;
    default: return AV_PIX_FMT_NONE;
  }
}

int bitsPerPixel(int engineCode) {
  switch (engineCode) {
    case kPixelRGB24:
    case kPixelBGR24: return 24;
    case kPixelRGB32:
    case kPixelBGR32: return 32;
    case kPixelYUV420P: return 12;
    case kPixelYUYV422: return 16;
    default: return 0;
  }
}

bool isBottomUpCapable(int engineCode) { return engineCode >= kPixelRGB24 && engineCode <= kPixelBGR32; }

}  // namespace zan::codecs
