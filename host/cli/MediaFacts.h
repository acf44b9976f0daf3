// What a written file holds, read back through the library's own input
// plug-in with both streams passed through as stored (nothing is decoded):
// the frames per stream, the picture size and rate, and the codecs by their
// RFC 6381 names. The transcode command uses it for the frames it wrote and
// for what the HLS master playlist says of each rendition.
#pragma once

#include <cstdint>
#include <string>

#include "host/cli/PluginLibrary.h"

namespace zan::host {

struct MediaFacts {
  bool opened = false;
  // Frames with a time: the codec configuration an input hands out first,
  // as a packet without one, is not a frame.
  uint64_t audioFrames = 0, videoFrames = 0;
  int width = 0, height = 0;
  double frameRate = 0.0;  // as the video stream declares it; 0: not known
  // As the pictures come: one fewer than their count over the span of their
  // times (a reduced-rate stream may keep a finer declared grid); 0 with
  // fewer than two pictures.
  double pictureRate = 0.0;
  // "avc1.64001f", "mp4a.40.2", ...; empty for a codec without a name here.
  std::string videoCodec, audioCodec;
};

// Quiet: a file that does not open gives opened = false.
MediaFacts readMediaFacts(PluginLibrary& library, const std::string& path);

}  // namespace zan::host
