// The bounded packet queue between the engine's threads, and the packet
// whose last release frees its bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "plugins/PacketQueue.h"
#include "plugins/SimpleSamplePacket.h"
#include "tests/common/Harness.h"
#include "tests/common/TestSupport.h"

namespace zan::test {
namespace {

using namespace std::chrono_literals;
using streamer::PACKET_AUDIO;
using streamer::PacketQueue;
using streamer::SamplePacket;

SamplePacket* packet(PacketLedger& ledger, int id, size_t size = 1) {
  return ledger.make(PACKET_AUDIO, std::vector<uint8_t>(size), static_cast<uint64_t>(id));
}

// Full by count (five packets) or by bytes (250): the next write blocks
// until a read makes room.
TEST(PacketQueueTest, AFullQueueBlocksTheWriterUntilARead) {
  for (auto [maxPackets, maxBytes, size] : {std::tuple(5, 0, size_t{1}), {0, 250, size_t{100}}}) {
    SCOPED_TRACE(maxBytes);
    PacketLedger ledger;
    PacketQueue queue(maxPackets, maxBytes);
    int written = 0;
    while (queue.size() < (maxPackets ? maxPackets : 3)) queue.write(packet(ledger, written++, size));
    std::atomic<bool> done{false};
    // A copy: clang before 16 cannot capture a structured binding.
    std::thread writer([&, bytes = size] {
      queue.write(packet(ledger, written, bytes));
      done = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(done);
    SamplePacket* first = queue.read(false);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->getTime(), 0u);
    first->release();
    if (maxBytes) queue.read(false)->release();  // room for the whole packet, whichever way it is counted
    EXPECT_TRUE(waitFor([&] { return done.load(); }, 2s));
    writer.join();
  }
}

TEST(PacketQueueTest, StopReleasesABlockedWriterAndItsPacketAndWakesAReader) {
  PacketLedger ledger;
  PacketQueue queue(5, 0);
  for (int i = 0; i < 5; ++i) queue.write(packet(ledger, i));
  std::thread writer([&] { queue.write(packet(ledger, 99)); });
  std::this_thread::sleep_for(20ms);
  const auto stoppedAt = std::chrono::steady_clock::now();
  queue.stop();
  writer.join();
  EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt, 200ms);
  EXPECT_EQ(ledger.deleted(), 1);  // the sixth packet was dropped
  // While stopped, writes drop their packets and reads give nothing.
  queue.write(packet(ledger, 100));
  EXPECT_EQ(ledger.deleted(), 2);
  EXPECT_EQ(queue.read(true), nullptr);

  PacketQueue empty(5, 0);
  std::atomic<bool> returned{false};
  std::thread reader([&] {
    EXPECT_EQ(empty.read(true), nullptr);
    returned = true;
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(returned);
  empty.stop();
  reader.join();
}

// A read that returns null tells a stage's reader the stream has ended:
// after a restart, a read of the empty queue must wait for the next packet.
TEST(PacketQueueTest, AfterStopAndStartAReadWaitsForTheNextPacket) {
  PacketLedger ledger;
  PacketQueue queue(5, 0);
  queue.stop();
  queue.start();
  std::atomic<SamplePacket*> got{nullptr};
  std::thread reader([&] { got = queue.read(true); });
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(got.load(), nullptr);
  queue.write(packet(ledger, 7));
  reader.join();
  ASSERT_NE(got.load(), nullptr);
  EXPECT_EQ(got.load()->getTime(), 7u);
  got.load()->release();
}

TEST(PacketQueueTest, ClearReleasesEveryPacketExactlyOnce) {
  PacketLedger ledger;
  {
    PacketQueue queue(0, 1000);  // counted by bytes
    for (int i = 0; i < 4; ++i) queue.write(packet(ledger, i, 100));
    queue.clear();
    EXPECT_EQ(ledger.released(), 4);
    EXPECT_EQ(ledger.deleted(), 4);
    EXPECT_EQ(queue.read(false), nullptr);
    // The byte count went back to 0: ten more 100-byte packets fit again.
    EXPECT_TRUE(returnsWithin(2s, [&] { for (int i = 0; i < 10; ++i) queue.write(packet(ledger, i, 100)); },
                              [&] { queue.stop(); }));
    EXPECT_EQ(queue.size(), 10);
  }
  EXPECT_EQ(ledger.deleted(), 14);  // the destructor released what was left
}

// Writers, a reader and a controller that stops, clears and restarts the
// queue: whatever happens, every packet is released exactly once.
TEST(PacketQueueTest, StopAndClearUnderLoadReleaseEveryPacketOnce) {
  constexpr int kWriters = 3, kPerWriter = 2000;
  PacketLedger ledger;
  {
    PacketQueue queue(5, 0);
    std::atomic<bool> writing{true};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
      writers.emplace_back([&, w] {
        for (int i = 0; i < kPerWriter; ++i) queue.write(packet(ledger, w * kPerWriter + i));
      });
    std::thread reader([&] {
      while (writing)
        if (SamplePacket* got = queue.read(true)) got->release();
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
  EXPECT_EQ(ledger.deleted(), kWriters * kPerWriter);
  EXPECT_EQ(ledger.released(), kWriters * kPerWriter);
}

// set() frees the old bytes, the last of several references taken and
// dropped on several threads at once frees the packet once (the sanitizer
// build reports a leak or a double free).
TEST(SimpleSamplePacketTest, TheLastReleaseFreesOnce) {
  for (int round = 0; round < 200; ++round) {
    auto* packet = new streamer::SimpleSamplePacket();
    packet->set(streamer::PACKET_VIDEO, new uint8_t[16], 16, 10, 20, true);
    packet->set(PACKET_AUDIO, new uint8_t[64], 64, 0, 0, false);
    for (int i = 0; i < 4; ++i) packet->addRef();
    std::vector<std::thread> threads;
    for (int i = 0; i < 5; ++i) threads.emplace_back([packet] { packet->release(); });
    for (auto& thread : threads) thread.join();
  }
}

}  // namespace
}  // namespace zan::test
