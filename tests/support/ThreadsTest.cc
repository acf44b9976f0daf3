// The thread and lock wrappers: thread start-up and lifetime, flag waits, the
// read/write lock. (The decoder stage's wait tests cover the recursive mutex.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/PMutex.h"
#include "support/PThread.h"
#include "tests/common/TestSupport.h"

namespace zan {
namespace {

using namespace std::chrono_literals;

struct Worker {
  std::atomic<int> runs{0};
  std::atomic<bool> release{false}, finished{false};
  int returnAtOnce(void*) { return ++runs; }
  int waitForRelease(void*) {
    while (!release) std::this_thread::sleep_for(1ms);
    finished = true;
    return 0;
  }
};

TEST(PThreadTest, StartsEvenWhenTheDelegateReturnsAtOnceAndOutlivesItsObject) {
  Worker worker;
  for (int i = 0; i < 50; ++i) {
    PThread thread(nullptr, PThreadDelegateMember<Worker>(&worker, &Worker::returnAtOnce), nullptr);
    EXPECT_TRUE(thread.running());
    thread.join();
  }
  EXPECT_EQ(worker.runs, 50);
  { PThread unjoined(nullptr, PThreadDelegateMember<Worker>(&worker, &Worker::waitForRelease), nullptr); }
  EXPECT_FALSE(worker.finished);
  worker.release = true;
  EXPECT_TRUE(test::waitFor([&] { return worker.finished.load(); }, 5s));
}

TEST(PCondMutexTest, TimedWaitsAndSetFlagWakesEveryWaiter) {
  PCondMutex event;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.waitForFlag(50));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i)
    waiters.emplace_back([&] {
      event.waitForFlag();
      ++woken;
    });
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(woken, 0);
  event.setFlag(true);
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(woken, 4);
  for (long long ms : {0LL, 999LL, 1000LL, 1999LL, 123456LL}) {
    const struct timespec deadline = deadlineAfter(ms);
    EXPECT_GE(deadline.tv_nsec, 0);
    EXPECT_LT(deadline.tv_nsec, 1000000000L);
  }
}

// Two readers are inside at once (each waits, bounded, for the other while
// holding the lock); a writer waits for both to leave, a reader for the writer.
TEST(PReadWriteLockTest, ReadersShareAndWritersExclude) {
  PReadWriteLock lock;
  std::atomic<int> readersInside{0}, sawTheOther{0}, readersSeenByWriter{-1};
  std::atomic<bool> releaseReaders{false}, releaseWriter{false}, writerInside{false}, lateReaderInside{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i)
    readers.emplace_back([&] {
      PReadGuard read(lock);
      ++readersInside;
      if (test::waitFor([&] { return readersInside.load() == 2; }, 5s)) ++sawTheOther;
      while (!releaseReaders) std::this_thread::sleep_for(1ms);
      --readersInside;
    });
  ASSERT_TRUE(test::waitFor([&] { return sawTheOther.load() == 2; }, 10s));
  std::thread writer([&] {
    PWriteGuard write(lock);
    readersSeenByWriter = readersInside.load();
    writerInside = true;
    while (!releaseWriter) std::this_thread::sleep_for(1ms);
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(writerInside);
  releaseReaders = true;
  for (auto& reader : readers) reader.join();
  ASSERT_TRUE(test::waitFor([&] { return writerInside.load(); }, 5s));
  EXPECT_EQ(readersSeenByWriter, 0);
  std::thread lateReader([&] {
    PReadGuard read(lock);
    lateReaderInside = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(lateReaderInside);
  releaseWriter = true;
  writer.join();
  lateReader.join();
  EXPECT_TRUE(lateReaderInside);
}

}  // namespace
}  // namespace zan
