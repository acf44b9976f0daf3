// Runs ffprobe in its compact output form and parses one record per line:
// "section|key=value|key=value...".
#include "tests/common/MediaProbe.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "tests/common/TestSupport.h"

namespace zan::test {

namespace {

struct Fields : std::map<std::string, std::string> {
  std::string text(const char* key) const {
    const auto found = find(key);
    return found == end() ? std::string() : found->second;
  }
  int number(const char* key) const { return std::atoi(text(key).c_str()); }
  int64_t time(const char* key) const {
    const std::string value = text(key);
    return value.empty() || value == "N/A" ? kProbeNoTime : std::strtoll(value.c_str(), nullptr, 10);
  }
  double seconds(const char* key) const {
    const std::string value = text(key);
    return value.empty() || value == "N/A" ? std::nan("") : std::strtod(value.c_str(), nullptr);
  }
};

}  // namespace

const ProbeStream* ProbeResult::first(const std::string& type) const {
  for (const ProbeStream& stream : streams)
    if (stream.type == type) return &stream;
  return nullptr;
}

const ProbeStream* ProbeResult::largestVideo() const {
  const ProbeStream* best = nullptr;
  for (const ProbeStream& stream : streams)
    if (stream.type == "video" && (!best || stream.width * stream.height > best->width * best->height)) best = &stream;
  return best;
}

int ProbeResult::frameCount(int index) const {
  return static_cast<int>(
      std::count_if(frames.begin(), frames.end(), [&](const ProbeFrame& f) { return f.stream == index; }));
}

int ProbeResult::keyFrameCount(int index) const {
  return static_cast<int>(
      std::count_if(frames.begin(), frames.end(), [&](const ProbeFrame& f) { return f.stream == index && f.key; }));
}

int64_t ProbeResult::sampleCount(int index) const {
  int64_t count = 0;
  for (const ProbeFrame& frame : frames) count += frame.stream == index ? frame.samples : 0;
  return count;
}

std::vector<int> ProbeResult::packetSizes(int index) const {
  std::vector<int> sizes;
  for (const ProbePacket& packet : packets)
    if (packet.stream == index) sizes.push_back(packet.size);
  return sizes;
}

std::vector<uint64_t> ProbeResult::frameTimes(int index, bool keysOnly) const {
  const auto found =
      std::find_if(streams.begin(), streams.end(), [&](const ProbeStream& s) { return s.index == index; });
  std::vector<uint64_t> times;
  if (found == streams.end() || found->timeBaseDen == 0) return times;
  // In double precision and truncated, the way the library converts.
  const double timeBase = static_cast<double>(found->timeBaseNum) / found->timeBaseDen;
  for (const ProbeFrame& frame : frames)
    if (frame.stream == index && frame.bestEffort != kProbeNoTime && (frame.key || !keysOnly))
      times.push_back(static_cast<uint64_t>(static_cast<double>(static_cast<uint64_t>(frame.bestEffort)) * timeBase * 1e6));
  return times;
}

uint64_t ProbeResult::startMicroseconds() const {
  // ffprobe prints six decimals.
  return std::isnan(startTime) ? 0 : static_cast<uint64_t>(std::llround(startTime * 1e6));
}

ProbeResult probeMedia(const std::string& path) {
  const ProcessResult run = runProcess(
      {"ffprobe", "-v", "error", "-show_entries",
       "format=duration,start_time,bit_rate:stream=index,codec_type,codec_name,width,height,sample_rate,channels,"
       "time_base:packet=stream_index,pts,dts,size:frame=stream_index,key_frame,best_effort_timestamp,nb_samples",
       "-of", "compact=p=1", path},
      std::chrono::minutes(5));
  if (run.exitCode != 0) throw std::runtime_error("ffprobe " + path + " failed: " + run.err);

  ProbeResult result;
  std::istringstream lines(run.out);
  std::string line;
  while (std::getline(lines, line)) {
    Fields fields;
    std::string section, item;
    std::istringstream items(line);
    while (std::getline(items, item, '|')) {
      const std::size_t equals = item.find('=');
      if (section.empty()) section = item;
      else if (equals != std::string::npos) fields.emplace(item.substr(0, equals), item.substr(equals + 1));
    }
    if (section == "packet") {
      result.packets.push_back(
          {fields.number("stream_index"), fields.time("pts"), fields.time("dts"), fields.number("size")});
    } else if (section == "frame") {
      result.frames.push_back({fields.number("stream_index"), fields.number("key_frame") != 0,
                               fields.time("best_effort_timestamp"), fields.number("nb_samples")});
    } else if (section == "stream") {
      ProbeStream stream{fields.number("index"), fields.text("codec_type"), fields.text("codec_name"),
                         fields.number("width"), fields.number("height"), fields.number("sample_rate"),
                         fields.number("channels")};
      std::sscanf(fields.text("time_base").c_str(), "%d/%d", &stream.timeBaseNum, &stream.timeBaseDen);
      result.streams.push_back(stream);
    } else if (section == "format") {
      result.duration = fields.seconds("duration");
      result.startTime = fields.seconds("start_time");
      result.bitRate = fields.time("bit_rate");
    }
  }
  if (result.streams.empty()) throw std::runtime_error("ffprobe " + path + " printed nothing usable");
  return result;
}

const ProbeResult& probeMedia(Media media) {
  static std::map<Media, std::unique_ptr<ProbeResult>> cache;
  std::unique_ptr<ProbeResult>& entry = cache[media];
  if (!entry) entry = std::make_unique<ProbeResult>(probeMedia(mediaPath(media)));
  return *entry;
}

}  // namespace zan::test
