// The private QCoreApplication thread for hosts without Qt.
//
// Shutdown asks the event loop to quit, joins the thread, and the thread
// destroys the application object on the thread that created it. It must
// run before Qt destroys the global objects that the application object
// created lazily: exit handlers run in the reverse order of their
// registration, so the shutdown is registered with atexit() right after the
// application object was built (from a library, atexit() handlers also run
// when the library is unloaded). The static object's destructor is the
// fallback and does nothing once the thread is gone.
#include "network/QtRuntime.h"

#include <chrono>
#include <clocale>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include <QCoreApplication>

namespace zan {

namespace {

void stopAtExit();

class ApplicationThread {
 public:
  ApplicationThread() = default;
  ~ApplicationThread() { stop(); }
  ApplicationThread(const ApplicationThread&) = delete;
  ApplicationThread& operator=(const ApplicationThread&) = delete;

  void ensure() {
    std::unique_lock<std::mutex> lock(mutex_);
    bool starter = false;
    if (!started_) {
      if (QCoreApplication::instance() != nullptr) return;
      started_ = true;
      starter = true;
      thread_ = std::thread([this] { run(); });
    }
    // Every caller waits until the application exists, not only the one
    // that started it: an event loop made before it gets no event
    // dispatcher, spins without handling a single event, and its network
    // request never leaves.
    ready_.wait(lock, [this] { return application_ != nullptr || ended_; });
    if (starter) std::atexit(&stopAtExit);
  }

  bool owns() {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
  }

  void stop() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable()) return;
    // quit() is thread-safe (it posts a quit event to the application's
    // thread) but does nothing before exec() runs: ask until the loop is
    // over.
    while (application_ != nullptr) {
      lock.unlock();
      QCoreApplication::quit();
      lock.lock();
      finished_.wait_for(lock, std::chrono::milliseconds(20), [this] { return application_ == nullptr; });
    }
    lock.unlock();
    thread_.join();
  }

 private:
  void run() {
    // QCoreApplication sets the process locale from the environment on
    // Unix; a host that never asked for that keeps its own (number
    // formatting of the whole process depends on it).
    const char* current = std::setlocale(LC_ALL, nullptr);
    const std::string savedLocale = current ? current : "C";
    int argc = 1;
    char name[] = "zanffmpeg";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    std::setlocale(LC_ALL, savedLocale.c_str());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      application_ = &application;
    }
    ready_.notify_all();
    application.exec();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      application_ = nullptr;
      ended_ = true;
    }
    finished_.notify_all();
    ready_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable finished_;
  bool started_ = false;
  bool ended_ = false;  // the application's loop is over
  QCoreApplication* application_ = nullptr;  // lives on thread_
  std::thread thread_;
};

ApplicationThread s_applicationThread;

void stopAtExit() { s_applicationThread.stop(); }

}  // namespace

void ensureQtApplication() { s_applicationThread.ensure(); }

QObject* qtApplicationReadyParent() {
  ensureQtApplication();
  return nullptr;
}

bool ownsQtApplication() { return s_applicationThread.owns(); }

}  // namespace zan
