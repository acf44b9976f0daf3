#include "host/cli/InputSession.h"

#include <climits>

namespace zan::host {

bool MediumOptions::read(Options& options, std::string& error) {
  const auto& positional = options.positional();
  if (positional.empty()) {
    error = "missing LOCATION";
    return false;
  }
  if (positional.size() > 1) {
    error = "unexpected argument '" + positional[1] + "' (one LOCATION only)";
    return false;
  }
  location = positional[0];
  if (location.empty()) {
    error = "LOCATION is empty";
    return false;
  }
  long long duration = 0;
  if (!options.number("duration", duration, 0, LLONG_MAX)) {
    error = options.error();
    return false;
  }
  durationMs = static_cast<uint64_t>(duration);
  extensionGiven = options.has("extension");
  extension = options.value("extension");
  // "--extension .mp4" means "mp4": the engine passes extensions without
  // the dot.
  if (!extension.empty() && extension[0] == '.') extension.erase(0, 1);
  skipAudio = options.has("skip-audio");
  skipVideo = options.has("skip-video");
  return true;
}

std::unique_ptr<Medium> MediumOptions::medium() const {
  auto medium = std::make_unique<Medium>(location);
  if (extensionGiven) medium->setExtension(extension);
  medium->setDuration(durationMs);
  return medium;
}

void EventLog::record(streamer::InputEvent::InputEvent event, int, int, void* userData) {
  auto* log = static_cast<EventLog*>(userData);
  {
    std::lock_guard<std::mutex> lock(log->mutex);
    log->events.push_back(event);
  }
  log->arrived.notify_all();
}

void EventLog::waitForDownloadEnd(streamer::InputPluginInterface& input) {
  unsigned readPosition = 0, historyStart = 0, bufferedEnd = 0, contentLength = 0;
  if (!input.getInputBufferStatus(readPosition, historyStart, bufferedEnd, contentLength)) return;
  std::unique_lock<std::mutex> lock(mutex);
  arrived.wait_for(lock, std::chrono::seconds(1), [this] { return !events.empty(); });
}

bool EventLog::downloadBroke() {
  std::lock_guard<std::mutex> lock(mutex);
  for (int event : events)
    if (event == streamer::InputEvent::INPUT_BROKEN_STREAM) return true;
  return false;
}

std::string eventName(int event) {
  switch (event) {
    case streamer::InputEvent::INPUT_END_OF_FILE: return "INPUT_END_OF_FILE";
    case streamer::InputEvent::INPUT_BROKEN_STREAM: return "INPUT_BROKEN_STREAM";
  }
  return "INPUT_EVENT_" + std::to_string(event);
}

InputSession::InputSession(PluginLibrary& library) : input_(library.inputFactory()()) {}

InputSession::~InputSession() { close(); }

void InputSession::close() {
  // Also after a failed open: an input may keep what it had started (a
  // download) until it is closed. The input closes itself when deleted as
  // well; closing first keeps the calling order an engine follows.
  if (input_ && !closed_) input_->close();
  closed_ = true;
}

bool InputSession::open(const MediumOptions& options) {
  if (options.skipAudio) input_->skipAudioDecoding();
  if (options.skipVideo) input_->skipVideoDecoding();
  medium_ = options.medium();
  ErrorRecord error;
  if (!input_->open(medium_.get(), &error)) {
    std::fprintf(stderr, "error %d: %s\n", error.getCode(),
                 *error.getMessage() ? error.getMessage() : "the input could not open the medium");
    return false;
  }
  return true;
}

void InputSession::describe(Descriptions& out) {
  out.medium = std::make_unique<Medium>(*medium_);
  input_->getMediumDescription(out.medium.get());
  input_->getInputStreamDescription(&out.input);
  input_->getOutputStreamDescription(&out.output);
}

namespace {

void writeMedium(JsonWriter& json, const Medium& medium) {
  json.beginObject();
  json.key("title").value(medium.getTitle());
  json.key("author").value(medium.getAuthor());
  json.key("duration_ms").value(static_cast<unsigned long long>(medium.getDuration()));
  json.key("size").value(static_cast<unsigned long long>(medium.getSize()));
  json.key("bitrate").value(static_cast<unsigned long long>(medium.getBitrate()));
  json.key("seekable").value(medium.isSeekable());
  json.key("live").value(medium.isLive());
  json.endObject();
}

}  // namespace

void writeProbeJson(JsonWriter& json, const std::string& location, const Descriptions& descriptions) {
  const StreamDescription& input = descriptions.input;
  const StreamDescription& output = descriptions.output;
  json.beginObject();
  json.key("location").value(location);
  json.key("medium");
  writeMedium(json, *descriptions.medium);

  json.key("input").beginObject();
  json.key("format").value(input.getFormat());
  json.key("video");
  if (input.hasVideo()) {
    const VideoDescription& video = *input.getVideo();
    json.beginObject();
    json.key("codec").value(video.getCodec());
    json.key("width").value(video.getWidth());
    json.key("height").value(video.getHeight());
    json.key("frame_rate").value(video.getFrameRate());
    json.key("bitrate").value(video.getBitrate());
    json.endObject();
  } else {
    json.null();
  }
  json.key("audio");
  if (input.hasAudio()) {
    const AudioDescription& audio = *input.getAudio();
    json.beginObject();
    json.key("codec").value(audio.getCodec());
    json.key("sample_rate").value(audio.getSampleRate());
    json.key("channels").value(audio.getChannels());
    json.key("bitrate").value(audio.getBitrate());
    json.endObject();
  } else {
    json.null();
  }
  json.endObject();

  json.key("output").beginObject();
  json.key("video");
  if (output.hasVideo()) {
    const VideoDescription& video = *output.getVideo();
    json.beginObject();
    json.key("codec").value(video.getCodec());
    json.key("width").value(video.getWidth());
    json.key("height").value(video.getHeight());
    json.key("frame_rate").value(video.getFrameRate());
    json.key("pixel_format").value(video.getPixelFormat());
    json.key("frame_size").value(video.getFrameSize());
    json.key("bitrate").value(video.getBitrate());
    json.endObject();
  } else {
    json.null();
  }
  json.key("audio");
  if (output.hasAudio()) {
    const AudioDescription& audio = *output.getAudio();
    json.beginObject();
    json.key("codec").value(audio.getCodec());
    json.key("sample_rate").value(audio.getSampleRate());
    json.key("channels").value(audio.getChannels());
    json.key("bits_per_sample").value(audio.getBitsPerSample());
    json.key("bitrate").value(audio.getBitrate());
    json.endObject();
  } else {
    json.null();
  }
  json.endObject();
  json.endObject();
}

void printProbeText(FILE* out, const std::string& location, const Descriptions& descriptions) {
  const Medium& medium = *descriptions.medium;
  const StreamDescription& input = descriptions.input;
  const StreamDescription& output = descriptions.output;
  std::fprintf(out, "location  %s\n", location.c_str());
  std::fprintf(out, "medium    title %s, author %s\n", jsonString(medium.getTitle()).c_str(),
               jsonString(medium.getAuthor()).c_str());
  std::fprintf(out, "          duration %llu ms, size %llu bytes, bitrate %llu bit/s, seekable %s, live %s\n",
               static_cast<unsigned long long>(medium.getDuration()),
               static_cast<unsigned long long>(medium.getSize()),
               static_cast<unsigned long long>(medium.getBitrate()), medium.isSeekable() ? "yes" : "no",
               medium.isLive() ? "yes" : "no");
  std::fprintf(out, "input     format %s\n", *input.getFormat() ? input.getFormat() : "(none)");
  if (input.hasVideo()) {
    const VideoDescription& video = *input.getVideo();
    std::fprintf(out, "  video   %s %dx%d, %.3f fps, %u bit/s\n", video.getCodec(), video.getWidth(),
                 video.getHeight(), video.getFrameRate(), video.getBitrate());
  } else {
    std::fprintf(out, "  video   none\n");
  }
  if (input.hasAudio()) {
    const AudioDescription& audio = *input.getAudio();
    std::fprintf(out, "  audio   %s %d Hz, %d channels, %u bit/s\n", audio.getCodec(), audio.getSampleRate(),
                 audio.getChannels(), audio.getBitrate());
  } else {
    std::fprintf(out, "  audio   none\n");
  }
  std::fprintf(out, "output\n");
  if (output.hasVideo()) {
    const VideoDescription& video = *output.getVideo();
    std::fprintf(out, "  video   %s %dx%d, %.3f fps, pixel format %d, %u bytes per frame, %u bit/s\n",
                 video.getCodec(), video.getWidth(), video.getHeight(), video.getFrameRate(),
                 video.getPixelFormat(), video.getFrameSize(), video.getBitrate());
  } else {
    std::fprintf(out, "  video   none\n");
  }
  if (output.hasAudio()) {
    const AudioDescription& audio = *output.getAudio();
    std::fprintf(out, "  audio   %s %d Hz, %d channels, %d bits per sample, %u bit/s\n", audio.getCodec(),
                 audio.getSampleRate(), audio.getChannels(), audio.getBitsPerSample(), audio.getBitrate());
  } else {
    std::fprintf(out, "  audio   none\n");
  }
}

bool hasAudioOrVideo(const char* command, const Descriptions& descriptions) {
  const StreamDescription& input = descriptions.input;
  const StreamDescription& output = descriptions.output;
  if (input.hasAudio() || input.hasVideo() || output.hasAudio() || output.hasVideo()) return true;
  std::fprintf(stderr, "zanstream %s: no audio or video stream\n", command);
  return false;
}

int usageError(const char* command, const std::string& message, const char* usage) {
  // The synopsis is the usage text up to its first blank line.
  const std::string text = usage;
  const auto blank = text.find("\n\n");
  std::fprintf(stderr, "zanstream %s: %s\n%s\nRun 'zanstream %s --help' for the options.\n", command,
               message.c_str(), text.substr(0, blank == std::string::npos ? text.size() : blank + 1).c_str(),
               command);
  return 2;
}

int inputUnavailable(const char* command) {
  std::fprintf(stderr, "zanstream %s: the plug-in library answers no input plug-in (FFMpegInput)\n", command);
  return 1;
}

}  // namespace zan::host
