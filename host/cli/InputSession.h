// What the probe and decode commands share: the medium options they both
// take, the input plug-in object obtained from the library's factory (closed
// and deleted when the session ends), and the three descriptions an opened
// input gives, printed as text or JSON.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/cli/FrameSummary.h"
#include "host/cli/Options.h"
#include "host/cli/PluginLibrary.h"
#include "host/records/Records.h"

namespace zan::host {

// The options that say which medium to open and how.
struct MediumOptions {
  std::string location;
  std::string extension;  // overrides the one derived from the location
  bool extensionGiven = false;
  uint64_t durationMs = 0;  // the engine-given duration; 0 = unknown
  bool skipAudio = false;
  bool skipVideo = false;

  // Reads LOCATION and --duration, --extension, --skip-audio, --skip-video
  // (which |options| must know). False with |error| set on a missing or
  // second location or a bad --duration.
  bool read(Options& options, std::string& error);
  // The engine record handed to open: location, protocol and extension
  // derived from the location, then the overrides.
  std::unique_ptr<Medium> medium() const;
};

// The medium, input and output descriptions of an opened input.
struct Descriptions {
  std::unique_ptr<Medium> medium;
  StreamDescription input;
  StreamDescription output;
};

// The download events of a network medium (INPUT_END_OF_FILE,
// INPUT_BROKEN_STREAM), which arrive on the input's network thread.
struct EventLog {
  // The input's event callback; |userData| is the log.
  static void record(streamer::InputEvent::InputEvent event, int, int, void* userData);
  // At the end of a download (a medium with a buffer status), waits a
  // moment for its closing event: it may come just after the last bytes.
  void waitForDownloadEnd(streamer::InputPluginInterface& input);
  bool downloadBroke();

  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<int> events;  // guarded by mutex
};

std::string eventName(int event);

// One input plug-in object for one medium.
class InputSession {
 public:
  explicit InputSession(PluginLibrary& library);
  ~InputSession();  // close (also after a failed open), then delete
  InputSession(const InputSession&) = delete;
  InputSession& operator=(const InputSession&) = delete;

  // False when the library's factory answers no input plug-in.
  bool available() const { return input_ != nullptr; }
  streamer::InputPluginInterface& input() { return *input_; }

  // Applies the skip requests and opens the medium. On failure prints
  // "error CODE: MESSAGE" to stderr and returns false.
  bool open(const MediumOptions& options);
  // Asks the opened input for its three descriptions; the medium record is
  // the one given to open, as an engine passes it back.
  void describe(Descriptions& out);
  // Closes the input now (stop, close), so that no event can arrive after
  // this; the destructor does it otherwise.
  void close();

 private:
  std::unique_ptr<streamer::InputPluginInterface> input_;
  std::unique_ptr<Medium> medium_;
  bool closed_ = false;
};

// The probe result as one JSON object:
// {"location", "medium": {...}, "input": {...}, "output": {...}}.
void writeProbeJson(JsonWriter& json, const std::string& location, const Descriptions& descriptions);
// The same, readable, one item per line.
void printProbeText(FILE* out, const std::string& location, const Descriptions& descriptions);

// An input may open a medium in which it found no audio or video stream
// at all (the engine gets that as a success). For a user that is a medium
// that did not open: false, after printing "zanstream COMMAND: no audio or
// video stream" to stderr.
bool hasAudioOrVideo(const char* command, const Descriptions& descriptions);

// Prints "zanstream COMMAND: MESSAGE" and the synopsis of |usage| to
// stderr; returns 2.
int usageError(const char* command, const std::string& message, const char* usage);

// Prints that the library answers no input plug-in; returns 1.
int inputUnavailable(const char* command);

}  // namespace zan::host
