// Per-stream frame counting for the commands that pull frames from a
// plug-in, the one-line-per-frame format they print, and the small JSON
// writer their --json output goes through.
//
// A command feeds every frame it receives to FrameSummary::add and, with
// --frames, prints frameLine() for it; at the end it prints the summary as
// text or writes it into a JSON object.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "zan/streamer/Types.h"

namespace zan::host {

// Builds compact JSON text. Commas and nesting are tracked, so callers only
// say what comes next; strings are escaped (control characters, quotes,
// backslashes) and byte sequences that are not valid UTF-8 become U+FFFD,
// so the result is always valid JSON whatever a medium's metadata holds.
class JsonWriter {
 public:
  JsonWriter& beginObject();
  JsonWriter& endObject();
  JsonWriter& beginArray();
  JsonWriter& endArray();
  // The member name of the next value (inside an object).
  JsonWriter& key(std::string_view name);
  JsonWriter& value(std::string_view text);
  JsonWriter& value(const char* text);  // null pointer writes null
  JsonWriter& value(bool flag);
  JsonWriter& value(int number) { return value(static_cast<long long>(number)); }
  JsonWriter& value(unsigned number) { return value(static_cast<unsigned long long>(number)); }
  JsonWriter& value(long number) { return value(static_cast<long long>(number)); }
  JsonWriter& value(unsigned long number) { return value(static_cast<unsigned long long>(number)); }
  JsonWriter& value(long long number);
  JsonWriter& value(unsigned long long number);
  JsonWriter& value(double number);  // NaN and infinities write null
  JsonWriter& null();

  const std::string& text() const { return text_; }

 private:
  void beforeValue();

  std::string text_;
  // One entry per open object or array: true until its first element.
  std::vector<bool> firstInLevel_;
  bool afterKey_ = false;
};

// |text| as a JSON string literal, quotes included.
std::string jsonString(std::string_view text);

// A sample time for printing: "nopts" for the no-time value, otherwise the
// unsigned decimal.
std::string formatTime(uint64_t time);

// "audio", "video", "end", "muxed", "segment", or the number.
std::string packetTypeName(streamer::PACKETTYPE type);

// One frame as "TYPE TIME_US DURATION_US SIZE KEY" (KEY 1 or 0), no newline.
std::string frameLine(streamer::PACKETTYPE type, uint64_t time, uint64_t duration, unsigned size, bool keyFrame);

// What one stream delivered.
struct StreamSummary {
  uint64_t frames = 0;
  uint64_t bytes = 0;
  uint64_t keyFrames = 0;
  // Times of the first and last frame that carried a time, in delivery
  // order; kNoTime while there was none.
  uint64_t firstUs = streamer::kNoTime;
  uint64_t lastUs = streamer::kNoTime;

  void add(uint64_t time, unsigned size, bool keyFrame);
  // {"frames", "first_us", "last_us", "bytes", "key_frames"}; the times are
  // null when no frame had one.
  void writeJson(JsonWriter& json) const;
  // "N frames, FIRST .. LAST s, B bytes, K key frames"
  std::string text() const;
};

// The frames of one run, by stream. A stream the source does not have is
// reported as null (JSON) or "none" (text); a stream that exists but
// delivered nothing is reported with zero frames.
class FrameSummary {
 public:
  FrameSummary(bool hasAudio, bool hasVideo) : hasAudio_(hasAudio), hasVideo_(hasVideo) {}

  void add(streamer::PACKETTYPE type, uint64_t time, unsigned size, bool keyFrame);

  bool hasAudio() const { return hasAudio_; }
  bool hasVideo() const { return hasVideo_; }
  const StreamSummary& audio() const { return audio_; }
  const StreamSummary& video() const { return video_; }
  // Frames of any other packet type (end markers, muxed data).
  uint64_t otherFrames() const { return otherFrames_; }
  uint64_t totalFrames() const { return audio_.frames + video_.frames + otherFrames_; }

  // Writes the members "audio" and "video" (and "other_frames" when there
  // were any) into the object |json| is inside.
  void writeJson(JsonWriter& json) const;
  // "audio: ..." and "video: ..." lines, each indented by |indent|.
  void printText(FILE* out, const char* indent = "") const;

 private:
  bool hasAudio_, hasVideo_;
  StreamSummary audio_, video_;
  uint64_t otherFrames_ = 0;
};

}  // namespace zan::host
