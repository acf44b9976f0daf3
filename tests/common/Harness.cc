#include "tests/common/Harness.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

extern "C" {
#include <libavformat/avio.h>
}

#include <gtest/gtest.h>

#include "plugins/SimpleSamplePacket.h"

namespace zan::test {

using streamer::PACKET_AUDIO;
using streamer::PACKET_END;
using streamer::PACKET_VIDEO;
using streamer::PACKETTYPE;

uint64_t checksum(const uint8_t* data, std::size_t size) {
  uint64_t hash = 1469598103934665603ULL;
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ULL;
  return hash;
}

namespace {

// Records one delivered frame; false for the end marker.
bool record(Frames& frames, Frame frame, const uint8_t* data, bool keepBytes) {
  if (frame.type == PACKET_END) {
    ++frames.ends;
    return false;
  }
  frame.checksum = checksum(data, data ? frame.size : 0);
  if (keepBytes && data) frame.bytes.assign(data, data + frame.size);
  if (frame.type == PACKET_VIDEO) frames.video.push_back(frame);
  if (frame.type == PACKET_AUDIO) frames.audio.push_back(frame);
  frames.all.push_back(std::move(frame));
  return true;
}

}  // namespace

Frames readFrames(FFMpegDecoderCore& core, std::size_t limit, bool keepBytes) {
  Frames frames;
  while (frames.all.size() < limit) {
    Frame frame;
    uint8_t* data = nullptr;
    void* context = nullptr;
    const bool got = core.decodeFromMedium(frame.type, data, frame.size, frame.time, frame.duration, context, frame.key);
    std::unique_ptr<uint8_t[]> owner(data);
    if (!got) break;
    record(frames, std::move(frame), data, keepBytes);
  }
  return frames;
}

Frames readFrames(streamer::InputStream& stage, std::size_t limit, bool keepBytes) {
  Frames frames;
  for (std::size_t call = 0; call < limit; ++call) {
    Frame frame;
    uint8_t* data = nullptr;
    void* context = nullptr;
    if (!stage.readFrame(frame.type, data, frame.size, frame.time, frame.duration, context, frame.key)) break;
    frame.data = data;
    frame.context = context;
    const bool more = record(frames, std::move(frame), data, keepBytes);
    stage.freeFrame(data, context);
    if (!more) break;
  }
  return frames;
}

Frames pump(streamer::InputStream& stage, const std::function<void()>& write, const std::function<void()>& unblock,
            bool keepBytes) {
  std::thread writer(write);
  Frames frames;
  const bool ended = returnsWithin(std::chrono::seconds(30), [&] { frames = readFrames(stage, kNoLimit, keepBytes); },
                                   unblock);
  if (frames.ends != 1) unblock();  // a writer blocked on a stage that quit early is let go
  writer.join();
  EXPECT_TRUE(ended && frames.ends == 1) << "no end marker came out";
  return frames;
}

bool nonDecreasing(const std::vector<Frame>& frames) {
  for (std::size_t i = 1; i < frames.size(); ++i)
    if (frames[i].time < frames[i - 1].time) return false;
  return true;
}

uint64_t byteCount(const std::vector<Frame>& frames) {
  uint64_t bytes = 0;
  for (const Frame& frame : frames) bytes += frame.size;
  return bytes;
}

::testing::AssertionResult sameFrames(const std::vector<Frame>& actual, const std::vector<Frame>& expected) {
  if (actual.size() != expected.size())
    return ::testing::AssertionFailure() << actual.size() << " frames, expected " << expected.size();
  for (std::size_t i = 0; i < actual.size(); ++i) {
    const Frame &a = actual[i], &b = expected[i];
    if (a.type != b.type || a.time != b.time || a.duration != b.duration || a.key != b.key || a.checksum != b.checksum)
      return ::testing::AssertionFailure() << "frame " << i << " (at " << a.time << " us) differs";
  }
  return ::testing::AssertionSuccess();
}

namespace {

// |packet| holding a new[] copy of |bytes|.
streamer::SamplePacket* filled(streamer::SimpleSamplePacket* packet, PACKETTYPE type,
                               const std::vector<uint8_t>& bytes, uint64_t time, uint64_t duration, bool key) {
  uint8_t* copy = bytes.empty() ? nullptr : new uint8_t[bytes.size()];
  std::copy(bytes.begin(), bytes.end(), copy);
  packet->set(type, copy, static_cast<unsigned>(bytes.size()), time, duration, key);
  return packet;
}

}  // namespace

streamer::SamplePacket* makePacket(PACKETTYPE type, const std::vector<uint8_t>& bytes, uint64_t time,
                                   uint64_t duration, bool key) {
  return filled(new streamer::SimpleSamplePacket(), type, bytes, time, duration, key);
}

class CountedPacket : public streamer::SimpleSamplePacket {
 public:
  explicit CountedPacket(PacketLedger& ledger) : ledger_(ledger) {}
  ~CountedPacket() override { ++ledger_.deleted_; }
  void release() override {
    ++ledger_.released_;
    SimpleSamplePacket::release();
  }

 private:
  PacketLedger& ledger_;
};

streamer::SamplePacket* PacketLedger::make(PACKETTYPE type, std::vector<uint8_t> bytes, uint64_t time,
                                           uint64_t duration, bool key) {
  ++made_;
  return filled(new CountedPacket(*this), type, bytes, time, duration, key);
}

int MemoryByteSource::read(void* opaque, uint8_t* buffer, int size) {
  auto* self = static_cast<MemoryByteSource*>(opaque);
  const int64_t left = static_cast<int64_t>(self->bytes_.size()) - self->position_;
  const int count = static_cast<int>(std::min<int64_t>(left, size));
  if (count <= 0) return 0;
  std::memcpy(buffer, self->bytes_.data() + self->position_, static_cast<std::size_t>(count));
  self->position_ += count;
  return count;
}

int64_t MemoryByteSource::seek(void* opaque, int64_t offset, int whence) {
  auto* self = static_cast<MemoryByteSource*>(opaque);
  const int64_t size = static_cast<int64_t>(self->bytes_.size());
  int64_t target = 0;
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return size;
    case SEEK_SET: target = offset; break;
    case SEEK_CUR: target = self->position_ + offset; break;
    case SEEK_END: target = size + offset; break;
    default: return -1;
  }
  if (target < 0 || target > size) return -1;
  self->position_ = target;
  return target;
}

namespace {

void* symbol(const char* path, const char* name) {
  static void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  return library ? dlsym(library, name) : nullptr;
}

}  // namespace

TranscoderPluginFactoryFn transcoderFactory(const char* path) {
  return reinterpret_cast<TranscoderPluginFactoryFn>(symbol(path, "TranscoderPluginFactory"));
}

InputPluginFactoryFn inputFactory(const char* path) {
  return reinterpret_cast<InputPluginFactoryFn>(symbol(path, "InputPluginFactory"));
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

}  // namespace zan::test
