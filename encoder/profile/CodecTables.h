// The name tables between the engine's vocabulary and the classic FFmpeg
// names (codecs and containers), and the engine's pixel-format codes.
//
// Codec names compare without regard to case (each character lowered with
// the classic "C" locale); container names use plain, case-sensitive
// substring search. Which encoder or decoder of this FFmpeg build serves a
// name is decided by CodecResolver.h, not here.
#pragma once

#include <string>

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace zan::codecs {

// Lowers every character with the classic locale.
std::string lowerClassic(const std::string& text);
bool equalsIgnoreCase(const std::string& a, const std::string& b);

// Engine codec name to the classic FFmpeg codec name: "h264" -> "libx264",
// "aac" -> "libfaac", "mp3" -> "libmp3lame" (or "mp3" for a decoder), ...
// Any other name comes back unchanged.
std::string engineToFFMpegCodecName(const std::string& name, bool forDecoder);

// Classic FFmpeg codec name to the engine's: "libx264" is not mapped back
// (it stays), "libmp3lame" -> "mp3", "wmv2" -> "wmv8", "flv" -> "svq", ...
std::string ffmpegToEngineCodecName(const std::string& name);

// Engine container name to the FFmpeg format name: names containing "mov",
// "m4v", "mp4" or "m4a" become "mov"; "asf", "wmv" or "wma" become "asf".
std::string engineToFFMpegFormatName(const std::string& name);

// The engine's pixel-format codes.
enum EnginePixelFormat : int {
  kPixelRGB24 = 0,
  kPixelBGR24 = 1,
  kPixelRGB32 = 2,
  kPixelBGR32 = 3,
  kPixelYUV420P = 4,
  kPixelYUYV422 = 5,
};

// The FFmpeg format of an engine code, AV_PIX_FMT_NONE for unknown codes.
AVPixelFormat ffmpegPixelFormat(int engineCode);
// Bits per pixel of an engine code (12 for YUV 4:2:0, 16 for YUYV 4:2:2,
// 24 or 32 for the RGB codes); 0 for unknown codes.
int bitsPerPixel(int engineCode);
// True for the packed RGB codes, whose pictures are stored bottom-up when
// the layout value is <= 0.
bool isBottomUpCapable(int engineCode);

}  // namespace zan::codecs
