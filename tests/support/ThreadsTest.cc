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
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
  int returnAtOnce(void*) {
    ++runs;
    return 7;
  }
  int waitForRelease(void*) {
    while (!release) std::this_thread::sleep_for(1ms);
    finished = true;
    return 0;
  }
};

TEST(PThreadTest, ConstructorReturnsEvenWhenTheDelegateReturnsAtOnce) {
  Worker worker;
  for (int i = 0; i < 50; ++i) {
    PThread thread(nullptr, PThreadDelegateMember<Worker>(&worker, &Worker::returnAtOnce), nullptr);
    EXPECT_TRUE(thread.running());
    thread.join();
  }
  EXPECT_EQ(worker.runs, 50);
}

TEST(PThreadTest, AnUnjoinedThreadOutlivesItsObject) {
  Worker worker;
  {
    PThread thread(nullptr, PThreadDelegateMember<Worker>(&worker, &Worker::waitForRelease), nullptr);
  }
  EXPECT_FALSE(worker.finished);
  worker.release = true;
  EXPECT_TRUE(test::waitFor([&] { return worker.finished.load(); }, 5s));
}

TEST(PCondMutexTest, TimedFlagWaits) {
  PCondMutex event;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.waitForFlag(0));
  EXPECT_FALSE(event.waitForFlag(50));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);

  event.setFlag(true);
  const auto setAt = std::chrono::steady_clock::now();
  EXPECT_TRUE(event.waitForFlag(0));
  EXPECT_TRUE(event.waitForFlag(10000));
  EXPECT_LT(std::chrono::steady_clock::now() - setAt, 1s);
}

TEST(PCondMutexTest, SetFlagWakesEveryWaiter) {
  PCondMutex event;
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
}

TEST(PMutexTest, RecursiveMutexMayBeLockedTwiceByOneThread) {
  PMutex recursive(true);
  recursive.lock();
  recursive.lock();
  EXPECT_EQ(pthread_mutex_trylock(recursive.native()), 0);  // a third time
  recursive.unlock();
  recursive.unlock();
  recursive.unlock();

  PMutex plain(false);
  plain.lock();
  EXPECT_NE(pthread_mutex_trylock(plain.native()), 0);
  plain.unlock();
}

TEST(PMutexTest, GuardsUnlockAndRelock) {
  PMutex mutex;
  {
    PLockGuard lock(mutex);
    {
      PUnlockGuard unlocked(mutex);
      std::thread other([&] { PLockGuard inner(mutex); });
      other.join();  // would hang if the unlock guard did not unlock
    }
    EXPECT_NE(pthread_mutex_trylock(mutex.native()), 0);  // locked again
  }
  EXPECT_EQ(pthread_mutex_trylock(mutex.native()), 0);
  mutex.unlock();
}

TEST(PReadWriteLockTest, ReadersShareAndWritersExclude) {
  PReadWriteLock lock;
  std::atomic<int> readersInside{0};
  std::atomic<int> maxReaders{0};
  std::atomic<bool> writerInside{false};
  std::atomic<bool> overlap{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        if (t == 0 && i % 10 == 0) {
          PWriteGuard write(lock);
          writerInside = true;
          if (readersInside != 0) overlap = true;
          std::this_thread::sleep_for(50us);
          writerInside = false;
        } else {
          PReadGuard read(lock);
          const int inside = ++readersInside;
          int seen = maxReaders;
          while (inside > seen && !maxReaders.compare_exchange_weak(seen, inside)) {
          }
          if (writerInside) overlap = true;
          std::this_thread::sleep_for(20us);
          --readersInside;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(overlap);
  EXPECT_GE(maxReaders, 1);
}

TEST(DeadlineTest, NanosecondsStayNormalised) {
  for (long long ms : {0LL, 1LL, 999LL, 1000LL, 1999LL, 123456LL}) {
    const struct timespec deadline = deadlineAfter(ms);
    EXPECT_GE(deadline.tv_nsec, 0);
    EXPECT_LT(deadline.tv_nsec, 1000000000L);
  }
}

}  // namespace
}  // namespace zan
