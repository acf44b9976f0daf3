#include "support/Platform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace zan::platform {

uint32_t tickCount() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

LocalTime localTime() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm parts;
  localtime_r(&now.tv_sec, &parts);
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                   parts.tm_min,         parts.tm_sec,     static_cast<int>(now.tv_nsec / 1000000)};
}

std::string appDataFolder() {
  if (const char* folder = std::getenv("ZAN_APPDATA"); folder && *folder) return folder;
  if (const char* folder = std::getenv("XDG_DATA_HOME"); folder && *folder) return folder;
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.local/share";
  return std::string();
}

std::string processName() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return "unknown";
  std::string name = exe.filename().string();
  const auto dot = name.find('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

bool fileExists(const std::string& path) {
  struct stat info;
  return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

}  // namespace zan::platform
