#include "support/CBBLog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <mutex>

#include "support/CRegistry.h"
#include "support/Platform.h"

namespace zan {

namespace {

const char* const kLevelNames[] = {"FATAL", "ERROR", "WARN", "INFO", "DEBUG"};
const char kLevelKey[] = "Software\\ZAN Networks\\Zan";
const char kLevelValue[] = "LogLevel";
constexpr int kOpenAttempts = 10;
constexpr size_t kBackupPathLimit = 255;

const char* levelName(int level) {
  return level >= 0 && level <= 4 ? kLevelNames[level] : "?";
}

int64_t fileSize(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : 0;
}

// Cuts a formatted message back to a whole UTF-8 character when vsnprintf
// had to truncate it.
void trimPartialCharacter(std::string& text) {
  size_t end = text.size();
  size_t lead = end;
  while (lead > 0 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) --lead;
  if (lead == 0) return;
  const unsigned char first = static_cast<unsigned char>(text[lead - 1]);
  const size_t need = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
  if (end - (lead - 1) < need) text.resize(lead - 1);
}

}  // namespace

CBBLog::CBBLog(const std::string& name, bool showProcessId, int64_t maxFileSize)
    : name_(name), memoryBudget_(0), showProcessId_(showProcessId), maxFileSize_(maxFileSize),
      processId_(static_cast<unsigned>(getpid())) {}

CBBLog::CBBLog(uint32_t memoryBudget, bool showProcessId)
    : memoryBudget_(memoryBudget), showProcessId_(showProcessId), maxFileSize_(kDefaultLogFileSize),
      processId_(static_cast<unsigned>(getpid())) {}

CBBLog::~CBBLog() {
  {
    PLockGuard guard(queueLock_);
    stopRequested_ = true;
    queueLock_.broadcast();
  }
  if (writerThread_) writerThread_->join();
  PLockGuard guard(fileLock_);
  if (mainFile_.stream) fclose(mainFile_.stream);
  if (errorFile_.stream) fclose(errorFile_.stream);
  mainFile_.stream = errorFile_.stream = nullptr;
}

int CBBLog::level() {
  int current = level_.load(std::memory_order_acquire);
  if (current != -1) return current;
  uint32_t configured = 0;
  if (CRegistry::instance()->getDword(kLevelKey, kLevelValue, configured))
    current = static_cast<int>(configured);
  else
    current = LOG_ERROR;
  int expected = -1;
  // setLevel() may have won the race; its value stays.
  if (!level_.compare_exchange_strong(expected, current)) current = expected;
  return current;
}

void CBBLog::setLevel(int level) { level_.store(level, std::memory_order_release); }

void CBBLog::log(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  logV(format, args, level);
  va_end(args);
}

void CBBLog::log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  logV(format, args, LOG_DEBUG);
  va_end(args);
}

void CBBLog::logV(const char* format, va_list args, int level) {
  if (level > this->level()) return;
  std::string message(kLogMessageLimit, '\0');
  const int written = vsnprintf(message.data(), message.size(), format, args);
  if (written < 0) return;
  if (static_cast<size_t>(written) < message.size()) {
    message.resize(static_cast<size_t>(written));
  } else {
    message.resize(message.size() - 1);  // the terminator's byte
    trimPartialCharacter(message);
  }
  emitLine(level, message);
}

void CBBLog::logFormat(const boost::format& format, int level) {
  if (level > this->level()) return;
  std::string message;
  try {
    message = format.str();
  } catch (const std::exception&) {
    message = "(bad log format)";
  }
  if (message.size() > kLogMessageLimit - 1) {
    message.resize(kLogMessageLimit - 1);
    trimPartialCharacter(message);
  }
  emitLine(level, message);
}

void CBBLog::emitLine(int level, const std::string& message) {
  if (!initialized_.load(std::memory_order_acquire)) initialize();
  const bool mainOpen = mainOpen_.load(std::memory_order_acquire);
  if (!mainOpen && !errorOpen_.load(std::memory_order_acquire) && memoryBudget_ == 0) return;
  const platform::LocalTime now = platform::localTime();
  char header[96];
  if (showProcessId_) {
    snprintf(header, sizeof header, "%04d/%02d/%02d %02d:%02d:%02d.%03d [%-5.5s] %u - ", now.year, now.month,
             now.day, now.hour, now.minute, now.second, now.millisecond, levelName(level), processId_);
  } else {
    snprintf(header, sizeof header, "%04d/%02d/%02d %02d:%02d:%02d.%03d [%-5.5s] - ", now.year, now.month,
             now.day, now.hour, now.minute, now.second, now.millisecond, levelName(level));
  }
  std::string line = header;
  if (level == LOG_FATAL) line += processName_ + " - ";
  line += message;
  line += '\n';
  if (mainOpen || memoryBudget_ != 0) queueLine(line);
  if (level == LOG_FATAL) writeError(line);
}

