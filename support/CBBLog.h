// A component's logger: one rotating log file named after the component, a
// writer thread that does all file output (so logging never waits for the
// disk), and the shared error file "ZanErrors.log" that receives FATAL lines
// of every component.
//
// Levels: 0 FATAL, 1 ERROR, 2 WARN, 3 INFO, 4 DEBUG. The configured level is
// read once, from the DWORD "LogLevel" under "Software\\ZAN Networks\\Zan";
// when it is missing the level is ERROR. Files live in
// <application data>/ZanNetworks/Logs/.
//
// Thread safety: any thread may log. Formatting happens on the caller's
// thread; the main file is written only by the writer thread. Both files
// and initialisation are guarded by fileLock_.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>

#include <boost/format.hpp>

#include "support/PMutex.h"
#include "support/PThread.h"

#define ZAN_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

namespace zan {

enum LogLevel : int { LOG_FATAL = 0, LOG_ERROR = 1, LOG_WARN = 2, LOG_INFO = 3, LOG_DEBUG = 4 };

inline constexpr int64_t kDefaultLogFileSize = 0x80000;  // 524,288 bytes
inline constexpr size_t kLogMessageLimit = 20480;        // bytes of one message

class CBBLog {
 public:
  // A file logger. An empty |name| uses the host process name + ".log".
  // A negative |maxFileSize| rotates after every line.
  CBBLog(const std::string& name, bool showProcessId, int64_t maxFileSize);
  // A memory-only logger: no files, no thread; keeps at most |memoryBudget|
  // bytes of the newest lines.
  CBBLog(uint32_t memoryBudget, bool showProcessId);
  virtual ~CBBLog();
  CBBLog(const CBBLog&) = delete;
  CBBLog& operator=(const CBBLog&) = delete;

  virtual void log(int level, const char* format, ...) ZAN_PRINTF(3, 4);
  virtual void log(const char* format, ...) ZAN_PRINTF(2, 3);  // DEBUG
  // Queues |text| unchanged: no header, no level test.
  virtual void logRaw(const char* text);
  virtual void setLevel(int level);
  virtual void logV(const char* format, va_list args, int level) ZAN_PRINTF(2, 0);
  virtual void logFormat(const boost::format& format, int level);
  // Appends a finished line to the shared error file.
  virtual void writeError(const std::string& line);

  // The configured level, read from the registry on first use.
  int level();
  bool isEnabled(int messageLevel) { return level() >= messageLevel; }

  // Memory-only mode: the queued lines joined.
  std::string getQueuedText();

  // Full paths actually opened (empty while closed); for diagnostics.
  std::string mainPath();
  std::string errorPath();

 private:
  struct LogFile {
    FILE* stream = nullptr;
    std::string path;
    int64_t bytes = 0;
  };

  void initialize();
  void emitLine(int level, const std::string& message);
  void queueLine(const std::string& line);
  bool openRotating(LogFile& file, const std::string& path);
  void writeToFile(LogFile& file, const std::string& line);
  int writerLoop(void*);

  const std::string name_;
  std::atomic<int> level_{-1};
  const uint32_t memoryBudget_;
  const bool showProcessId_;
  const int64_t maxFileSize_;
  const unsigned processId_;
  std::string processName_;

  PMutex fileLock_;  // guards initialisation, errorFile_ and the paths
  std::atomic<bool> initialized_{false};
  LogFile mainFile_;   // guarded by fileLock_; written by the writer thread
  LogFile errorFile_;  // guarded by fileLock_
  std::atomic<bool> mainOpen_{false};   // mainFile_ can take lines
  std::atomic<bool> errorOpen_{false};  // errorFile_ can take lines

  PCondMutex queueLock_;  // guards queue_, queuedBytes_ and stopRequested_
  bool stopRequested_ = false;
  std::deque<std::string> queue_;
  size_t queuedBytes_ = 0;
  std::unique_ptr<PThread> writerThread_;
};

// The process-wide current logger. Components make their own logger current
// when they open; the free functions below write to it and do nothing when
// no logger is alive.
void setCurrentLogger(const std::shared_ptr<CBBLog>& logger);
std::shared_ptr<CBBLog> currentLogger();

void logDebug(const char* format, ...) ZAN_PRINTF(1, 2);
void logInfo(const char* format, ...) ZAN_PRINTF(1, 2);
void logWarn(const char* format, ...) ZAN_PRINTF(1, 2);
void logError(const char* format, ...) ZAN_PRINTF(1, 2);
void logFatal(const char* format, ...) ZAN_PRINTF(1, 2);
void logDebugV(const char* format, va_list args) ZAN_PRINTF(1, 0);
void logDebug(const boost::format& format);
void logInfo(const boost::format& format);
void logWarn(const boost::format& format);
void logError(const boost::format& format);
void logFatal(const boost::format& format);
bool isDebugEnabled();
bool isInfoEnabled();
bool isWarnEnabled();

}  // namespace zan
