// zanstream demo, what zanstream runs without a command: it makes a short
// medium of its own in a temporary file, shows what 'probe' and 'decode'
// print for it, and removes the file. It needs no download and no media
// file from anywhere.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "host/cli/Command.h"
#include "host/cli/Options.h"
#include "host/demo/DemoMedium.h"

namespace zan::host {

const char kDemoUsage[] =
    "usage: zanstream demo\n"
    "       zanstream\n"
    "\n"
    "Writes a short medium into a temporary file (3 s of 320x240 colour bars and a\n"
    "1 kHz tone, H.264 (MPEG-4 part 2 where FFmpeg has no H.264 encoder) and AAC\n"
    "in MP4, made with FFmpeg's libraries), runs 'zanstream probe' and 'zanstream\n"
    "decode' on it, and removes the file.\n";

namespace {

// A new empty file in the temporary folder, removed with the object.
class TemporaryFile {
 public:
  explicit TemporaryFile(const char* suffix) {
    std::error_code error;
    std::string pattern = (std::filesystem::temp_directory_path(error) / "zanstream-demo-XXXXXX").string() + suffix;
    if (error) pattern = std::string("/tmp/zanstream-demo-XXXXXX") + suffix;
    const int descriptor = mkstemps(pattern.data(), static_cast<int>(std::strlen(suffix)));
    if (descriptor < 0) {
      error_ = "cannot create a temporary file like " + pattern + ": " + std::strerror(errno);
      return;
    }
    ::close(descriptor);
    path_ = pattern;
  }
  ~TemporaryFile() {
    if (!path_.empty()) std::remove(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }

 private:
  std::string path_, error_;
};

}  // namespace

int runDemo(PluginLibrary& library, const std::vector<std::string>& arguments) {
  Options options({}, {});
  if (!options.parse(arguments) || !options.positional().empty()) {
    std::fprintf(stderr, "zanstream demo: %s\n\n%s",
                 options.error().empty() ? "takes no arguments" : options.error().c_str(), kDemoUsage);
    return 2;
  }
  TemporaryFile file(".mp4");
  if (file.path().empty()) {
    std::fprintf(stderr, "zanstream demo: %s\n", file.error().c_str());
    return 1;
  }
  const DemoMediumSpec spec;
  const DemoMediumResult made = writeDemoMedium(file.path(), spec);
  if (!made.ok) {
    std::fprintf(stderr, "zanstream demo: cannot make the demo medium: %s\n", made.error.c_str());
    return 1;
  }
  std::printf("zanstream demo: made %s\n", file.path().c_str());
  std::printf("  %d s of %dx%d colour bars and a %d Hz tone, %s + %s in MP4 (removed afterwards)\n\n", spec.seconds,
              spec.width, spec.height, spec.toneHertz, made.videoCodec.c_str(), made.audioCodec.c_str());

  std::printf("$ zanstream probe %s\n", file.path().c_str());
  std::fflush(stdout);
  const int probed = runProbe(library, {file.path()});
  if (probed != 0) return probed;

  std::printf("\n$ zanstream decode %s\n", file.path().c_str());
  std::fflush(stdout);
  return runDecode(library, {file.path()});
}

}  // namespace zan::host