void CBBLog::logRaw(const char* text) {
  if (text == nullptr) return;
  if (!initialized_.load(std::memory_order_acquire)) initialize();
  if (!mainOpen_.load(std::memory_order_acquire) && memoryBudget_ == 0) return;
  queueLine(text);
}

void CBBLog::queueLine(const std::string& line) {
  PLockGuard guard(queueLock_);
  queue_.push_back(line);
  queuedBytes_ += line.size();
  // Lines are echoed to the standard error stream: a host's standard output
  // may carry data of its own (the host program prints JSON there).
  fputs(line.c_str(), stderr);
  fflush(stderr);
  if (memoryBudget_ != 0 && queuedBytes_ > memoryBudget_) {
    while (!queue_.empty() && queuedBytes_ > memoryBudget_) {
      queuedBytes_ -= queue_.front().size();
      queue_.pop_front();
    }
    queue_.push_back("[...]\n");
    queuedBytes_ += 6;
  }
  queueLock_.broadcast();
}

std::string CBBLog::getQueuedText() {
  PLockGuard guard(queueLock_);
  std::string text;
  for (const std::string& line : queue_) text += line;
  return text;
}

std::string CBBLog::mainPath() {
  PLockGuard guard(fileLock_);
  return mainFile_.stream ? mainFile_.path : std::string();
}

std::string CBBLog::errorPath() {
  PLockGuard guard(fileLock_);
  return errorFile_.stream ? errorFile_.path : std::string();
}

void CBBLog::initialize() {
  PLockGuard guard(fileLock_);
  if (initialized_.load(std::memory_order_relaxed)) return;
  if (memoryBudget_ != 0) {
    initialized_.store(true, std::memory_order_release);
    return;
  }
  const std::string appData = platform::appDataFolder();
  if (appData.empty()) {
    // No folder for logs: stay silent.
    initialized_.store(true, std::memory_order_release);
    return;
  }
  processName_ = platform::processName();
  std::error_code error;
  const std::filesystem::path logs = std::filesystem::path(appData) / "ZanNetworks" / "Logs";
  std::filesystem::create_directories(logs, error);
  const std::string mainName = name_.empty() ? processName_ + ".log" : name_;
  mainOpen_.store(openRotating(mainFile_, (logs / mainName).string()), std::memory_order_release);
  errorOpen_.store(openRotating(errorFile_, (logs / "ZanErrors.log").string()), std::memory_order_release);
  initialized_.store(true, std::memory_order_release);
  if (mainFile_.stream != nullptr)
    writerThread_ = std::make_unique<PThread>(nullptr, PThreadDelegateMember<CBBLog>(this, &CBBLog::writerLoop),
                                              nullptr);
}

// Rotates an over-large file to "<path>.back", then opens the path for
// appending. A file that cannot be opened is tried as "<path>1" ...
// "<path>9"; the name that opened is kept in |file.path|.
bool CBBLog::openRotating(LogFile& file, const std::string& path) {
  const int64_t size = fileSize(path);
  file.bytes = size;
  if (size > maxFileSize_ && maxFileSize_ >= 0) {
    std::error_code error;
    std::filesystem::copy_file(path, path + ".back", std::filesystem::copy_options::overwrite_existing, error);
    std::filesystem::remove(path, error);
    file.bytes = 0;
  }
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    const std::string candidate = attempt == 0 ? path : path + std::to_string(attempt);
    if (FILE* stream = fopen(candidate.c_str(), "a")) {
      file.stream = stream;
      file.path = candidate;
      if (attempt != 0) file.bytes = fileSize(candidate);
      return true;
    }
  }
  file.stream = nullptr;
  return false;
}

