// zanstream decode: opens a medium with the input plug-in and pulls its
// frames to the end, the way the engine drives an input:
// setInputEventCallback, skip requests, open, describe, decoding mode,
// start, optional time seek and position reset, readFrame/freeFrame until
// the input has no more, stop, close. It prints a per-stream summary (or
// one line per frame) and can store the pictures as Y4M and the sound as
// WAV.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "host/cli/Command.h"
#include "host/cli/FrameSummary.h"
#include "host/cli/InputSession.h"
#include "host/cli/Options.h"
#include "host/cli/ProgressLine.h"
#include "host/cli/WavWriter.h"
#include "host/cli/Y4mWriter.h"

namespace zan::host {

const char kDecodeUsage[] =
    "usage: zanstream decode LOCATION [--seek MS] [--reset MS] [--max-frames N]\n"
    "                        [--frames] [--json] [--video-out FILE] [--audio-out FILE]\n"
    "                        [--skip-audio] [--skip-video] [--mode all|key|none]\n"
    "                        [--duration MS] [--extension EXT] [--buffer-status]\n"
    "\n"
    "Opens LOCATION with the input plug-in and reads its frames to the end.\n"
    "\n"
    "  --seek MS        after start, seek to MS milliseconds (setTimePosition)\n"
    "  --reset MS       after start (and after --seek), reset the position to MS\n"
    "                   milliseconds (resetPosition)\n"
    "  --max-frames N   stop after N frames (audio and video together)\n"
    "  --frames         print one line per frame: TYPE TIME_US DURATION_US SIZE KEY\n"
    "                   (TYPE audio or video, 'nopts' for no time, KEY 1 or 0)\n"
    "  --json           print the summary as one JSON object on the last line:\n"
    "                   {\"location\", \"audio\", \"video\", \"elapsed_ms\", \"position_ms\",\n"
    "                   \"events\"}; each stream is {\"frames\", \"first_us\", \"last_us\",\n"
    "                   \"bytes\", \"key_frames\"}, or null when the medium lacks it\n"
    "  --video-out FILE store the pictures as YUV4MPEG2 (planar 4:2:2, 'C422')\n"
    "  --audio-out FILE store the sound as a WAV file (integer PCM as delivered)\n"
    "  --skip-audio     deliver the audio as stored (compressed); no --audio-out\n"
    "  --skip-video     deliver the video as stored (compressed); no --video-out\n"
    "  --mode MODE      video decoding: all (default), key (key frames only) or\n"
    "                   none (no pictures)\n"
    "  --duration MS    the duration the engine knows for the medium\n"
    "  --extension EXT  the medium's extension (default: taken from LOCATION)\n"
    "  --buffer-status  every half second, print the network buffer to stderr:\n"
    "                   'buffer READ HISTORY_START BUFFERED_END CONTENT_LENGTH'\n"
    "                   (byte positions of getInputBufferStatus; network media only)\n"
    "\n"
    "On a terminal a progress line is shown on stderr. Download events of network\n"
    "media (INPUT_END_OF_FILE, INPUT_BROKEN_STREAM) are printed to stderr and\n"
    "listed in the summary.\n"
    "\n"
    "Exit status: 0 on success, 1 when the medium does not open ('error CODE:\n"
    "MESSAGE (CAUSE)') or has no audio or video stream, a seek or reset fails,\n"
    "nothing is decoded after a seek, the download broke off (what arrived is\n"
    "decoded and kept) or an output file cannot be written, 2 for a usage error.\n";

namespace {

struct DecodeRequest {
  MediumOptions medium;
  std::optional<uint64_t> seekMs, resetMs;
  uint64_t maxFrames = 0;  // 0: no limit
  bool frames = false, json = false, bufferStatus = false;
  std::string videoOut, audioOut;
  std::optional<streamer::DecodingMode::DecodingMode> mode;
};

// Parses the arguments; false with |error| set.
bool readRequest(const std::vector<std::string>& arguments, DecodeRequest& request, std::string& error) {
  Options options({"seek", "reset", "max-frames", "video-out", "audio-out", "mode", "duration", "extension"},
                  {"frames", "json", "skip-audio", "skip-video", "buffer-status"});
  if (!options.parse(arguments)) {
    error = options.error();
    return false;
  }
  if (!request.medium.read(options, error)) return false;
  long long number = 0;
  if (options.has("seek")) {
    if (!options.number("seek", number, 0, LLONG_MAX)) return error = options.error(), false;
    request.seekMs = static_cast<uint64_t>(number);
  }
  if (options.has("reset")) {
    if (!options.number("reset", number, 0, LLONG_MAX)) return error = options.error(), false;
    request.resetMs = static_cast<uint64_t>(number);
  }
  if (options.has("max-frames")) {
    if (!options.number("max-frames", number, 1, LLONG_MAX)) return error = options.error(), false;
    request.maxFrames = static_cast<uint64_t>(number);
  }
  if (options.has("mode")) {
    const std::string mode = options.value("mode");
    if (mode == "all") request.mode = streamer::DecodingMode::DECODE_ALL;
    else if (mode == "key") request.mode = streamer::DecodingMode::DECODE_KEY_FRAMES;
    else if (mode == "none") request.mode = streamer::DecodingMode::DECODE_NONE;
    else return error = "unknown --mode '" + mode + "' (all, key or none)", false;
  }
  for (const char* name : {"video-out", "audio-out"}) {
    if (options.has(name) && options.value(name).empty()) return error = std::string("option --") + name + " needs a file name", false;
  }
  request.videoOut = options.value("video-out");
  request.audioOut = options.value("audio-out");
  request.frames = options.has("frames");
  request.json = options.has("json");
  request.bufferStatus = options.has("buffer-status");
  return true;
}

bool isDecoded(const char* codec) { return std::strcmp(codec, "raw") == 0; }

// Opens the output files the request asks for, as far as the delivered
// streams allow. False when a requested file cannot be written.
bool openWriters(const DecodeRequest& request, const StreamDescription& output, std::unique_ptr<Y4mWriter>& y4m,
                 std::unique_ptr<WavWriter>& wav) {
  if (!request.videoOut.empty()) {
    const VideoDescription& video = *output.getVideo();
    if (!output.hasVideo()) {
      std::fprintf(stderr, "zanstream decode: the medium has no video; %s is not written\n", request.videoOut.c_str());
    } else if (!isDecoded(video.getCodec())) {
      std::fprintf(stderr, "zanstream decode: the video is passed through compressed (%s); %s is not written\n",
                   video.getCodec(), request.videoOut.c_str());
    } else {
      y4m = std::make_unique<Y4mWriter>();
      if (!y4m->open(request.videoOut, video.getWidth(), video.getHeight(), video.getFrameRate(),
                     video.getPixelFormat())) {
        std::fprintf(stderr, "zanstream decode: %s\n", y4m->error().c_str());
        return false;
      }
    }
  }
  if (!request.audioOut.empty()) {
    const AudioDescription& audio = *output.getAudio();
    if (!output.hasAudio()) {
      std::fprintf(stderr, "zanstream decode: the medium has no audio; %s is not written\n", request.audioOut.c_str());
    } else if (!isDecoded(audio.getCodec())) {
      std::fprintf(stderr, "zanstream decode: the audio is passed through compressed (%s); %s is not written\n",
                   audio.getCodec(), request.audioOut.c_str());
    } else {
      wav = std::make_unique<WavWriter>();
      if (!wav->open(request.audioOut, audio.getSampleRate(), audio.getChannels(), audio.getBitsPerSample())) {
        std::fprintf(stderr, "zanstream decode: %s\n", wav->error().c_str());
        return false;
      }
    }
  }
  return true;
}

}  // namespace

int runDecode(PluginLibrary& library, const std::vector<std::string>& arguments) {
  DecodeRequest request;
  std::string error;
  if (!readRequest(arguments, request, error)) return usageError("decode", error, kDecodeUsage);

  // Declared before the session: the input may raise events until it is
  // closed, which the session does last.
  EventLog events;
  InputSession session(library);
  if (!session.available()) return inputUnavailable("decode");
  streamer::InputPluginInterface& input = session.input();
  input.setInputEventCallback(EventLog::record, &events);
  if (!session.open(request.medium)) return 1;
  Descriptions descriptions;
  session.describe(descriptions);
  if (!hasAudioOrVideo("decode", descriptions)) return 1;
  const StreamDescription& output = descriptions.output;

  if (request.mode && !input.setVideoDecodingMode(*request.mode))
    std::fprintf(stderr, "zanstream decode: the input did not take --mode (the medium has no video to decode)\n");

  std::unique_ptr<Y4mWriter> y4m;
  std::unique_ptr<WavWriter> wav;
  if (!openWriters(request, output, y4m, wav)) return 1;

  // Progress would garble frame lines printed to the same terminal.
  ProgressLine progress(!(request.frames && isatty(STDOUT_FILENO) == 1));
  size_t eventsReported = 0;
  const auto reportEvents = [&] {
    std::lock_guard<std::mutex> lock(events.mutex);
    for (; eventsReported < events.events.size(); ++eventsReported) {
      progress.clear();
      std::fprintf(stderr, "zanstream decode: event %s\n", eventName(events.events[eventsReported]).c_str());
    }
  };

  int result = 0;
  FrameSummary summary(output.hasAudio(), output.hasVideo());
  const uint64_t durationMs = descriptions.medium->getDuration();
  uint64_t audioMisaligned = 0;
  const auto started = std::chrono::steady_clock::now();
  input.start();
  if (request.seekMs) {
    const streamer::PluginErrorCodes code = input.setTimePosition(*request.seekMs);
    if (code != streamer::PLUGIN_OK) {
      std::fprintf(stderr, "zanstream decode: seek to %llu ms failed (result %d)\n",
                   static_cast<unsigned long long>(*request.seekMs), static_cast<int>(code));
      result = 1;
    }
  }
  if (result == 0 && request.resetMs) {
    const streamer::PluginErrorCodes code = input.resetPosition(*request.resetMs);
    if (code != streamer::PLUGIN_OK) {
      std::fprintf(stderr, "zanstream decode: reset to %llu ms failed (result %d)\n",
                   static_cast<unsigned long long>(*request.resetMs), static_cast<int>(code));
      result = 1;
    }
  }

  // The network buffer, printed now and then when asked for.
  constexpr auto kBufferStatusInterval = std::chrono::milliseconds(500);
  auto lastBufferStatus = std::chrono::steady_clock::now() - kBufferStatusInterval;
  bool bufferStatusAvailable = true;
  const auto reportBufferStatus = [&](bool force) {
    if (!request.bufferStatus || !bufferStatusAvailable) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastBufferStatus < kBufferStatusInterval) return;
    lastBufferStatus = now;
    unsigned readAt = 0, historyAt = 0, bufferedAt = 0, length = 0;
    progress.clear();
    if (input.getInputBufferStatus(readAt, historyAt, bufferedAt, length)) {
      std::fprintf(stderr, "buffer %u %u %u %u\n", readAt, historyAt, bufferedAt, length);
    } else {
      std::fprintf(stderr, "zanstream decode: the medium is not read through a network buffer\n");
      bufferStatusAvailable = false;
    }
  };
  reportBufferStatus(true);

