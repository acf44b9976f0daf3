// Helpers shared by the tests: temporary folders, running a program and
// capturing its output, polling for a condition with a time-out.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace zan::test {

// A new empty folder below the system's temporary folder, removed with its
// contents when the object dies.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets an environment variable for the object's lifetime.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const std::string& name, const std::string& value);
  ~ScopedEnvironment();

 private:
  std::string name_;
  std::string previous_;
  bool hadPrevious_;
};

struct ProcessResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs |argv| (no shell), waits at most |timeout| (then kills it: exit code
// -2) and captures both streams; exit code -1 when it could not start.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(120));

// Polls |condition| until it holds or |timeout| passes.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

}  // namespace zan::test
