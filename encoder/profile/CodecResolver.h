// Which part of this FFmpeg build serves a codec name.
//
// The engine speaks its own codec names ("h264", "aac", "mp3", "amr", ...)
// and the tables of CodecTables.h turn them into the classic FFmpeg names of
// the wrapper era ("libx264", "libfaac", "libamr_wb", ...). Some of those no
// longer exist: FAAC is replaced by FFmpeg's native AAC encoder, the AMR
// encoders by the project's own opencore-amrnb / vo-amrwbenc backends, and a
// decoder must be found for names that only ever named encoders ("libx264"
// decodes with "h264"). This module is the one place that knows these
// aliases; nothing else hard-codes them.
#pragma once

#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace zan::codecs {

enum class Backend {
  kFFmpeg,         // |codec| is an FFmpeg encoder or decoder of this build
  kOpenCoreAmrNb,  // the project's AMR narrowband encoder (libopencore-amrnb)
  kVoAmrWbEnc,     // the project's AMR wideband encoder (libvo-amrwbenc)
  kUnavailable,    // nothing here serves the name
};

struct Resolution {
  Backend backend = Backend::kUnavailable;
  const AVCodec* codec = nullptr;  // set for kFFmpeg
  std::string name;                // what serves it: FFmpeg's codec name or the backend's
  std::string requested;           // the name that was asked for

  bool available() const { return backend != Backend::kUnavailable; }
  // "not available" text for logs and errors.
  std::string describe() const;
};

// The decoder for an engine codec name (an input description's codec), via
// the decoder direction of the codec table. "wmv9" and "wmv7" find the WMV3
// and WMV1 decoders, which the table (made for encoding) folds into WMV8.
Resolution resolveDecoder(const std::string& engineName);

// The encoder for a classic FFmpeg codec name, as the streaming profile
// produces them ("libx264", "libfaac", "libmp3lame", "libamr_nb", ...).
Resolution resolveEncoder(const std::string& ffmpegName);

// The classic FFmpeg name of a codec identifier, the name the tables know
// ("flv" for Sorenson Spark, "libamr_nb"/"libamr_wb" for AMR, otherwise
// FFmpeg's codec name).
std::string classicCodecName(AVCodecID id);

// The engine's name for a codec identifier (classic name through the
// FFmpeg-to-engine table).
std::string engineCodecName(AVCodecID id);

// The engine's name for a demuxer: the first of its comma-separated names
// through the container table ("mov,mp4,m4a,..." -> "mov").
std::string engineFormatName(const AVInputFormat* format);

}  // namespace zan::codecs
