// zanstream demux: feeds a file's bytes into the demuxer stage the way the
// engine feeds a multiplexed stream that arrives over the network: one
// thread writes the bytes as packets of a fixed size (then an end marker),
// the main thread describes the stage and reads decoded frames until the
// stream ends: init, getOutputStreamDescription, start, write/readFrame/
// freeFrame, stop, close. It prints the same per-stream summary as decode.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "host/cli/Command.h"
#include "host/cli/FrameSummary.h"
#include "host/cli/InputSession.h"
#include "host/cli/Options.h"
#include "host/cli/StageRun.h"
#include "host/records/Records.h"
#include "plugins/SimpleSamplePacket.h"

namespace zan::host {

const char kDemuxUsage[] =
    "usage: zanstream demux FILE [--format NAME] [--chunk BYTES] [--frames] [--json]\n"
    "\n"
    "Writes FILE's bytes into the FFMpegDemuxer stage as packets, from a thread of\n"
    "their own, while the main thread reads the decoded frames to the end.\n"
    "\n"
    "  --format NAME   FFmpeg's name of the stream format (default: FILE's\n"
    "                  extension; a name FFmpeg does not know means mpegts)\n"
    "  --chunk BYTES   bytes per packet (default 1316, seven transport packets)\n"
    "  --frames        print one line per frame: TYPE TIME_US DURATION_US SIZE KEY\n"
    "  --json          print the summary as one JSON object on the last line:\n"
    "                  {\"location\", \"audio\", \"video\", \"elapsed_ms\"}; each stream is\n"
    "                  {\"frames\", \"first_us\", \"last_us\", \"bytes\", \"key_frames\"}, or\n"
    "                  null when the stream lacks it\n"
    "\n"
    "Exit status: 0 on success, 1 when FILE cannot be read or the stage cannot\n"
    "demux it (its log, FFMpegDemuxer.log, says why), 2 for a usage error.\n";

namespace {

constexpr long long kDefaultChunk = 188 * 7;
constexpr long long kMaxChunk = 64LL * 1024 * 1024;

std::string extensionOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  const auto dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return path.substr(dot + 1);
}

// Writes the file in |chunk|-byte packets, then an end marker. Stops early
// when |cancel| is raised; |readError| tells whether reading failed.
void feed(streamer::TranscoderPluginInterface& stage, FILE* file, size_t chunk, const std::atomic<bool>& cancel,
          std::atomic<bool>& readError) {
  using streamer::SimpleSamplePacket;
  while (!cancel.load()) {
    auto* bytes = new uint8_t[chunk];
    const size_t got = std::fread(bytes, 1, chunk, file);
    if (got == 0) {
      delete[] bytes;
      if (std::ferror(file)) readError = true;
      break;
    }
    auto* packet = new SimpleSamplePacket();
    packet->set(streamer::PACKET_AUDIO, bytes, static_cast<unsigned>(got), streamer::kNoTime, 0, false);
    stage.write(packet);  // the stage takes the reference
  }
  stage.write(new SimpleSamplePacket());  // PACKET_END: the stream is complete
}

}  // namespace

int runDemux(PluginLibrary& library, const std::vector<std::string>& arguments) {
  Options options({"format", "chunk"}, {"frames", "json"});
  if (!options.parse(arguments)) return usageError("demux", options.error(), kDemuxUsage);
  if (options.positional().size() != 1)
    return usageError("demux", options.positional().empty() ? "missing FILE" : "one FILE only", kDemuxUsage);
  long long chunk = kDefaultChunk;
  if (!options.number("chunk", chunk, 1, kMaxChunk)) return usageError("demux", options.error(), kDemuxUsage);
  const std::string path = options.positional()[0];
  const std::string format = options.value("format", extensionOf(path));
  const bool asJson = options.has("json");
  const bool frameLines = options.has("frames");

  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) {
    std::fprintf(stderr, "zanstream demux: cannot read %s\n", path.c_str());
    return 1;
  }
  StagePtr stage = makeStage(library, "FFMpegDemuxer", "demux");
  if (!stage) return 1;

  Medium medium(path);
  TranscoderInput input;
  input.setStreamType(1);  // a multiplexed byte stream
  input.stream().setFormat(format.c_str());
  Requested requested;
  const streamer::PluginErrorCodes code = stage->init(&medium, &input, &requested, nullptr);
  if (code != streamer::PLUGIN_OK) {
    std::fprintf(stderr, "zanstream demux: the demuxer stage refused the stream (result %d)\n",
                 static_cast<int>(code));
    return 1;
  }

  const auto started = std::chrono::steady_clock::now();
  std::atomic<bool> cancel{false}, readError{false};
  std::thread writer([&] { feed(*stage, file.get(), static_cast<size_t>(chunk), cancel, readError); });

  StreamDescription output;
  stage->getOutputStreamDescription(&output);  // waits until the stream is open
  stage->start();
  FrameSummary summary(output.hasAudio(), output.hasVideo());
  readStageFrames(*stage, summary, frameLines);
  const auto elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
  // A writer still busy (the stream ended early or failed) drops the rest.
  cancel = true;
  stage->stop();
  writer.join();
  stage.reset();

  if (readError) {
    std::fprintf(stderr, "zanstream demux: reading %s failed\n", path.c_str());
    return 1;
  }
  if (!output.hasAudio() && !output.hasVideo()) {
    std::fprintf(stderr, "zanstream demux: %s could not be demuxed as '%s' (see FFMpegDemuxer.log)\n",
                 path.c_str(), format.c_str());
    return 1;
  }
  printRunSummary(asJson, "demuxed", path, "(" + format + ", " + std::to_string(chunk) + "-byte packets)", summary,
                  static_cast<long long>(elapsedMs));
  return 0;
}

}  // namespace zan::host
