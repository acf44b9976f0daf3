#include "tests/transcoders/StageTestSupport.h"

#include <cstring>
#include <future>
#include <thread>

#include "plugins/SimpleSamplePacket.h"
#include "support/Platform.h"

namespace zan::test {

using streamer::PACKET_AUDIO;
using streamer::PACKET_END;
using streamer::PACKET_VIDEO;

namespace {

void record(Frames& frames, const Frame& frame) {
  if (frame.type == PACKET_AUDIO) frames.audio.push_back(frame);
  if (frame.type == PACKET_VIDEO) frames.video.push_back(frame);
  if (frame.type == PACKET_END) ++frames.ends;
}

}  // namespace

Frames readCore(FFMpegDecoderCore& core) {
  Frames frames;
  for (;;) {
    Frame frame;
    uint8_t* data = nullptr;
    void* context = nullptr;
    if (!core.decodeFromMedium(frame.type, data, frame.size, frame.time, frame.duration, context, frame.key)) break;
    delete[] data;
    record(frames, frame);
  }
  return frames;
}

Frames readStage(streamer::InputStream& stage, size_t limit) {
  Frames frames;
  for (size_t i = 0; i < limit; ++i) {
    Frame frame;
    uint8_t* data = nullptr;
    void* context = nullptr;
    if (!stage.readFrame(frame.type, data, frame.size, frame.time, frame.duration, context, frame.key)) break;
    stage.freeFrame(data, context);
    record(frames, frame);
    if (frame.type == PACKET_END) break;
  }
  return frames;
}

streamer::SamplePacket* makePacket(streamer::PACKETTYPE type, const uint8_t* data, size_t size, uint64_t time,
                                   uint64_t duration, bool keyFrame) {
  auto* packet = new streamer::SimpleSamplePacket();
  uint8_t* copy = nullptr;
  if (size > 0) {
    copy = new uint8_t[size];
    std::memcpy(copy, data, size);
  }
  packet->set(type, copy, static_cast<unsigned>(size), time, duration, keyFrame);
  return packet;
}

std::vector<uint64_t> relativeTimes(const std::vector<Frame>& frames) {
  std::vector<uint64_t> times;
  for (const Frame& frame : frames) times.push_back(frame.time - frames.front().time);
  return times;
}

bool returnsWithin(std::chrono::milliseconds limit, const std::function<void()>& call,
                   const std::function<void()>& unblock) {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread worker([&] {
    call();
    done.set_value();
  });
  const bool inTime = finished.wait_for(limit) == std::future_status::ready;
  if (!inTime) unblock();
  worker.join();
  return inTime;
}

std::string logPath(const std::string& name) { return platform::appDataFolder() + "/ZanNetworks/Logs/" + name; }

}  // namespace zan::test
