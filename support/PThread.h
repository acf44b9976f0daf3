// A thread object that runs a delegate (usually a member function) with one
// argument. The constructor returns only once the new thread is running; a
// thread that is never joined is detached when its object dies and runs to
// its end on its own.
#pragma once

#include <pthread.h>

#include <memory>

#include "support/PMutex.h"

namespace zan {

class PThreadDelegateGeneric {
 public:
  virtual ~PThreadDelegateGeneric() {}
  virtual int run(void* arg) = 0;
  virtual PThreadDelegateGeneric* clone() const = 0;
};

template <typename T>
class PThreadDelegateMember : public PThreadDelegateGeneric {
 public:
  typedef int (T::*Method)(void*);
  PThreadDelegateMember(T* object, Method method) : object_(object), method_(method) {}
  int run(void* arg) override { return (object_->*method_)(arg); }
  PThreadDelegateGeneric* clone() const override {
    return new PThreadDelegateMember<T>(object_, method_);
  }

 private:
  T* object_;
  Method method_;
};

class PThread {
 public:
  // |attributes| may be null for the defaults. When pthread_create fails the
  // object holds no running thread (running() is false).
  PThread(const pthread_attr_t* attributes, const PThreadDelegateGeneric& delegate, void* arg);
  virtual ~PThread();
  PThread(const PThread&) = delete;
  PThread& operator=(const PThread&) = delete;

  void join();
  bool running() const { return created_; }

 private:
  // Shared between this object and the running thread, so either may die
  // first.
  struct ThreadData {
    PCondMutex started;
    std::unique_ptr<PThreadDelegateGeneric> delegate;
    void* arg = nullptr;
  };

  static void* entry(void* self);

  pthread_t thread_{};
  std::shared_ptr<ThreadData> data_;
  bool created_ = false;
  bool joined_ = false;
};

}  // namespace zan
