// Helpers shared by the decoder and demuxer stage tests: frames copied out
// of a stage or a core into plain records, packets made from bytes, and a
// call that must come back within a time limit.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/FFMpegDecoderCore.h"
#include "zan/streamer/PluginInterfaces.h"
#include "zan/streamer/SamplePacket.h"

namespace zan::test {

// One delivered frame, copied out before it was handed back.
struct Frame {
  streamer::PACKETTYPE type = streamer::PACKET_END;
  uint64_t time = 0;
  uint64_t duration = 0;
  unsigned size = 0;
  bool key = false;
};

struct Frames {
  std::vector<Frame> audio;
  std::vector<Frame> video;
  int ends = 0;  // PACKET_END frames
};

// Every frame of a core opened on a medium (decodeFromMedium until false);
// arrays freed with delete[] as the engine's freeFrame does.
Frames readCore(FFMpegDecoderCore& core);

// readFrame until it returns false or gives PACKET_END; each frame goes
// back through freeFrame. |limit| bounds the number of calls.
Frames readStage(streamer::InputStream& stage, size_t limit = 1000000);

// A SimpleSamplePacket holding a new[] copy of |size| bytes at |data|.
streamer::SamplePacket* makePacket(streamer::PACKETTYPE type, const uint8_t* data, size_t size, uint64_t time = 0,
                                   uint64_t duration = 0, bool keyFrame = false);

// The times of |frames|, each minus the first one (time stamps of a live
// stream count from its first packet).
std::vector<uint64_t> relativeTimes(const std::vector<Frame>& frames);

// Runs |call| on a thread of its own. True when it returned within
// |limit|; otherwise runs |unblock| (which must make |call| return), waits
// for it and gives false.
bool returnsWithin(std::chrono::milliseconds limit, const std::function<void()>& call,
                   const std::function<void()>& unblock);

// Where the log file |name| (e.g. "FFMpegDemuxer.log") of a component lives.
std::string logPath(const std::string& name);

}  // namespace zan::test
