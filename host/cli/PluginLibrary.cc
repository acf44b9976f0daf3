#include "host/cli/PluginLibrary.h"

#include <dlfcn.h>

#include <filesystem>

namespace zan::host {

namespace {
constexpr char kLibraryName[] = "libzanffmpeg.so";
}

PluginLibrary::~PluginLibrary() {
  if (handle_) dlclose(handle_);
}

std::string PluginLibrary::defaultPath() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return kLibraryName;
  // In the build tree the library sits beside the program; installed, it
  // sits in the library folder next to the program's folder (the relative
  // path is fixed at configure time, so a relocated prefix still works).
  const std::filesystem::path beside = exe.parent_path() / kLibraryName;
  const std::filesystem::path installed =
      (exe.parent_path() / ZAN_PLUGIN_RELATIVE_DIR / kLibraryName).lexically_normal();
  if (!std::filesystem::exists(beside, error) && std::filesystem::exists(installed, error)) return installed.string();
  return beside.string();
}

bool PluginLibrary::load(const std::string& path) {
  path_ = path;
  // A bare file name would make dlopen search the system paths; a relative
  // path is meant relative to the working folder.
  std::string target = path;
  if (target.find('/') == std::string::npos) target = "./" + target;
  handle_ = dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* reason = dlerror();
    error_ = "cannot load plug-in library " + path + ": " + (reason ? reason : "unknown error");
    return false;
  }
  input_ = reinterpret_cast<InputPluginFactoryFn>(dlsym(handle_, "InputPluginFactory"));
  transcoder_ = reinterpret_cast<TranscoderPluginFactoryFn>(dlsym(handle_, "TranscoderPluginFactory"));
  if (input_ == nullptr || transcoder_ == nullptr) {
    error_ = "plug-in library " + path + " lacks the " +
             std::string(input_ == nullptr ? "InputPluginFactory" : "TranscoderPluginFactory") + " function";
    return false;
  }
  return true;
}

}  // namespace zan::host
