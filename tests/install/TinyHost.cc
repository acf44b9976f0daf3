// The smallest engine: built out of tree against the installed headers
// only, it loads the plug-in library given as the first argument, opens the
// medium given as the second and prints the duration the input reports.
#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "zan/streamer/PluginInterfaces.h"

namespace {

class Error : public zan::streamer::Error {
 public:
  void setCode(int code) override { code_ = code; }
  void setMessage(const char* text) override { message_ = text ? text : ""; }
  int getCode() const override { return code_; }
  const char* getMessage() const override { return message_.c_str(); }

 private:
  int code_ = 0;
  std::string message_;
};

class Medium : public zan::streamer::MediumDescription {
 public:
  Medium(std::string location, std::string extension) : location_(location), extension_(extension) {}
  const char* getLocation() const override { return location_.c_str(); }
  uint64_t getDuration() const override { return duration_; }
  void setDuration(uint64_t milliseconds) override { duration_ = milliseconds; }
  uint64_t getSize() const override { return size_; }
  void setSize(uint64_t bytes) override { size_ = bytes; }
  void setBitrate(uint64_t) override {}
  void setSeekable(bool) override {}
  void setLive(bool) override {}
  const char* getExtension() const override { return extension_.c_str(); }
  const char* getProtocol() const override { return ""; }
  void setTitle(const char*) override {}
  void setAuthor(const char*) override {}
  const zan::streamer::MapGeneric* getProperties() const override { return nullptr; }
  uint64_t getBitrate() const override { return 0; }
  bool isSeekable() const override { return true; }
  bool isLive() const override { return false; }
  const char* getTitle() const override { return ""; }
  const char* getAuthor() const override { return ""; }
  const char* getAlbum() const override { return ""; }
  const char* getGenre() const override { return ""; }
  int getTrack() const override { return 0; }
  int getYear() const override { return 0; }

 private:
  std::string location_, extension_;
  uint64_t duration_ = 0, size_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PLUGIN MEDIUM\n", argv[0]);
    return 2;
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  auto factory = reinterpret_cast<InputPluginFactoryFn>(dlsym(library, "InputPluginFactory"));
  zan::streamer::InputPluginInterface* input = factory ? factory() : nullptr;
  if (input == nullptr) return 1;
  const std::string path = argv[2];
  Medium medium(path, path.substr(path.rfind('.') + 1));
  Error error;
  if (!input->open(&medium, &error)) {
    std::fprintf(stderr, "open failed: %s\n", error.getMessage());
    return 1;
  }
  input->getMediumDescription(&medium);
  std::printf("%llu\n", static_cast<unsigned long long>(medium.getDuration()));
  input->close();
  delete input;
  return 0;
}
