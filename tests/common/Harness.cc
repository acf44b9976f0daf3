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

streamer::SamplePacket* makePacket(PACKETTYPE type, const std::vector<uint8_t>& bytes, uint64_t time,
                                   uint64_t duration, bool key) {
  auto* packet = new streamer::SimpleSamplePacket();
  uint8_t* copy = nullptr;
  if (!bytes.empty()) {
    copy = new uint8_t[bytes.size()];
    std::memcpy(copy, bytes.data(), bytes.size());
  }
  packet->set(type, copy, static_cast<unsigned>(bytes.size()), time, duration, key);
  return packet;
}

class CountedPacket : public streamer::SamplePacket {
 public:
  CountedPacket(PacketLedger& ledger, PACKETTYPE type, std::vector<uint8_t> bytes, uint64_t time, uint64_t duration,
                bool key)
      : ledger_(ledger), type_(type), bytes_(std::move(bytes)), time_(time), duration_(duration), key_(key) {}
  ~CountedPacket() override { ++ledger_.deleted_; }
  void release() override {
    ++ledger_.released_;
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  void addRef() override { references_.fetch_add(1); }
  uint64_t getTime() override { return time_; }
  void setTime(const uint64_t& time) override { time_ = time; }
  uint64_t getDuration() override { return duration_; }
  void setDuration(const uint64_t& duration) override { duration_ = duration; }
  PACKETTYPE getType() override { return type_; }
  uint8_t* getData() override { return bytes_.empty() ? nullptr : bytes_.data(); }
  unsigned getSize() override { return static_cast<unsigned>(bytes_.size()); }
  bool isKeyFrame() override { return key_; }

 private:
  PacketLedger& ledger_;
  PACKETTYPE type_;
  std::vector<uint8_t> bytes_;
  uint64_t time_, duration_;
  bool key_;
  std::atomic<int> references_{1};
};

streamer::SamplePacket* PacketLedger::make(PACKETTYPE type, std::vector<uint8_t> bytes, uint64_t time,
                                           uint64_t duration, bool key) {
  ++made_;
  return new CountedPacket(*this, type, std::move(bytes), time, duration, key);
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
