// What a written file holds, read back through the library's own input
// plug-in with both streams passed through as stored (nothing is decoded):
// the frames per stream and the picture size. The transcode command uses
// it for the frames it wrote and for each HLS rendition's resolution.
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
};

// Quiet: a file that does not open gives opened = false.
MediaFacts readMediaFacts(PluginLibrary& library, const std::string& path);

}  // namespace zan::host
