// Thin wrappers over POSIX mutexes, condition variables and read/write
// locks, plus scoped guards. These are the library's only synchronisation
// primitives (besides atomic reference counts).
//
// PCondMutex pairs a mutex with a condition and a boolean flag, which makes
// it a manual-reset event: the owner sets |flag| under the lock and calls
// broadcast(); waiters use waitForFlag(). Timed waits use an absolute
// CLOCK_REALTIME deadline so spurious wake-ups never extend them.
#pragma once

#include <pthread.h>

namespace zan {

class PMutex {
 public:
  explicit PMutex(bool recursive = false);
  virtual ~PMutex();
  PMutex(const PMutex&) = delete;
  PMutex& operator=(const PMutex&) = delete;

  void lock();
  void unlock();
  pthread_mutex_t* native() { return &mutex_; }

 private:
  pthread_mutex_t mutex_;
};

class PCondMutex : public PMutex {
 public:
  explicit PCondMutex(bool initialFlag = false, bool recursive = false);
  ~PCondMutex() override;

  // Waits on the condition; the caller holds the mutex.
  void wait();
  // Waits until |deadline|; false on time-out. The caller holds the mutex.
  bool waitUntil(const struct timespec& deadline);
  void broadcast();
  void signal();

  // Locks, waits until |flag| is true, unlocks.
  void waitForFlag();
  // The same with a time-out in milliseconds: false when the deadline passed
  // before the flag was set. A set flag returns true without waiting.
  bool waitForFlag(int timeoutMs);
  // Sets the flag under the lock and wakes every waiter.
  void setFlag(bool value = true);

  pthread_cond_t* nativeCondition() { return &condition_; }

  // Guarded by the mutex of this object.
  bool flag;

 private:
  pthread_cond_t condition_;
};

// A condition bound to an external mutex that the caller holds.
class PCondition {
 public:
  explicit PCondition(PMutex* mutex);
  virtual ~PCondition();
  PCondition(const PCondition&) = delete;
  PCondition& operator=(const PCondition&) = delete;

  void signal();
  void broadcast();
  void wait();
  bool waitUntil(const struct timespec& deadline);

 private:
  PMutex* mutex_;
  pthread_cond_t condition_;
};

class PReadWriteLock {
 public:
  PReadWriteLock();
  virtual ~PReadWriteLock();
  PReadWriteLock(const PReadWriteLock&) = delete;
  PReadWriteLock& operator=(const PReadWriteLock&) = delete;

  void readLock();
  void writeLock();
  void unlock();

 private:
  pthread_rwlock_t lock_;
};

// Locks in the constructor, unlocks in the destructor.
class PLockGuard {
 public:
  explicit PLockGuard(PMutex& mutex) : mutex_(mutex) { mutex_.lock(); }
  ~PLockGuard() { mutex_.unlock(); }
  PLockGuard(const PLockGuard&) = delete;
  PLockGuard& operator=(const PLockGuard&) = delete;

 private:
  PMutex& mutex_;
};

// Unlocks for its lifetime: used to call out of a locked region.
class PUnlockGuard {
 public:
  explicit PUnlockGuard(PMutex& mutex) : mutex_(mutex) { mutex_.unlock(); }
  ~PUnlockGuard() { mutex_.lock(); }
  PUnlockGuard(const PUnlockGuard&) = delete;
  PUnlockGuard& operator=(const PUnlockGuard&) = delete;

 private:
  PMutex& mutex_;
};

class PReadGuard {
 public:
  explicit PReadGuard(PReadWriteLock& lock) : lock_(lock) { lock_.readLock(); }
  ~PReadGuard() { lock_.unlock(); }
  PReadGuard(const PReadGuard&) = delete;
  PReadGuard& operator=(const PReadGuard&) = delete;

 private:
  PReadWriteLock& lock_;
};

class PWriteGuard {
 public:
  explicit PWriteGuard(PReadWriteLock& lock) : lock_(lock) { lock_.writeLock(); }
  ~PWriteGuard() { lock_.unlock(); }
  PWriteGuard(const PWriteGuard&) = delete;
  PWriteGuard& operator=(const PWriteGuard&) = delete;

 private:
  PReadWriteLock& lock_;
};

// The absolute CLOCK_REALTIME time |timeoutMs| from now, nanoseconds
// normalised below one second.
struct timespec deadlineAfter(long long timeoutMs);

}  // namespace zan
