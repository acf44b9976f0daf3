// What the demux and redecode commands share: a transcoder stage obtained
// from the library's factory and held as the engine holds one (closed, then
// deleted), and the summary both print when the stream has been read.
#pragma once

#include <memory>
#include <string>

#include "host/cli/FrameSummary.h"
#include "host/cli/PluginLibrary.h"

namespace zan::host {

struct StageCloser {
  void operator()(streamer::TranscoderPluginInterface* stage) const;
};
using StagePtr = std::unique_ptr<streamer::TranscoderPluginInterface, StageCloser>;

// The stage the library answers for |name|; null (with a message on stderr
// naming |command|) when it answers none.
StagePtr makeStage(PluginLibrary& library, const char* name, const char* command);

// Reads frames from |stage| until it has no more or delivers the end
// marker, handing each back at once, counting it in |summary| and, with
// |frameLines|, printing its frame line.
void readStageFrames(streamer::TranscoderPluginInterface& stage, FrameSummary& summary, bool frameLines);

// With |json|, one object {"location", "audio", "video", "elapsed_ms"} on one
// line; otherwise "VERB LOCATION DETAIL" and the per-stream lines of decode.
void printRunSummary(bool json, const char* verb, const std::string& location, const std::string& detail,
                     const FrameSummary& summary, long long elapsedMs);

}  // namespace zan::host
