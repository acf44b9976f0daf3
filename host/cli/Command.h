// The sub-commands of the zanstream program. Each lives in a file of its
// own and registers itself in the table of Commands.cc.
#pragma once

#include <string>
#include <vector>

#include "host/cli/PluginLibrary.h"

namespace zan::host {

struct Command {
  const char* name;
  const char* summary;  // one line for the overview
  const char* usage;    // the full help text
  // Runs with the arguments after the command name; the library is loaded.
  int (*run)(PluginLibrary& library, const std::vector<std::string>& arguments);
};

const std::vector<Command>& commands();

int runPlugins(PluginLibrary& library, const std::vector<std::string>& arguments);
extern const char kPluginsUsage[];

int runProbe(PluginLibrary& library, const std::vector<std::string>& arguments);
extern const char kProbeUsage[];

int runDecode(PluginLibrary& library, const std::vector<std::string>& arguments);
extern const char kDecodeUsage[];

int runDemo(PluginLibrary& library, const std::vector<std::string>& arguments);
extern const char kDemoUsage[];

int runDemux(PluginLibrary& library, const std::vector<std::string>& arguments);
extern const char kDemuxUsage[];

int runTranscode(PluginLibrary& library, const std::vector<std::string>& arguments);
extern const char kTranscodeUsage[];

int runRedecode(PluginLibrary& library, const std::vector<std::string>& arguments);
extern const char kRedecodeUsage[];

}  // namespace zan::host
