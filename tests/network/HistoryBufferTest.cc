// The history ring buffer: the history window, wrap-around, blocking
// writes and reads and their release, and many threads moving bytes
// through it with every byte checked.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "network/CircularMemoryHistoryBuffer.h"
#include "TestHttpServer.h"

namespace zan {
namespace {

using namespace std::chrono_literals;
using test::patternByte;
constexpr int64_t kMiB = 1024 * 1024;

std::vector<uint8_t> pattern(int64_t offset, int64_t length) {
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  for (int64_t i = 0; i < length; ++i) bytes[static_cast<size_t>(i)] = patternByte(offset + i);
  return bytes;
}

// Writes pattern bytes from |offset| on without blocking; the count stored.
int64_t writePattern(CircularHistoryBuffer& buffer, int64_t offset, int64_t length) {
  return buffer.write(pattern(offset, length).data(), length, false);
}

// Reads |length| bytes and checks them against the pattern at |offset|.
void readAndCheck(CircularHistoryBufferReader& reader, int64_t offset, int64_t length) {
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  int64_t io = length;
  ASSERT_EQ(reader.read(bytes.data(), &io, length, length, false), length);
  ASSERT_EQ(io, length);
  ASSERT_EQ(bytes, pattern(offset, length)) << "at offset " << offset;
}

TEST(HistoryBufferTest, HistoryWindowIsWhatWasReadUpToTheHistorySize) {
  CircularMemoryHistoryBuffer buffer(10 * kMiB, 2 * kMiB);
  CircularHistoryBufferReader* reader = buffer.createReader();
  ASSERT_NE(reader, nullptr);
  auto expectInBuffer = [&](std::initializer_list<int64_t> offsets, bool inBuffer) {
    for (int64_t offset : offsets) {
      EXPECT_EQ(buffer.isOffsetInBuffer(offset), inBuffer) << offset;
      EXPECT_EQ(reader->isOffsetInBuffer(offset), inBuffer) << offset;
    }
  };
  ASSERT_EQ(writePattern(buffer, 0, 5 * kMiB), 5 * kMiB);
  // Read position 1 MiB: everything read so far is history.
  readAndCheck(*reader, 0, kMiB);
  expectInBuffer({0, kMiB - 1, 5 * kMiB - 1}, true);
  expectInBuffer({5 * kMiB}, false);
  // Filling the ring keeps them: 4 MiB unread, 2 MiB of history, 1 byte free.
  ASSERT_EQ(writePattern(buffer, 5 * kMiB, 6 * kMiB), 4 * kMiB - 1);
  // Read position 3 MiB: 2 MiB of history behind it.
  readAndCheck(*reader, kMiB, 2 * kMiB);
  expectInBuffer({kMiB, 3 * kMiB, 9 * kMiB - 2}, true);
  expectInBuffer({kMiB - 1, 9 * kMiB - 1}, false);
}

TEST(HistoryBufferTest, HistoryWindowNeverCoversOverwrittenBytes) {
  // 100-byte ring, 40 bytes of history: after 150 bytes read, a reader back
  // at 110 must not be offered 70..90 again (those bytes were overwritten).
  CircularMemoryHistoryBuffer buffer(100, 40);
  CircularHistoryBufferReader* reader = buffer.createReader();
  int64_t written = 0;
  int64_t read = 0;
  while (read < 150) {
    written += writePattern(buffer, written, 30);
    const int64_t take = std::min<int64_t>(reader->getAvailable(), 150 - read);
    readAndCheck(*reader, read, take);
    read += take;
  }
  written += writePattern(buffer, written, 100);  // fills what the window allows
  EXPECT_EQ(buffer.getFreeSpace(), 0);
  ASSERT_TRUE(reader->seek(110));
  const int64_t oldest = written - 100 + 1;
  EXPECT_FALSE(reader->isOffsetInBuffer(oldest - 1));
  EXPECT_FALSE(reader->seek(oldest - 1));
  ASSERT_TRUE(reader->seek(oldest));
  readAndCheck(*reader, oldest, written - oldest);
}

TEST(HistoryBufferTest, WriteEndingExactlyAtTheRingEndWrapsToIndexZero) {
  CircularMemoryHistoryBuffer buffer(1000, 100);
  CircularHistoryBufferReader* reader = buffer.createReader();
  for (const auto& [offset, length] : {std::pair{0, 600}, {600, 400}, {1000, 50}}) {
    ASSERT_EQ(writePattern(buffer, offset, length), length);
    readAndCheck(*reader, offset, length);
  }
  // A read that crosses the wrap point is two copies of the right bytes.
  ASSERT_TRUE(reader->seek(960));
  readAndCheck(*reader, 960, 90);
}

// A blocked writer is released by reset, suspension and close (returning the
// 999 bytes that fitted), a blocked reader by close.
TEST(HistoryBufferTest, BlockedWriteAndReadAreReleased) {
  const std::vector<uint8_t> bytes = pattern(0, 3000);
  for (const std::string release : {"reset", "suspend", "close", "close a blocked read"}) {
    SCOPED_TRACE(release);
    CircularMemoryHistoryBuffer buffer(1000, 100);
    CircularHistoryBufferReader* reader = buffer.createReader();
    const bool read = release == "close a blocked read";
    std::atomic<int64_t> result{-2};
    std::thread blocked([&] {
      uint8_t in[100];
      int64_t io = 100;
      result = read ? reader->read(in, &io, 100, 100, true) : buffer.write(bytes.data(), 3000, true);
    });
    // The reader never reads: a writer fills 999 bytes and waits.
    while (!read && buffer.getTotalWritten() < 999) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(result.load(), -2);
    if (release == "reset") buffer.reset();
    if (release == "suspend") buffer.suspendWrites();
    if (release.starts_with("close")) buffer.close();
    blocked.join();
    EXPECT_EQ(result.load(), read ? 0 : 999);
    if (release == "suspend") {
      // Nothing is stored until reset(), and nothing blocks.
      EXPECT_EQ(buffer.write(bytes.data(), 3000, true), 0);
      buffer.reset();
      EXPECT_EQ(buffer.write(bytes.data(), 10, true), 10);
    }
    if (read) {
      EXPECT_EQ(buffer.createReader(), nullptr);
      EXPECT_EQ(writePattern(buffer, 0, 10), 0);
    }
  }
}

// One writer and several readers per buffer, two buffers at once: random
// chunk sizes, random backward seeks into the history, every byte checked.
TEST(HistoryBufferTest, ManyThreadsMoveEveryByteIntact) {
  constexpr int64_t kTotal = 12 * kMiB;
  constexpr int kReaders = 3;
  std::atomic<int64_t> errors{0};
  auto run = [&errors](unsigned seed) {
    CircularMemoryHistoryBuffer buffer(256 * 1024, 64 * 1024);
    std::vector<CircularHistoryBufferReader*> readers;
    for (int i = 0; i < kReaders; ++i) readers.push_back(buffer.createReader());
    std::vector<std::jthread> threads;  // joined before the buffer goes
    threads.emplace_back([&, seed] {
      std::mt19937 random(seed);
      for (int64_t offset = 0; offset < kTotal;) {
        const int64_t length = std::min<int64_t>(kTotal - offset, 1 + random() % 100000);
        if (buffer.write(pattern(offset, length).data(), length, true) != length) ++errors;
        offset += length;
      }
      buffer.setEndOfStream();
    });
    for (int i = 0; i < kReaders; ++i) {
      threads.emplace_back([&, i, seed] {
        std::mt19937 random(seed * 31 + static_cast<unsigned>(i));
        CircularHistoryBufferReader* reader = readers[static_cast<size_t>(i)];
        std::vector<uint8_t> bytes(70000);
        for (;;) {
          // Now and then back to anywhere inside the 64 KiB of history.
          if (random() % 50 == 0 && reader->getPosition() > 64 * 1024) {
            if (!reader->seek(reader->getPosition() - static_cast<int64_t>(random() % (64 * 1024)))) ++errors;
          }
          const int64_t position = reader->getPosition();
          int64_t io = 1 + random() % 70000;
          const int64_t minimum = 1 + random() % io;
          const int64_t got = reader->read(bytes.data(), &io, minimum, io, true);
          if (got < 0) ++errors;
          if (got <= 0) break;
          if (!test::matchesPattern(bytes.data(), static_cast<size_t>(got), position)) ++errors;
        }
        if (reader->getPosition() != kTotal) ++errors;
      });
    }
  };
  {
    std::jthread first(run, 1), second(run, 2);
  }
  EXPECT_EQ(errors.load(), 0);
}

}  // namespace
}  // namespace zan
