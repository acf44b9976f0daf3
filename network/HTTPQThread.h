// The worker thread of one request handler: runs the exchange's start
// (which sends the request) and then a Qt event loop until quit, and the
// exchange's end on its way out, all on the thread itself.
//
// A plain, joinable thread that Qt adopts, not a QThread: Qt starts its
// threads detached, and QThread::wait() returns while the thread is still
// on its way out; at process exit such a thread is caught half gone (the
// leak checker's thread scan crashes on it). quitAndWait() joins, so once
// it returns the thread has left entirely.
//
// Thread safety: startAndWait and quitAndWait are called by one control
// thread at a time (the handler serialises them); requestQuit may be
// called from any thread, the worker's own included.
#pragma once

#include <QEventLoop>

#include <atomic>
#include <functional>
#include <thread>

#include "support/PMutex.h"

namespace zan {

class HTTPQThread {
 public:
  // |begin| runs first on the new thread, |end| last; both must outlive it.
  HTTPQThread(std::function<void()> begin, std::function<void()> end);
  ~HTTPQThread();
  HTTPQThread(const HTTPQThread&) = delete;
  HTTPQThread& operator=(const HTTPQThread&) = delete;

  // Starts the thread; returns once |begin| has run.
  void startAndWait();
  // Ends the event loop and returns once the thread has ended.
  void quitAndWait();
  // Ends the event loop without waiting.
  void requestQuit();
  bool isRunning() const { return m_thread.joinable(); }
  // True on the worker thread itself.
  bool isCurrentThread() const { return m_worker.load() == std::this_thread::get_id(); }

 private:
  void run();

  const std::function<void()> m_begin;
  const std::function<void()> m_end;
  PCondMutex m_startedLock;  // flag: |m_begin| has run
  PMutex m_loopLock;         // guards m_loop
  QEventLoop* m_loop = nullptr;  // the worker's event loop while it may run
  std::atomic<bool> m_quitRequested{false};  // read by the worker between events
  std::atomic<std::thread::id> m_worker{};   // the running worker's id
  std::thread m_thread;       // started and joined by the control thread
};

}  // namespace zan
