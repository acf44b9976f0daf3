#include "network/HTTPQThread.h"

namespace zan {

HTTPQThread::HTTPQThread(std::function<void()> begin, std::function<void()> end)
    : m_begin(std::move(begin)), m_end(std::move(end)) {}

HTTPQThread::~HTTPQThread() { quitAndWait(); }

void HTTPQThread::startAndWait() {
  m_startedLock.setFlag(false);
  m_quitRequested = false;
  m_thread = std::thread([this] { run(); });
  m_startedLock.waitForFlag();
}

void HTTPQThread::requestQuit() {
  m_quitRequested = true;
  // A wake-up that comes before the worker waits is kept by the event
  // dispatcher, so the flag is seen either way.
  PLockGuard guard(m_loopLock);
  if (m_loop != nullptr) m_loop->wakeUp();
}

void HTTPQThread::quitAndWait() {
  if (!m_thread.joinable()) return;
  requestQuit();
  m_thread.join();
}

void HTTPQThread::run() {
  m_worker = std::this_thread::get_id();
  // The event loop object gives the adopted thread its event dispatcher,
  // which Qt's network objects need from their first timer on.
  QEventLoop loop;
  {
    PLockGuard guard(m_loopLock);
    m_loop = &loop;
  }
  m_begin();
  m_startedLock.setFlag(true);
  // The loop ends on a flag of our own: QEventLoop::exec() forgets a
  // quit() that comes before it runs, and the join would wait forever.
  while (!m_quitRequested.load()) loop.processEvents(QEventLoop::WaitForMoreEvents);
  m_end();
  m_worker = std::thread::id();
  PLockGuard guard(m_loopLock);
  m_loop = nullptr;
}

}  // namespace zan
