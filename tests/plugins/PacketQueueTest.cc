#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "plugins/PacketQueue.h"
#include "plugins/SimpleSamplePacket.h"
#include "tests/common/TestSupport.h"

namespace zan::streamer {
namespace {

using namespace std::chrono_literals;

// A packet that records how often it was released and when it died, so
// tests can tell "released exactly once" from "leaked" or "freed twice".
struct Ledger {
  std::atomic<int> released{0};
  std::atomic<int> deleted{0};
};

class CountedPacket : public SamplePacket {
 public:
  CountedPacket(Ledger& ledger, int id, unsigned size = 1) : ledger_(ledger), id_(id), size_(size) {}
  ~CountedPacket() override { ++ledger_.deleted; }
  void release() override {
    ++ledger_.released;
    if (--refs_ == 0) delete this;
  }
  void addRef() override { ++refs_; }
  uint64_t getTime() override { return static_cast<uint64_t>(id_); }
  void setTime(const uint64_t&) override {}
  uint64_t getDuration() override { return 0; }
  void setDuration(const uint64_t&) override {}
  PACKETTYPE getType() override { return PACKET_AUDIO; }
  uint8_t* getData() override { return nullptr; }
  unsigned getSize() override { return size_; }
  bool isKeyFrame() override { return false; }
  int id() const { return id_; }

