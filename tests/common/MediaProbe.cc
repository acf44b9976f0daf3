// Runs ffprobe in its compact output form and parses one record per line:
// "section|key=value|key=value...".
#include "tests/common/MediaProbe.h"

#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <stdexcept>

#include "tests/common/TestSupport.h"

namespace zan::test {

namespace {

using Fields = std::map<std::string, std::string>;

Fields parseFields(const std::string& line, std::string& section) {
  Fields fields;
  std::size_t start = 0;
  bool first = true;
  while (start <= line.size()) {
    std::size_t end = line.find('|', start);
    if (end == std::string::npos) end = line.size();
    const std::string item = line.substr(start, end - start);
    if (first) {
      section = item;
      first = false;
    } else {
      const std::size_t equals = item.find('=');
      // Side-data markers ("side_data") carry no value; they are not needed.
      if (equals != std::string::npos) fields.emplace(item.substr(0, equals), item.substr(equals + 1));
    }
    start = end + 1;
  }
  return fields;
}

int64_t timeValue(const Fields& fields, const char* key) {
  const auto found = fields.find(key);
  if (found == fields.end() || found->second.empty() || found->second == "N/A") return kProbeNoTime;
  return std::strtoll(found->second.c_str(), nullptr, 10);
}

int intValue(const Fields& fields, const char* key) {
  const auto found = fields.find(key);
  if (found == fields.end()) return 0;
  return std::atoi(found->second.c_str());
}

double secondsValue(const Fields& fields, const char* key) {
  const auto found = fields.find(key);
  if (found == fields.end() || found->second.empty() || found->second == "N/A") return std::nan("");
  return std::strtod(found->second.c_str(), nullptr);
}

std::string textValue(const Fields& fields, const char* key) {
  const auto found = fields.find(key);
  return found == fields.end() ? std::string() : found->second;
}

// "1/90000" into its two parts; 0/0 for anything else.
void parseRatio(const std::string& text, int& num, int& den) {
  num = 0;
  den = 0;
  const std::size_t slash = text.find('/');
  if (slash == std::string::npos) return;
  num = std::atoi(text.substr(0, slash).c_str());
  den = std::atoi(text.substr(slash + 1).c_str());
}

}  // namespace

const ProbeStream* ProbeResult::first(const std::string& type) const {
  for (const ProbeStream& stream : streams)
    if (stream.type == type) return &stream;
  return nullptr;
}

const ProbeStream* ProbeResult::stream(int index) const {
  for (const ProbeStream& stream : streams)
    if (stream.index == index) return &stream;
  return nullptr;
}

const ProbeStream* ProbeResult::largestVideo() const {
  const ProbeStream* best = nullptr;
  for (const ProbeStream& stream : streams) {
    if (stream.type != "video") continue;
    if (!best || stream.width * stream.height > best->width * best->height) best = &stream;
  }
  return best;
}

int ProbeResult::packetCount(int index) const {
  int count = 0;
  for (const ProbePacket& packet : packets) count += packet.stream == index;
  return count;
}

int ProbeResult::frameCount(int index) const {
  int count = 0;
  for (const ProbeFrame& frame : frames) count += frame.stream == index;
  return count;
}

int ProbeResult::keyFrameCount(int index) const {
  int count = 0;
  for (const ProbeFrame& frame : frames) count += frame.stream == index && frame.key;
  return count;
}

int64_t ProbeResult::sampleCount(int index) const {
  int64_t count = 0;
  for (const ProbeFrame& frame : frames)
    if (frame.stream == index) count += frame.samples;
  return count;
}

std::vector<uint64_t> ProbeResult::frameTimes(int index) const {
  std::vector<uint64_t> times;
  for (const ProbeFrame& frame : frames)
    if (frame.stream == index && frame.bestEffort != kProbeNoTime)
      times.push_back(toMicroseconds(index, frame.bestEffort));
  return times;
}

uint64_t ProbeResult::toMicroseconds(int index, int64_t value) const {
  const ProbeStream* found = stream(index);
  if (!found || found->timeBaseDen == 0) return 0;
  const double timeBase = static_cast<double>(found->timeBaseNum) / found->timeBaseDen;
  return static_cast<uint64_t>(static_cast<double>(static_cast<uint64_t>(value)) * timeBase * 1000000.0);
}

ProbeResult probeMedia(const std::string& path) {
  const ProcessResult run = runProcess(
      {"ffprobe", "-v", "error", "-show_entries",
       "format=format_name,duration,start_time,size,bit_rate"
       ":stream=index,codec_type,codec_name,width,height,sample_rate,channels,time_base,r_frame_rate,"
       "start_time,duration"
       ":packet=stream_index,pts,dts,duration,size,flags"
       ":frame=media_type,stream_index,key_frame,best_effort_timestamp,nb_samples,interlaced_frame",
       "-of", "compact=p=1", path},
      std::chrono::minutes(5));
  if (run.exitCode != 0) throw std::runtime_error("ffprobe " + path + " failed: " + run.err);

  ProbeResult result;
  std::istringstream lines(run.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::string section;
    const Fields fields = parseFields(line, section);
    if (section == "packet") {
      ProbePacket packet;
      packet.stream = intValue(fields, "stream_index");
      packet.pts = timeValue(fields, "pts");
      packet.dts = timeValue(fields, "dts");
      packet.duration = timeValue(fields, "duration");
      packet.size = intValue(fields, "size");
      packet.key = textValue(fields, "flags").find('K') != std::string::npos;
      result.packets.push_back(packet);
    } else if (section == "frame") {
      ProbeFrame frame;
      frame.stream = intValue(fields, "stream_index");
      frame.video = textValue(fields, "media_type") == "video";
      frame.key = intValue(fields, "key_frame") != 0;
      frame.interlaced = intValue(fields, "interlaced_frame") != 0;
      frame.bestEffort = timeValue(fields, "best_effort_timestamp");
      frame.samples = intValue(fields, "nb_samples");
      result.frames.push_back(frame);
    } else if (section == "stream") {
      ProbeStream stream;
      stream.index = intValue(fields, "index");
      stream.type = textValue(fields, "codec_type");
      stream.codec = textValue(fields, "codec_name");
      stream.width = intValue(fields, "width");
      stream.height = intValue(fields, "height");
      stream.sampleRate = intValue(fields, "sample_rate");
      stream.channels = intValue(fields, "channels");
      parseRatio(textValue(fields, "time_base"), stream.timeBaseNum, stream.timeBaseDen);
      parseRatio(textValue(fields, "r_frame_rate"), stream.frameRateNum, stream.frameRateDen);
      stream.startTime = secondsValue(fields, "start_time");
      stream.duration = secondsValue(fields, "duration");
      result.streams.push_back(stream);
    } else if (section == "format") {
      result.formatName = textValue(fields, "format_name");
      result.duration = secondsValue(fields, "duration");
      result.startTime = secondsValue(fields, "start_time");
      result.size = timeValue(fields, "size");
      result.bitRate = timeValue(fields, "bit_rate");
    }
  }
  if (result.streams.empty() && result.formatName.empty())
    throw std::runtime_error("ffprobe " + path + " printed nothing usable");
  return result;
}

}  // namespace zan::test
