// zanstream redecode: chains the input plug-in and the decoder stage the way
// the engine does when it decodes in a stage of its own. The input opens the
// medium with both kinds passed through compressed; a writer thread reads
// its frames and writes them into FFMpegDecoder as packets, while the main
// thread reads the decoded frames back. The decoder is set up from the
// input's description of the stored streams and asked for raw output. It
// prints the same per-stream summary as decode.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "host/cli/Command.h"
#include "host/cli/FrameSummary.h"
#include "host/cli/InputSession.h"
#include "host/cli/Options.h"
#include "host/cli/StageRun.h"
#include "host/records/Records.h"
#include "plugins/SimpleSamplePacket.h"

namespace zan::host {

const char kRedecodeUsage[] =
    "usage: zanstream redecode LOCATION [--frames] [--json] [--duration MS]\n"
    "                          [--extension EXT]\n"
    "\n"
    "Opens LOCATION with the input plug-in, passing both kinds through compressed,\n"
    "writes the compressed frames into the FFMpegDecoder stage from a thread of\n"
    "their own and reads the decoded frames to the end.\n"
    "\n"
    "  --frames         print one line per decoded frame: TYPE TIME_US DURATION_US\n"
    "                   SIZE KEY\n"
    "  --json           print the summary as one JSON object on the last line:\n"
    "                   {\"location\", \"audio\", \"video\", \"elapsed_ms\"}; each stream is\n"
    "                   {\"frames\", \"first_us\", \"last_us\", \"bytes\", \"key_frames\"}, or\n"
    "                   null when the decoder delivers no such stream\n"
    "  --duration MS    the duration the engine knows for the medium\n"
    "  --extension EXT  the medium's extension (default: taken from LOCATION)\n"
    "\n"
    "Exit status: 0 on success, 1 when the medium does not open ('error CODE:\n"
    "MESSAGE') or the decoder stage cannot decode its streams (FFMpegDecoder.log\n"
    "says why), 2 for a usage error.\n";

namespace {

// Reads the input's compressed frames and writes each as a packet of its
// own, then an end marker. Stops early when |cancel| is raised.
void feed(streamer::InputPluginInterface& input, streamer::TranscoderPluginInterface& decoder,
          const std::atomic<bool>& cancel) {
  using streamer::SimpleSamplePacket;
  while (!cancel.load()) {
    streamer::PACKETTYPE type = streamer::PACKET_END;
    uint8_t* data = nullptr;
    unsigned size = 0;
    uint64_t time = streamer::kNoTime, duration = 0;
    void* frameContext = nullptr;
    bool keyFrame = false;
    if (!input.readFrame(type, data, size, time, duration, frameContext, keyFrame)) break;
    uint8_t* copy = nullptr;
    if (size > 0) {
      copy = new uint8_t[size];
      std::memcpy(copy, data, size);
    }
    input.freeFrame(data, frameContext);
    auto* packet = new SimpleSamplePacket();
    packet->set(type, copy, size, time, duration, keyFrame);
    decoder.write(packet);  // the stage takes the reference
  }
  decoder.write(new SimpleSamplePacket());  // PACKET_END: nothing more comes
}

}  // namespace

int runRedecode(PluginLibrary& library, const std::vector<std::string>& arguments) {
  Options options({"duration", "extension"}, {"frames", "json"});
  if (!options.parse(arguments)) return usageError("redecode", options.error(), kRedecodeUsage);
  MediumOptions mediumOptions;
  std::string error;
  if (!mediumOptions.read(options, error)) return usageError("redecode", error, kRedecodeUsage);
  mediumOptions.skipAudio = mediumOptions.skipVideo = true;
  const bool asJson = options.has("json");
  const bool frameLines = options.has("frames");

  InputSession session(library);
  if (!session.available()) return inputUnavailable("redecode");
  if (!session.open(mediumOptions)) return 1;
  Descriptions descriptions;
  session.describe(descriptions);
  const StreamDescription& stored = descriptions.input;

  StagePtr decoder = makeStage(library, "FFMpegDecoder", "redecode");
  if (!decoder) return 1;
  // The decoder learns the stored codecs from the input's description and is
  // asked for raw pictures (packed YUV 4:2:2 at the stored size) and raw
  // sound.
  TranscoderInput input;
  input.stream().setFormat(stored.getFormat());
  if (stored.hasVideo()) copyVideo(*stored.getVideo(), input.stream().video());
  if (stored.hasAudio()) copyAudio(*stored.getAudio(), input.stream().audio());
  Requested requested;
  requested.target().video().setCodec("raw");
  requested.target().video().setPixelFormat(5);
  requested.target().audio().setCodec("raw");
  const streamer::PluginErrorCodes code = decoder->init(descriptions.medium.get(), &input, &requested, nullptr);
  if (code != streamer::PLUGIN_OK) {
    std::fprintf(stderr, "zanstream redecode: the decoder stage cannot decode %s%s%s (result %d; see "
                 "FFMpegDecoder.log)\n",
                 stored.hasVideo() ? stored.getVideo()->getCodec() : "",
                 stored.hasVideo() && stored.hasAudio() ? " + " : "",
                 stored.hasAudio() ? stored.getAudio()->getCodec() : "", static_cast<int>(code));
    return 1;
  }
  StreamDescription output;
  decoder->getOutputStreamDescription(&output);
  decoder->start();

  const auto started = std::chrono::steady_clock::now();
  std::atomic<bool> cancel{false};
  streamer::InputPluginInterface& source = session.input();
  source.start();
  std::thread writer([&] { feed(source, *decoder, cancel); });

  FrameSummary summary(output.hasAudio(), output.hasVideo());
  readStageFrames(*decoder, summary, frameLines);
  const auto elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
  // A writer still busy (the decoder gave up early) drops the rest.
  cancel = true;
  decoder->stop();
  writer.join();
  source.stop();
  decoder.reset();
  session.close();

  printRunSummary(asJson, "redecoded", mediumOptions.location, "", summary, static_cast<long long>(elapsedMs));
  return 0;
}

}  // namespace zan::host
