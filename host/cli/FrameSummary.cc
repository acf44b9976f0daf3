#include "host/cli/FrameSummary.h"

#include <charconv>
#include <cinttypes>
#include <cmath>

namespace zan::host {

namespace {

// Length of the valid UTF-8 sequence starting at |at|, or 0 when the bytes
// there are not one (stray continuation byte, overlong form, surrogate,
// beyond U+10FFFF, or cut short).
size_t utf8SequenceLength(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  return length;
}

}  // namespace

std::string jsonString(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    switch (c) {
      case '"': out += "\\\""; ++at; continue;
      case '\\': out += "\\\\"; ++at; continue;
      case '\b': out += "\\b"; ++at; continue;
      case '\f': out += "\\f"; ++at; continue;
      case '\n': out += "\\n"; ++at; continue;
      case '\r': out += "\\r"; ++at; continue;
      case '\t': out += "\\t"; ++at; continue;
      default: break;
    }
    if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
      ++at;
      continue;
    }
    const size_t length = utf8SequenceLength(text, at);
    if (length == 0) {
      out += "\\ufffd";
      ++at;
    } else {
      out.append(text.substr(at, length));
      at += length;
    }
  }
  out.push_back('"');
  return out;
}

void JsonWriter::beforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!firstInLevel_.empty()) {
    if (!firstInLevel_.back()) text_.push_back(',');
    firstInLevel_.back() = false;
  }
}

JsonWriter& JsonWriter::beginObject() {
  beforeValue();
  text_.push_back('{');
  firstInLevel_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::endObject() {
  text_.push_back('}');
  if (!firstInLevel_.empty()) firstInLevel_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::beginArray() {
  beforeValue();
  text_.push_back('[');
  firstInLevel_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::endArray() {
  text_.push_back(']');
  if (!firstInLevel_.empty()) firstInLevel_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
  beforeValue();
  text_ += jsonString(name);
  text_.push_back(':');
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
  beforeValue();
  text_ += jsonString(text);
  return *this;
}

JsonWriter& JsonWriter::value(const char* text) {
  if (text == nullptr) return null();
  return value(std::string_view(text));
}

JsonWriter& JsonWriter::value(bool flag) {
  beforeValue();
  text_ += flag ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::value(long long number) {
  beforeValue();
  text_ += std::to_string(number);
  return *this;
}

JsonWriter& JsonWriter::value(unsigned long long number) {
  beforeValue();
  text_ += std::to_string(number);
  return *this;
}

JsonWriter& JsonWriter::value(double number) {
  if (!std::isfinite(number)) return null();
  beforeValue();
  char buffer[64];
  // The shortest text that reads back as the same double.
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
  text_.append(buffer, result.ptr);
  return *this;
}

JsonWriter& JsonWriter::null() {
  beforeValue();
  text_ += "null";
  return *this;
}

std::string formatTime(uint64_t time) { return time == streamer::kNoTime ? "nopts" : std::to_string(time); }

std::string packetTypeName(streamer::PACKETTYPE type) {
  switch (type) {
    case streamer::PACKET_AUDIO: return "audio";
    case streamer::PACKET_VIDEO: return "video";
    case streamer::PACKET_END: return "end";
    case streamer::PACKET_MUXED: return "muxed";
    case streamer::PACKET_SEGMENT: return "segment";
  }
  return std::to_string(static_cast<int>(type));
}

std::string frameLine(streamer::PACKETTYPE type, uint64_t time, uint64_t duration, unsigned size, bool keyFrame) {
  return packetTypeName(type) + ' ' + formatTime(time) + ' ' + formatTime(duration) + ' ' + std::to_string(size) +
         (keyFrame ? " 1" : " 0");
}

void StreamSummary::add(uint64_t time, unsigned size, bool keyFrame) {
  ++frames;
  bytes += size;
  if (keyFrame) ++keyFrames;
  if (time != streamer::kNoTime) {
    if (firstUs == streamer::kNoTime) firstUs = time;
    lastUs = time;
  }
}

void StreamSummary::writeJson(JsonWriter& json) const {
  json.beginObject();
  json.key("frames").value(static_cast<unsigned long long>(frames));
  json.key("first_us");
  if (firstUs == streamer::kNoTime) json.null();
  else json.value(static_cast<unsigned long long>(firstUs));
  json.key("last_us");
  if (lastUs == streamer::kNoTime) json.null();
  else json.value(static_cast<unsigned long long>(lastUs));
  json.key("bytes").value(static_cast<unsigned long long>(bytes));
  json.key("key_frames").value(static_cast<unsigned long long>(keyFrames));
  json.endObject();
}

std::string StreamSummary::text() const {
  char line[256];
  if (firstUs == streamer::kNoTime) {
    std::snprintf(line, sizeof line, "%" PRIu64 " frames, no times, %" PRIu64 " bytes, %" PRIu64 " key frames", frames,
                  bytes, keyFrames);
  } else {
    std::snprintf(line, sizeof line,
                  "%" PRIu64 " frames, %.3f .. %.3f s, %" PRIu64 " bytes, %" PRIu64 " key frames", frames,
                  static_cast<double>(firstUs) / 1e6, static_cast<double>(lastUs) / 1e6, bytes, keyFrames);
  }
  return line;
}

void FrameSummary::add(streamer::PACKETTYPE type, uint64_t time, unsigned size, bool keyFrame) {
  if (type == streamer::PACKET_AUDIO) audio_.add(time, size, keyFrame);
  else if (type == streamer::PACKET_VIDEO) video_.add(time, size, keyFrame);
  else ++otherFrames_;
}

void FrameSummary::writeJson(JsonWriter& json) const {
  // A stream the source lacks is null, unless frames of it arrived anyway.
  json.key("audio");
  if (hasAudio_ || audio_.frames > 0) audio_.writeJson(json);
  else json.null();
  json.key("video");
  if (hasVideo_ || video_.frames > 0) video_.writeJson(json);
  else json.null();
  if (otherFrames_ > 0) json.key("other_frames").value(static_cast<unsigned long long>(otherFrames_));
}

void FrameSummary::printText(FILE* out, const char* indent) const {
  std::fprintf(out, "%saudio: %s\n", indent, hasAudio_ || audio_.frames > 0 ? audio_.text().c_str() : "none");
  std::fprintf(out, "%svideo: %s\n", indent, hasVideo_ || video_.frames > 0 ? video_.text().c_str() : "none");
  if (otherFrames_ > 0) std::fprintf(out, "%sother: %" PRIu64 " frames\n", indent, otherFrames_);
}

}  // namespace zan::host