  uint64_t positionMs = 0;
  bool reachedEnd = false;
  while (result == 0 && (request.maxFrames == 0 || summary.totalFrames() < request.maxFrames)) {
    streamer::PACKETTYPE type = streamer::PACKET_END;
    uint8_t* data = nullptr;
    unsigned size = 0;
    uint64_t time = streamer::kNoTime, duration = streamer::kNoTime;
    void* frameContext = nullptr;
    bool keyFrame = false;
    if (!input.readFrame(type, data, size, time, duration, frameContext, keyFrame)) {
      reachedEnd = true;
      break;
    }
    summary.add(type, time, size, keyFrame);
    if (request.frames) std::printf("%s\n", frameLine(type, time, duration, size, keyFrame).c_str());
    if (type == streamer::PACKET_VIDEO && y4m) {
      if (!y4m->write(data, size) && !y4m->error().empty()) result = 1;
    } else if (type == streamer::PACKET_AUDIO && wav) {
      if (wav->blockAlign() > 0 && size % static_cast<unsigned>(wav->blockAlign()) != 0) ++audioMisaligned;
      if (!wav->write(data, size)) result = 1;
    }
    input.freeFrame(data, frameContext);
    if (time != streamer::kNoTime) positionMs = std::max(positionMs, time / 1000);
    progress.update(positionMs, durationMs, summary.totalFrames());
    reportEvents();
    reportBufferStatus(false);
  }
  reportBufferStatus(true);
  // A seek that the input accepted but after which nothing came (a target
  // past the end, or a stream lost on the way) is no successful decode.
  if (result == 0 && request.seekMs && summary.totalFrames() == 0) {
    progress.clear();
    std::fprintf(stderr, "zanstream decode: nothing was decoded after the seek to %llu ms\n",
                 static_cast<unsigned long long>(*request.seekMs));
    result = 1;
  }
  const auto elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
  progress.clear();
  // The input raises the end of a download on its network thread, and may
  // do so just after the reader has taken the last bytes: at the end of a
  // network medium (one with a buffer status) wait briefly for it, so that
  // closing does not cut it off.
  if (reachedEnd) events.waitForDownloadEnd(input);

