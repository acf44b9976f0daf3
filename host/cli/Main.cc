// zanstream: the project's stand-in for the streaming engine. It loads the
// plug-in library with dlopen, resolves the two factories and drives inputs
// and transcoder stages the way the engine does.
//
//   zanstream [--library PATH] COMMAND [OPTIONS]
//
// Without a command it runs the built-in demonstration.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/cli/Command.h"

namespace zan::host {

const std::vector<Command>& commands() {
  static const std::vector<Command> table = {
      {"demo", "probe and decode a medium made on the spot (the default)", kDemoUsage, runDemo},
      {"plugins", "list which plug-ins the library answers", kPluginsUsage, runPlugins},
      {"probe", "open a medium and print its descriptions", kProbeUsage, runProbe},
      {"decode", "open a medium and read its frames to the end", kDecodeUsage, runDecode},
      {"demux", "feed a file's bytes into the demuxer stage and read its frames", kDemuxUsage, runDemux},
      {"redecode", "pass a medium's compressed frames through the decoder stage", kRedecodeUsage, runRedecode},
      {"transcode", "encode a medium into a streaming container with the encoder stage", kTranscodeUsage,
       runTranscode},
  };
  return table;
}

namespace {

const char kDefaultCommand[] = "demo";

void printOverview(FILE* out) {
  std::fprintf(out,
               "usage: zanstream [--library PATH] COMMAND [OPTIONS]\n"
               "       zanstream COMMAND --help\n"
               "\n"
               "Drives the Zan FFmpeg plug-in library the way the streaming engine does.\n"
               "Without a command it runs '%s'.\n"
               "\n"
               "Options:\n"
               "  --library PATH   the plug-in library (default: libzanffmpeg.so beside\n"
               "                   this program)\n"
               "  --help           this text\n"
               "\n"
               "Commands:\n",
               kDefaultCommand);
  for (const Command& command : commands()) std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
}

const Command* findCommand(const std::string& name) {
  for (const Command& command : commands())
    if (name == command.name) return &command;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string libraryPath = PluginLibrary::defaultPath();

  // Program options come before the command; --library is also accepted
  // after it.
  std::string commandName;
  std::vector<std::string> rest;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--library" || argument.rfind("--library=", 0) == 0) {
      if (argument == "--library") {
        if (i + 1 >= arguments.size()) {
          std::fprintf(stderr, "zanstream: option --library needs a value\n");
          return 2;
        }
        libraryPath = arguments[++i];
      } else {
        libraryPath = argument.substr(std::strlen("--library="));
      }
    } else if (commandName.empty() && (argument == "--help" || argument == "-h" || argument == "help")) {
      if (argument == "help" && i + 1 < arguments.size()) {
        if (const Command* command = findCommand(arguments[i + 1])) {
          std::fputs(command->usage, stdout);
          return 0;
        }
      }
      printOverview(stdout);
      return 0;
    } else if (commandName.empty()) {
      if (argument.rfind("--", 0) == 0) {
        std::fprintf(stderr, "zanstream: unknown option %s\n\n", argument.c_str());
        printOverview(stderr);
        return 2;
      }
      commandName = argument;
    } else {
      rest.push_back(argument);
    }
  }
  if (commandName.empty()) commandName = kDefaultCommand;

  const Command* command = findCommand(commandName);
  if (command == nullptr) {
    std::fprintf(stderr, "zanstream: unknown command '%s'\n\n", commandName.c_str());
    printOverview(stderr);
    return 2;
  }
  for (const std::string& argument : rest) {
    if (argument == "--help" || argument == "-h") {
      std::fputs(command->usage, stdout);
      return 0;
    }
  }

  PluginLibrary library;
  if (!library.load(libraryPath)) {
    std::fprintf(stderr, "zanstream: %s\n", library.error().c_str());
    return 1;
  }
  return command->run(library, rest);
}

}  // namespace zan::host

int main(int argc, char** argv) { return zan::host::main(argc, argv); }
