// A small real HTTP/1.1 server on a free loopback port for the network tests
// and the benchmark: each resource served with the faults its RouteOptions
// switch on, every request recorded with its headers. One thread per
// connection, each answer closes it; stop() (and the destructor) ends stalls
// and transfers at once and joins all threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zan::test {

// Byte |offset| of the generated test content: varies with every low bit
// and with the higher bytes, so a shifted or repeated block never matches.
inline uint8_t patternByte(int64_t offset) {
  const uint64_t x = static_cast<uint64_t>(offset);
  return static_cast<uint8_t>((x * 131u) ^ (x >> 8) ^ (x >> 17) ^ (x >> 29));
}

// Whether |length| bytes at |data| are the pattern from |offset| on.
inline bool matchesPattern(const uint8_t* data, size_t length, int64_t offset) {
  for (size_t i = 0; i < length; ++i)
    if (data[i] != patternByte(offset + static_cast<int64_t>(i))) return false;
  return true;
}

// Reads up to |length| bytes from |client| (read(data, size) returns the
// count, 0 at the end) and checks them against the pattern from |offset|:
// the count read, or -1 at a wrong byte.
template <class Client>
int64_t readPattern(Client& client, int64_t offset, int64_t length) {
  std::vector<uint8_t> bytes(64 * 1024);
  int64_t done = 0;
  while (done < length) {
    const int got = client.read(bytes.data(), std::min<int64_t>(length - done, static_cast<int64_t>(bytes.size())));
    if (got <= 0) break;
    if (!matchesPattern(bytes.data(), static_cast<size_t>(got), offset + done)) return -1;
    done += got;
  }
  return done;
}

// Sends all |length| bytes; false when the peer went.
bool sendAll(int fd, const void* data, size_t length);

struct ServedResource {
  int64_t size = 0;
  std::function<void(int64_t offset, uint8_t* out, size_t length)> fill;  // |length| body bytes from |offset|
};

ServedResource patternResource(int64_t size);          // |size| bytes of patternByte()
ServedResource fileResource(const std::string& path);  // the file's bytes, read once here

// Set by name: RouteOptions{.refuseHead = true, .bytesPerSecond = 100000}.
struct RouteOptions {
  bool acceptRanges = true;        // "Accept-Ranges: bytes"
  bool honourRange = true;         // answer "Range" with 206; false: 200 with the whole body
  int64_t contentRangeShift = 0;   // a 206 answer starts this far from the asked offset (same end)
  bool refuseHead = false;         // HEAD answered with 405
  bool sendContentLength = true;
  bool zanSeek = false;            // "Accept-Zan-Seek: seconds"; "Zan-seek: seconds=N" starts at byte 1000 * N
  std::vector<std::pair<std::string, std::string>> headers = {};  // extra response headers
  int64_t bytesPerSecond = 0;      // body rate limit, 0 = none
  int stallBeforeHeadersMs = 0;    // wait this long before answering
  int64_t cutAfterBytes = -1;      // close a GET's connection after this many body bytes
  int64_t stallAfterBytes = -1;    // after this many body bytes send nothing for stallAfterMs, then hang up
  int stallAfterMs = 0;
  bool sendContentRange = true;    // false: 206 answers carry no Content-Range
  int64_t rangePart = 0;           // a 206 answer carries at most this many bytes (its Content-Range says so)
  std::vector<int64_t> cutAt = {}; // close the connection where a GET body reaches each offset, once each, in order
  std::string etag = {}, lastModified = {};  // sent as "ETag"/"Last-Modified"; an "If-Range" naming neither gets the whole body
  bool changeAtCut = false;        // at the first cut the resource changes: other bytes, another ETag/Last-Modified
};

struct RecordedRequest {
  std::string method, target;                  // target: path and query as sent
  std::map<std::string, std::string> headers;  // lower-case names
  std::string header(const std::string& name) const;  // "" when absent
};

class TestHttpServer {
 public:
  TestHttpServer();
  ~TestHttpServer() { stop(); }

  void addResource(const std::string& path, ServedResource resource, RouteOptions options = {});
  // Answers every method with |status| and "Location: |location|" (none
  // when |location| is empty).
  void addRedirect(const std::string& path, const std::string& location, int status = 302);
  // A live stream without a length or an end: every GET runs |command|
  // (argv, no shell) and sends what it writes to its standard output,
  // chunked, until the client goes, the command ends or stop(); HEAD
  // answers the headers alone. For example the ffmpeg tool with -re
  // -stream_loop -1 ... -c copy -f flv pipe:1, a clip repeated with its
  // times rising.
  void addLiveStream(const std::string& path, std::vector<std::string> command, const std::string& contentType);

  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  std::vector<RecordedRequest> requests() const;
  size_t requestCount() const { return requests().size(); }
  void clearRequests();
  void stop();

 private:
  struct Route {
    ServedResource resource;
    RouteOptions options;
    int redirectStatus = 0;  // not 0: a redirect to redirectLocation
    std::string redirectLocation;
    std::vector<std::string> liveCommand;  // not empty: a live stream (addLiveStream)
    std::string liveType;
    struct State {
      std::atomic<size_t> cutsDone{0};
      std::atomic<bool> changed{false};
    };
    std::shared_ptr<State> state = std::make_shared<State>();  // shared by the copies each request takes
  };
  struct Connection {
    int fd = -1;
    std::jthread thread;
    std::atomic<bool> done{false};  // set last, under mutex_
  };

  void acceptLoop();
  void serve(Connection* connection);
  // Records and answers |request|; false when the connection is to be cut
  // rather than closed gracefully.
  bool respond(int fd, const RecordedRequest& request);
  bool sendBody(int fd, const Route& route, int64_t start, int64_t end);
  bool serveLive(int fd, const RecordedRequest& request, const Route& route);
  // Sleeps |ms| or until stop(); false when stopped.
  bool pause(int64_t ms);

  int listenFd_ = -1;
  int port_ = 0;
  std::thread acceptThread_;
  std::atomic<bool> stopping_{false};

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable stopped_;
  std::map<std::string, Route> routes_;
  std::vector<RecordedRequest> requests_;
  std::list<std::unique_ptr<Connection>> connections_;
};

}  // namespace zan::test