  uint64_t finalPosition = 0;
  const bool havePosition = input.getPosition(finalPosition) == streamer::PLUGIN_OK;
  input.stop();
  session.close();
  reportEvents();

  if (y4m && !y4m->finish()) result = 1;
  if (wav && !wav->finish()) result = 1;
  if (y4m && !y4m->error().empty()) std::fprintf(stderr, "zanstream decode: %s\n", y4m->error().c_str());
  if (wav && !wav->error().empty()) std::fprintf(stderr, "zanstream decode: %s\n", wav->error().c_str());
  if (events.downloadBroke()) {
    std::fprintf(stderr, "zanstream decode: the download broke off; what arrived was decoded%s\n",
                 y4m || wav ? " and written" : "");
    result = 1;
  }
  if (y4m && y4m->skipped() > 0)
    std::fprintf(stderr, "zanstream decode: %llu pictures not of %zu bytes were left out of %s\n",
                 static_cast<unsigned long long>(y4m->skipped()), y4m->inputFrameSize(), request.videoOut.c_str());
  if (audioMisaligned > 0)
    std::fprintf(stderr, "zanstream decode: %llu audio frames were not whole sample frames\n",
                 static_cast<unsigned long long>(audioMisaligned));

  if (request.json) {
    JsonWriter json;
    json.beginObject();
    json.key("location").value(request.medium.location);
    summary.writeJson(json);
    json.key("elapsed_ms").value(static_cast<long long>(elapsedMs));
    json.key("position_ms");
    if (havePosition) json.value(static_cast<unsigned long long>(finalPosition));
    else json.null();
    json.key("events").beginArray();
    for (int event : events.events) json.value(eventName(event));
    json.endArray();
    json.endObject();
    std::printf("%s\n", json.text().c_str());
  } else {
    std::printf("decoded   %s\n", request.medium.location.c_str());
    summary.printText(stdout, "  ");
    std::printf("  elapsed %lld ms", static_cast<long long>(elapsedMs));
    if (havePosition) std::printf(", position %llu ms", static_cast<unsigned long long>(finalPosition));
    std::printf("\n");
    if (!events.events.empty()) {
      std::printf("  events:");
      for (int event : events.events) std::printf(" %s", eventName(event).c_str());
      std::printf("\n");
    }
    if (y4m && y4m->error().empty())
      std::printf("wrote     %s (%llu pictures, %s)\n", request.videoOut.c_str(),
                  static_cast<unsigned long long>(y4m->frames()), y4m->header().substr(0, y4m->header().size() - 1).c_str());
    if (wav && wav->error().empty())
      std::printf("wrote     %s (%llu bytes of PCM, %d bytes per sample frame)\n", request.audioOut.c_str(),
                  static_cast<unsigned long long>(wav->dataBytes()), wav->blockAlign());
  }
  return result;
}

}  // namespace zan::host
