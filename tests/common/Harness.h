// The test harness for everything that hands out frames or takes packets:
// frames pulled out of a decoding core or a stage into plain records (each
// array handed back as the engine does), packets that count their own
// deletion, a byte stream held in memory, the built plug-in loaded once,
// and a call that must return within a time limit.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

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

// decodeFromMedium until it is false or |limit| frames came out; arrays are
// freed with delete[] as the engine's freeFrame does.
Frames readFrames(FFMpegDecoderCore& core, std::size_t limit = kNoLimit, bool keepBytes = false);
// readFrame until it is false or gives PACKET_END, at most |limit| calls;
// each frame goes back through freeFrame.
Frames readFrames(streamer::InputStream& stage, std::size_t limit = kNoLimit, bool keepBytes = false);

// Runs |write| on a writer thread while this one reads |stage| up to its
// end marker; when no end comes within 30 s, runs |unblock| (which must end
// the read) and fails the test instead of hanging it.
Frames pump(streamer::InputStream& stage, const std::function<void()>& write, const std::function<void()>& unblock,
            bool keepBytes = false);

// True when no frame's time is below the one before it.
bool nonDecreasing(const std::vector<Frame>& frames);

// A SimpleSamplePacket holding a new[] copy of |bytes|.
streamer::SamplePacket* makePacket(streamer::PACKETTYPE type, const std::vector<uint8_t>& bytes = {},
                                   uint64_t time = 0, uint64_t duration = 0, bool key = false);

// Makes packets that count their releases and deletions, so a test can
// tell "released exactly once" from a leak (and AddressSanitizer a second
// release from a use after free). getTime() is the time given.
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

// A file held in memory and served through the core's read and seek
// callbacks, as a network reader serves its buffer.
class MemoryByteSource {
 public:
  explicit MemoryByteSource(std::string bytes) : bytes_(std::move(bytes)) {}
  static int read(void* opaque, uint8_t* buffer, int size);
  static int64_t seek(void* opaque, int64_t offset, int whence);

 private:
  std::string bytes_;
  int64_t position_ = 0;
};

// The factories of the plug-in library at |path|, loaded once for the whole
// program as the engine does (unloading it would also unload libraries
// FFmpeg pulls in, whose per-thread blocks LeakSanitizer then reports).
// Null when it cannot be loaded.
TranscoderPluginFactoryFn transcoderFactory(const char* path);
InputPluginFactoryFn inputFactory(const char* path);

// Runs |call| on a thread of its own. True when it returned within
// |limit|; otherwise runs |unblock| (which must make |call| return), waits
// for it and gives false, so a hang fails the test instead of stalling it.
bool returnsWithin(std::chrono::milliseconds limit, const std::function<void()>& call,
                   const std::function<void()>& unblock);

}  // namespace zan::test
