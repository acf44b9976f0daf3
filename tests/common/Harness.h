// Frames out of a core or a stage as plain records, packets that count
// their release, a byte stream in memory, the plug-in loaded once, and
// calls bounded in time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/FFMpegDecoderCore.h"
#include "zan/streamer/PluginInterfaces.h"

namespace zan::test {

struct Frame {
  streamer::PACKETTYPE type = streamer::PACKET_END;
  uint64_t time = 0;
  uint64_t duration = 0;
  unsigned size = 0;
  bool key = false;
  uint64_t checksum = 0;       // FNV-1a of the bytes
  std::vector<uint8_t> bytes;  // kept only when asked for
  const void* data = nullptr;  // a stage's data and frame context, compared only
  const void* context = nullptr;
};

struct Frames {
  std::vector<Frame> all;  // both kinds in delivery order, without the end marker
  std::vector<Frame> video;
  std::vector<Frame> audio;
  int ends = 0;  // PACKET_END frames seen
};

inline constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

uint64_t checksum(const uint8_t* data, std::size_t size);

// Until the core or stage gives false or the end marker, or |limit| frames;
// every array is handed back as the engine does.
Frames readFrames(FFMpegDecoderCore& core, std::size_t limit = kNoLimit, bool keepBytes = false);
Frames readFrames(streamer::InputStream& stage, std::size_t limit = kNoLimit, bool keepBytes = false);

// Reads |stage| to its end marker while |write| runs on a thread; after
// 30 s without the end, |unblock| ends the read and the test fails.
Frames pump(streamer::InputStream& stage, const std::function<void()>& write, const std::function<void()>& unblock,
            bool keepBytes = false);

// True when no frame's time is below the one before it.
bool nonDecreasing(const std::vector<Frame>& frames);
uint64_t byteCount(const std::vector<Frame>& frames);  // the frames' sizes together
// Frame by frame the same kind, times, key flag and bytes; else says where not.
::testing::AssertionResult sameFrames(const std::vector<Frame>& actual, const std::vector<Frame>& expected);

// A SimpleSamplePacket holding a new[] copy of |bytes|.
streamer::SamplePacket* makePacket(streamer::PACKETTYPE type, const std::vector<uint8_t>& bytes = {},
                                   uint64_t time = 0, uint64_t duration = 0, bool key = false);

// Packets that count their releases and deletions: "released exactly
// once" apart from a leak (AddressSanitizer catches a second release).
class PacketLedger {
 public:
  streamer::SamplePacket* make(streamer::PACKETTYPE type, std::vector<uint8_t> bytes = {}, uint64_t time = 0,
                               uint64_t duration = 0, bool key = false);
  int made() const { return made_; }
  int released() const { return released_; }
  int deleted() const { return deleted_; }

 private:
  friend class CountedPacket;
  std::atomic<int> made_{0}, released_{0}, deleted_{0};
};

// A file served from memory through the core's read and seek callbacks.
class MemoryByteSource {
 public:
  explicit MemoryByteSource(std::string bytes) : bytes_(std::move(bytes)) {}
  static int read(void* opaque, uint8_t* buffer, int size);
  static int64_t seek(void* opaque, int64_t offset, int whence);

 private:
  std::string bytes_;
  int64_t position_ = 0;
};

// The plug-in library's factories (null when it does not load), loaded
// once and never unloaded, as the engine does: unloading it would unload
// libraries whose per-thread blocks LeakSanitizer then reports.
TranscoderPluginFactoryFn transcoderFactory(const char* path);
InputPluginFactoryFn inputFactory(const char* path);

// Runs |call| on a thread; false when it took longer than |limit|, after
// |unblock| made it return.
bool returnsWithin(std::chrono::milliseconds limit, const std::function<void()>& call,
                   const std::function<void()>& unblock);

}  // namespace zan::test
