#include "support/PMutex.h"

#include <cerrno>
#include <ctime>

namespace zan {

struct timespec deadlineAfter(long long timeoutMs) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  if (timeoutMs < 0) timeoutMs = 0;
  long long nanos = static_cast<long long>(now.tv_nsec) + (timeoutMs % 1000) * 1000000LL;
  struct timespec deadline;
  deadline.tv_sec = now.tv_sec + static_cast<time_t>(timeoutMs / 1000 + nanos / 1000000000LL);
  deadline.tv_nsec = static_cast<long>(nanos % 1000000000LL);
  return deadline;
}

PMutex::PMutex(bool recursive) {
  if (recursive) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
  } else {
    pthread_mutex_init(&mutex_, nullptr);
  }
}

PMutex::~PMutex() { pthread_mutex_destroy(&mutex_); }

void PMutex::lock() { pthread_mutex_lock(&mutex_); }

void PMutex::unlock() { pthread_mutex_unlock(&mutex_); }

PCondMutex::PCondMutex(bool initialFlag, bool recursive) : PMutex(recursive), flag(initialFlag) {
  pthread_cond_init(&condition_, nullptr);
}

PCondMutex::~PCondMutex() { pthread_cond_destroy(&condition_); }

void PCondMutex::wait() { pthread_cond_wait(&condition_, native()); }

bool PCondMutex::waitUntil(const struct timespec& deadline) {
  return pthread_cond_timedwait(&condition_, native(), &deadline) != ETIMEDOUT;
}

void PCondMutex::broadcast() { pthread_cond_broadcast(&condition_); }

void PCondMutex::signal() { pthread_cond_signal(&condition_); }

void PCondMutex::waitForFlag() {
  lock();
  while (!flag) wait();
  unlock();
}

bool PCondMutex::waitForFlag(int timeoutMs) {
  const struct timespec deadline = deadlineAfter(timeoutMs);
  lock();
  while (!flag) {
    if (!waitUntil(deadline)) {
      // The flag may have been set just as the deadline passed.
      const bool set = flag;
      unlock();
      return set;
    }
  }
  unlock();
  return true;
}

void PCondMutex::setFlag(bool value) {
  lock();
  flag = value;
  broadcast();
  unlock();
}

PCondition::PCondition(PMutex* mutex) : mutex_(mutex) { pthread_cond_init(&condition_, nullptr); }

PCondition::~PCondition() { pthread_cond_destroy(&condition_); }

void PCondition::signal() { pthread_cond_signal(&condition_); }

void PCondition::broadcast() { pthread_cond_broadcast(&condition_); }

void PCondition::wait() { pthread_cond_wait(&condition_, mutex_->native()); }

bool PCondition::waitUntil(const struct timespec& deadline) {
  return pthread_cond_timedwait(&condition_, mutex_->native(), &deadline) != ETIMEDOUT;
}

PReadWriteLock::PReadWriteLock() { pthread_rwlock_init(&lock_, nullptr); }

PReadWriteLock::~PReadWriteLock() { pthread_rwlock_destroy(&lock_); }

void PReadWriteLock::readLock() { pthread_rwlock_rdlock(&lock_); }

void PReadWriteLock::writeLock() { pthread_rwlock_wrlock(&lock_); }

void PReadWriteLock::unlock() { pthread_rwlock_unlock(&lock_); }

}  // namespace zan
