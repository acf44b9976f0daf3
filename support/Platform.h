// The few operating-system services the library needs, in one place so the
// rest of the code never sees where they come from.
#pragma once

#include <cstdint>
#include <string>

namespace zan::platform {

// Milliseconds of a monotonic clock, as a 32-bit value that wraps (about
// every 49.7 days) like the classic tick counter.
uint32_t tickCount();

struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};
LocalTime localTime();

// The folder for shared application data: $ZAN_APPDATA, else
// $XDG_DATA_HOME, else ~/.local/share. Empty when none can be found.
std::string appDataFolder();

// The host executable's file name without folder and without anything from
// its first '.'.
std::string processName();

bool fileExists(const std::string& path);

}  // namespace zan::platform
