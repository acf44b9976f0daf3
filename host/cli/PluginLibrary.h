// Loads the plug-in library with dlopen and resolves its two factories,
// as the streaming engine does.
#pragma once

#include <string>

#include "zan/streamer/PluginInterfaces.h"

namespace zan::host {

class PluginLibrary {
 public:
  PluginLibrary() = default;
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // False with a message in error() when the file cannot be loaded or lacks
  // either factory.
  bool load(const std::string& path);
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }

  InputPluginFactoryFn inputFactory() const { return input_; }
  TranscoderPluginFactoryFn transcoderFactory() const { return transcoder_; }

  // The library beside the running program (build tree) or, failing that,
  // in the installed library folder relative to it.
  static std::string defaultPath();

 private:
  void* handle_ = nullptr;
  std::string path_;
  std::string error_;
  InputPluginFactoryFn input_ = nullptr;
  TranscoderPluginFactoryFn transcoder_ = nullptr;
};

}  // namespace zan::host
