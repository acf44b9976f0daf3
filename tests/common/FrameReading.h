// Pulling frames out of a plug-in the way the engine does: readFrame, then
// freeFrame at once. Shared by the tests and benchmarks of the input and
// the transcoder stages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "zan/streamer/PluginInterfaces.h"

namespace zan::test {

struct ReadFrame {
  streamer::PACKETTYPE type;
  uint64_t time;
  uint64_t duration;
  unsigned size;
  bool key;
};

// Reads until the producer has no frame, delivers the end marker (not
// included), or |limit| frames were read.
inline std::vector<ReadFrame> readFrames(streamer::InputStream& producer, size_t limit = SIZE_MAX) {
  std::vector<ReadFrame> frames;
  while (frames.size() < limit) {
    streamer::PACKETTYPE type = streamer::PACKET_END;
    uint8_t* data = nullptr;
    unsigned size = 0;
    uint64_t time = 0, duration = 0;
    void* context = nullptr;
    bool key = false;
    if (!producer.readFrame(type, data, size, time, duration, context, key)) break;
    producer.freeFrame(data, context);
    if (type == streamer::PACKET_END) break;
    frames.push_back({type, time, duration, size, key});
  }
  return frames;
}

inline std::vector<ReadFrame> framesOfType(const std::vector<ReadFrame>& frames, streamer::PACKETTYPE type) {
  std::vector<ReadFrame> out;
  for (const ReadFrame& frame : frames)
    if (frame.type == type) out.push_back(frame);
  return out;
}

}  // namespace zan::test
