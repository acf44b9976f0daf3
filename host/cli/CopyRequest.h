// `--vcodec copy` / `--acodec copy` of zanstream transcode: the stream is
// read compressed (the input's skip option) and the encoder is asked for
// the source's own codec, which its profile then copies instead of
// encoding. A container that cannot carry the source's codec is refused
// here, before anything is written, naming both.
#pragma once

#include <string>

namespace zan::host {

struct MediumOptions;

inline constexpr const char* kCopyCodec = "copy";

// Marks the streams asked to be copied as passed through compressed.
void requestCopies(const std::string& videoCodec, const std::string& audioCodec, MediumOptions& medium);

// The codec name the encoder is asked for: |requested|, or for "copy" the
// source's |sourceCodec| (engine names). False with |error| set when the
// source has no such stream, or |format| (flv, mpegts, mp4, rtp, ...)
// cannot carry it.
bool resolveCopy(const std::string& requested, const std::string& sourceCodec, const std::string& format,
                 bool video, std::string& resolved, std::string& error);

}  // namespace zan::host