 private:
  Ledger& ledger_;
  int id_;
  unsigned size_;
  std::atomic<int> refs_{1};
};

TEST(SimpleSamplePacketTest, StartsEmptyAndTheLastReleaseFreesData) {
  auto* packet = new SimpleSamplePacket();
  EXPECT_EQ(packet->getType(), PACKET_END);
  EXPECT_EQ(packet->getSize(), 0u);
  EXPECT_EQ(packet->getData(), nullptr);
  EXPECT_FALSE(packet->isKeyFrame());
  packet->set(PACKET_VIDEO, new uint8_t[16], 16, 10, 20, true);
  // set() frees the old buffer before it takes the new one (the sanitizer
  // build reports a leak otherwise).
  packet->set(PACKET_AUDIO, new uint8_t[8], 8, 30, 40, false);
  EXPECT_EQ(packet->getSize(), 8u);
  EXPECT_EQ(packet->getTime(), 30u);
  packet->addRef();
  packet->release();
  EXPECT_EQ(packet->getDuration(), 40u);  // still alive after one of two
  packet->release();
}

TEST(PacketQueueTest, SixthWriteBlocksUntilARead) {
  Ledger ledger;
  PacketQueue queue(5, 0);
  for (int i = 0; i < 5; ++i) queue.write(new CountedPacket(ledger, i));
  std::atomic<bool> sixthDone{false};
  std::thread writer([&] {
    queue.write(new CountedPacket(ledger, 5));
    sixthDone = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(sixthDone);
  SamplePacket* first = queue.read(false);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->getTime(), 0u);
  first->release();
  EXPECT_TRUE(test::waitFor([&] { return sixthDone.load(); }, 2s));
  writer.join();
  EXPECT_EQ(queue.size(), 5);
}

TEST(PacketQueueTest, StopReleasesABlockedWriterAndItsPacket) {
  Ledger ledger;
  PacketQueue queue(5, 0);
  for (int i = 0; i < 5; ++i) queue.write(new CountedPacket(ledger, i));
  std::thread writer([&] { queue.write(new CountedPacket(ledger, 99)); });
  std::this_thread::sleep_for(20ms);
  const auto stoppedAt = std::chrono::steady_clock::now();
  queue.stop();
  writer.join();
  EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt, 200ms);
  EXPECT_EQ(ledger.deleted, 1);  // the sixth packet was dropped
  EXPECT_EQ(queue.size(), 5);
  // While stopped, writes drop their packets and reads give nothing.
  queue.write(new CountedPacket(ledger, 100));
  EXPECT_EQ(ledger.deleted, 2);
  EXPECT_EQ(queue.read(true), nullptr);
}

TEST(PacketQueueTest, StopWakesABlockedReader) {
  PacketQueue queue(5, 0);
  std::atomic<bool> returned{false};
  SamplePacket* got = reinterpret_cast<SamplePacket*>(1);
  std::thread reader([&] {
    got = queue.read(true);
    returned = true;
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(returned);
  queue.stop();
  reader.join();
  EXPECT_EQ(got, nullptr);
}

// A read that returns null tells a stage's reader the stream has ended:
// after a restart, a read of the empty queue must wait for the next packet.
TEST(PacketQueueTest, AfterStopAndStartAReadWaitsForTheNextPacket) {
  Ledger ledger;
  PacketQueue queue(5, 0);
  queue.stop();
  queue.start();
  std::atomic<SamplePacket*> got{nullptr};
  std::thread reader([&] { got = queue.read(true); });
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(got.load(), nullptr);
  queue.write(new CountedPacket(ledger, 7));
  reader.join();
  ASSERT_NE(got.load(), nullptr);
  EXPECT_EQ(got.load()->getTime(), 7u);
  got.load()->release();
}

TEST(PacketQueueTest, ClearReleasesEveryPacketExactlyOnce) {
  Ledger ledger;
  {
    PacketQueue queue(0, 1000);  // counted by bytes
    for (int i = 0; i < 4; ++i) queue.write(new CountedPacket(ledger, i, 100));
    queue.clear();
    EXPECT_EQ(ledger.released, 4);
    EXPECT_EQ(ledger.deleted, 4);
    EXPECT_EQ(queue.size(), 0);
    EXPECT_EQ(queue.read(false), nullptr);
    // queuedBytes went back to 0: ten more 100-byte packets fit again.
    std::thread writer([&] {
      for (int i = 0; i < 10; ++i) queue.write(new CountedPacket(ledger, i, 100));
    });
    writer.join();
    EXPECT_EQ(queue.size(), 10);
  }
  // The destructor released what was left.
  EXPECT_EQ(ledger.deleted, 14);
}

TEST(PacketQueueTest, ByteLimitBlocksWriters) {
  Ledger ledger;
  PacketQueue queue(0, 250);
  for (int i = 0; i < 3; ++i) queue.write(new CountedPacket(ledger, i, 100));  // 300 >= 250 after the third
  std::atomic<bool> done{false};
  std::thread writer([&] {
    queue.write(new CountedPacket(ledger, 3, 100));
    done = true;
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(done);
  queue.read(false)->release();
  queue.read(false)->release();
  EXPECT_TRUE(test::waitFor([&] { return done.load(); }, 2s));
  writer.join();
}

// Several writers and one reader hammer the queue; every packet must come
// out exactly once, in each writer's order, and be released exactly once.
TEST(PacketQueueTest, ManyWritersOneReaderLoseNothing) {
  constexpr int kWriters = 4;
  constexpr int kPerWriter = 3000;
  Ledger ledger;
  PacketQueue queue(5, 0);
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([&, w] {
      for (int i = 0; i < kPerWriter; ++i) queue.write(new CountedPacket(ledger, w * kPerWriter + i));
    });
  std::vector<int> lastSeen(kWriters, -1);
  std::set<int> seen;
  bool inOrder = true;
  while (static_cast<int>(seen.size()) < kWriters * kPerWriter) {
    SamplePacket* packet = queue.read(true);
    if (packet == nullptr) continue;
    const int id = static_cast<int>(packet->getTime());
    const int writer = id / kPerWriter;
    if (id % kPerWriter <= lastSeen[writer]) inOrder = false;
    lastSeen[writer] = id % kPerWriter;
    seen.insert(id);
    packet->release();
  }
  for (auto& writer : writers) writer.join();
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kWriters * kPerWriter));
  EXPECT_EQ(ledger.deleted, kWriters * kPerWriter);
}

// Writers, a reader and a controller that stops, clears and restarts the
// queue: whatever happens, every packet is released exactly once.
TEST(PacketQueueTest, StopAndClearUnderLoadReleaseEveryPacketOnce) {
  constexpr int kWriters = 3;
  constexpr int kPerWriter = 2000;
  Ledger ledger;
  {
    PacketQueue queue(5, 0);
    std::atomic<bool> writing{true};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
      writers.emplace_back([&, w] {
        for (int i = 0; i < kPerWriter; ++i) queue.write(new CountedPacket(ledger, w * kPerWriter + i));
      });
    std::thread reader([&] {
      while (writing) {
        if (SamplePacket* packet = queue.read(true)) packet->release();
      }
    });
    std::thread controller([&] {
      for (int round = 0; round < 50; ++round) {
        std::this_thread::sleep_for(1ms);
        queue.stop();
        queue.clear();
        queue.start();
      }
    });
    controller.join();
    for (auto& writer : writers) writer.join();
    writing = false;
    queue.stop();
    reader.join();
  }
  EXPECT_EQ(ledger.deleted, kWriters * kPerWriter);
  EXPECT_EQ(ledger.released, kWriters * kPerWriter);
}

// The count is atomic: references taken and dropped on several threads at
// once free the packet exactly once.
TEST(SimpleSamplePacketTest, ConcurrentReferencesFreeOnce) {
  for (int round = 0; round < 200; ++round) {
    auto* packet = new SimpleSamplePacket();
    packet->set(PACKET_AUDIO, new uint8_t[64], 64, 0, 0, false);
    for (int i = 0; i < 4; ++i) packet->addRef();
    std::vector<std::thread> threads;
    for (int i = 0; i < 5; ++i) threads.emplace_back([packet] { packet->release(); });
    for (auto& thread : threads) thread.join();
  }
}

}  // namespace
}  // namespace zan::streamer