void CBBLog::writeToFile(LogFile& file, const std::string& line) {
  if (file.stream == nullptr) return;
  fputs(line.c_str(), file.stream);
  fflush(file.stream);
  file.bytes += static_cast<int64_t>(line.size());
  if (file.bytes < maxFileSize_ && maxFileSize_ >= 0) return;
  fclose(file.stream);
  file.stream = nullptr;
  std::string backup = file.path.substr(0, kBackupPathLimit) + ".back";
  std::error_code error;
  std::filesystem::rename(file.path, backup, error);
  if (error) {
    std::filesystem::copy_file(file.path, backup, std::filesystem::copy_options::overwrite_existing, error);
    std::filesystem::remove(file.path, error);
  }
  // A file that cannot be reopened stays closed: nothing is written to it
  // again (its lines are dropped).
  const std::string base = file.path;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    const std::string candidate = attempt == 0 ? base : base + std::to_string(attempt);
    if (FILE* stream = fopen(candidate.c_str(), "a")) {
      file.stream = stream;
      file.path = candidate;
      break;
    }
  }
  file.bytes = 0;
}

void CBBLog::writeError(const std::string& line) {
  PLockGuard guard(fileLock_);
  writeToFile(errorFile_, line);
  if (errorFile_.stream == nullptr) errorOpen_.store(false, std::memory_order_release);
}

int CBBLog::writerLoop(void*) {
  queueLock_.lock();
  for (;;) {
    while (queue_.empty() && !stopRequested_) queueLock_.wait();
    while (!queue_.empty()) {
      std::string line = std::move(queue_.front());
      queue_.pop_front();
      queuedBytes_ -= line.size();
      queueLock_.unlock();
      {
        PLockGuard guard(fileLock_);
        writeToFile(mainFile_, line);
        if (mainFile_.stream == nullptr) mainOpen_.store(false, std::memory_order_release);
      }
      queueLock_.lock();
    }
    if (stopRequested_) break;
  }
  queueLock_.unlock();
  return 0;
}

// ---- the current logger ---------------------------------------------------

namespace {
std::mutex& currentMutex() {
  static std::mutex mutex;
  return mutex;
}
std::weak_ptr<CBBLog>& currentWeak() {
  static std::weak_ptr<CBBLog> current;
  return current;
}

// The logger when it is alive and lets |level| through.
std::shared_ptr<CBBLog> loggerFor(int level) {
  std::shared_ptr<CBBLog> logger = currentLogger();
  if (logger && logger->isEnabled(level)) return logger;
  return nullptr;
}
}  // namespace

void setCurrentLogger(const std::shared_ptr<CBBLog>& logger) {
  std::lock_guard<std::mutex> guard(currentMutex());
  currentWeak() = logger;
}

std::shared_ptr<CBBLog> currentLogger() {
  std::lock_guard<std::mutex> guard(currentMutex());
  return currentWeak().lock();
}

#define ZAN_DEFINE_LOG_FUNCTION(function, messageLevel)        \
  void function(const char* format, ...) {                     \
    if (auto logger = loggerFor(messageLevel)) {               \
      va_list args;                                            \
      va_start(args, format);                                  \
      logger->logV(format, args, messageLevel);                \
      va_end(args);                                            \
    }                                                          \
  }                                                            \
  void function(const boost::format& format) {                 \
    if (auto logger = loggerFor(messageLevel)) logger->logFormat(format, messageLevel); \
  }

ZAN_DEFINE_LOG_FUNCTION(logDebug, LOG_DEBUG)
ZAN_DEFINE_LOG_FUNCTION(logInfo, LOG_INFO)
ZAN_DEFINE_LOG_FUNCTION(logWarn, LOG_WARN)
ZAN_DEFINE_LOG_FUNCTION(logError, LOG_ERROR)
ZAN_DEFINE_LOG_FUNCTION(logFatal, LOG_FATAL)
#undef ZAN_DEFINE_LOG_FUNCTION

void logDebugV(const char* format, va_list args) {
  if (auto logger = loggerFor(LOG_DEBUG)) logger->logV(format, args, LOG_DEBUG);
}

bool isDebugEnabled() { return loggerFor(LOG_DEBUG) != nullptr; }
bool isInfoEnabled() { return loggerFor(LOG_INFO) != nullptr; }
bool isWarnEnabled() { return loggerFor(LOG_WARN) != nullptr; }

}  // namespace zan
