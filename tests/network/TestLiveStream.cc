// The test server's live streams: a child process writes the stream, the
// connection's thread relays it as chunked transfer coding until the
// client, the child or the server ends.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "TestHttpServer.h"

extern char** environ;

namespace zan::test {

namespace {

// The child writing one live answer, killed and reaped when it goes.
class LiveSource {
 public:
  explicit LiveSource(const std::vector<std::string>& command) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    fd_ = pipeFds[0];
  }
  ~LiveSource() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    if (fd_ >= 0) ::close(fd_);
  }
  LiveSource(const LiveSource&) = delete;
  LiveSource& operator=(const LiveSource&) = delete;

  bool started() const { return pid_ > 0 && fd_ >= 0; }
  int fd() const { return fd_; }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
};

}  // namespace

void TestHttpServer::addLiveStream(const std::string& path, std::vector<std::string> command,
                                   const std::string& contentType) {
  std::lock_guard<std::mutex> lock(mutex_);
  Route route;
  route.liveCommand = std::move(command);
  route.liveType = contentType;
  routes_[path] = std::move(route);
}

bool TestHttpServer::serveLive(int fd, const RecordedRequest& request, const Route& route) {
  const bool head = request.method == "HEAD";
  const std::string header = "HTTP/1.1 200 OK\r\nContent-Type: " + route.liveType + "\r\n" +
                             (head ? "" : "Transfer-Encoding: chunked\r\n") + "Connection: close\r\n\r\n";
  if (!sendAll(fd, header.data(), header.size())) return false;
  if (head) return true;
  LiveSource source(route.liveCommand);
  if (!source.started()) return false;
  std::vector<char> buffer(64 * 1024);
  while (!stopping_) {
    pollfd ready{source.fd(), POLLIN, 0};
    // Short waits, so that stop() is heard while the child is quiet.
    const int polled = ::poll(&ready, 1, 100);
    if (polled < 0 && errno != EINTR) return false;
    if (polled <= 0) continue;
    const ssize_t got = ::read(source.fd(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // the stream ended: the last chunk follows
    char size[32];
    const int sizeLength = std::snprintf(size, sizeof size, "%zx\r\n", static_cast<size_t>(got));
    if (!sendAll(fd, size, static_cast<size_t>(sizeLength)) || !sendAll(fd, buffer.data(), static_cast<size_t>(got)) ||
        !sendAll(fd, "\r\n", 2))
      return false;
  }
  return !stopping_ && sendAll(fd, "0\r\n\r\n", 5);
}

}  // namespace zan::test
