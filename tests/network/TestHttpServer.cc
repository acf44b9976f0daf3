// The loopback HTTP server of the network tests. See TestHttpServer.h.
#include "TestHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace zan::test {

namespace {

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

RecordedRequest parseRequest(const std::string& head) {
  RecordedRequest request;
  std::istringstream lines(head);
  std::string line;
  std::getline(lines, line);
  std::istringstream(line) >> request.method >> request.target;
  while (std::getline(lines, line) && line != "\r") {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    request.headers[lowerCase(trim(line.substr(0, colon)))] = trim(line.substr(colon + 1));
  }
  return request;
}

}  // namespace

bool sendAll(int fd, const void* data, size_t length) {
  const char* next = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t sent = ::send(fd, next, length, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    next += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

namespace {

}  // namespace

ServedResource patternResource(int64_t size) {
  return {size, [](int64_t offset, uint8_t* out, size_t length) {
            for (size_t i = 0; i < length; ++i) out[i] = patternByte(offset + static_cast<int64_t>(i));
          }};
}

ServedResource fileResource(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  auto bytes = std::make_shared<const std::string>(std::istreambuf_iterator<char>(file),
                                                   std::istreambuf_iterator<char>());
  return {static_cast<int64_t>(bytes->size()), [bytes](int64_t offset, uint8_t* out, size_t length) {
            std::memcpy(out, bytes->data() + offset, length);
          }};
}

std::string RecordedRequest::header(const std::string& name) const {
  auto found = headers.find(lowerCase(name));
  return found == headers.end() ? std::string() : found->second;
}

TestHttpServer::TestHttpServer() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listenFd_, 64) != 0) {
    std::perror("TestHttpServer: bind/listen");
    std::abort();
  }
  socklen_t length = sizeof address;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

void TestHttpServer::addResource(const std::string& path, ServedResource resource, RouteOptions options) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[path] = Route{std::move(resource), std::move(options), 0, "", {}, ""};
}

void TestHttpServer::addRedirect(const std::string& path, const std::string& location, int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[path] = Route{{}, {}, status, location, {}, ""};
}

std::vector<RecordedRequest> TestHttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void TestHttpServer::clearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

void TestHttpServer::stop() {
  if (stopping_.exchange(true)) return;
  ::shutdown(listenFd_, SHUT_RDWR);
  if (acceptThread_.joinable()) acceptThread_.join();
  ::close(listenFd_);
  std::list<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& connection : connections_)
      if (!connection->done) ::shutdown(connection->fd, SHUT_RDWR);
    connections.swap(connections_);
  }
  stopped_.notify_all();
  connections.clear();  // joins their threads
}

void TestHttpServer::acceptLoop() {
  while (!stopping_) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      break;
    }
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    Connection* raw = connection.get();
    std::lock_guard<std::mutex> lock(mutex_);
    // Joins finished connections: they set |done| last, under this lock.
    connections_.remove_if([](const std::unique_ptr<Connection>& c) { return c->done.load(); });
    if (stopping_) {
      ::close(fd);
      break;
    }
    connection->thread = std::jthread([this, raw] { serve(raw); });
    connections_.push_back(std::move(connection));
  }
}

bool TestHttpServer::pause(int64_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !stopped_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_.load(); });
}

void TestHttpServer::serve(Connection* connection) {
  const int fd = connection->fd;
  std::string head;
  char buffer[4096];
  bool complete = false;
  while (!complete && head.size() < 65536) {
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    head.append(buffer, static_cast<size_t>(got));
    // Not HTTP (a TLS handshake, say): hang up like a real server would.
    if (!std::isupper(static_cast<unsigned char>(head[0]))) break;
    complete = head.find("\r\n\r\n") != std::string::npos;
  }
  if (complete && respond(fd, parseRequest(head))) {
    // Let the client read everything before the socket goes away: close
    // only once it has closed its side (or after a short grace).
    ::shutdown(fd, SHUT_WR);
    timeval timeout{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ::close(fd);
  connection->done = true;
}

bool TestHttpServer::respond(int fd, const RecordedRequest& request) {
  Route route;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    auto found = routes_.find(request.target.substr(0, request.target.find('?')));
    // An unknown path is answered like a redirect without a Location.
    route = found == routes_.end() ? Route{{}, {}, 404, "", {}, ""} : found->second;
  }
  auto answer = [fd](int status, const std::vector<std::string>& fields) {
    std::string text = "HTTP/1.1 " + std::to_string(status) + " Status\r\n";  // no client reads the phrase
    for (const std::string& field : fields) text += field + "\r\n";
    text += "Connection: close\r\n\r\n";
    return sendAll(fd, text.data(), text.size());
  };
  if (!route.liveCommand.empty()) return serveLive(fd, request, route);
  if (route.redirectStatus != 0) {
    std::vector<std::string> fields{"Content-Length: 0"};
    if (!route.redirectLocation.empty()) fields.push_back("Location: " + route.redirectLocation);
    return answer(route.redirectStatus, fields);
  }
  const RouteOptions& options = route.options;
  if (options.stallBeforeHeadersMs > 0 && !pause(options.stallBeforeHeadersMs)) return false;
  if (request.method == "HEAD" && options.refuseHead) return answer(405, {"Allow: GET", "Content-Length: 0"});

  const int64_t size = route.resource.size;
  int64_t start = 0;
  int64_t end = size;  // exclusive
  int status = 200;
  std::vector<std::string> fields{"Content-Type: application/octet-stream"};
  const std::string version = route.state->changed ? "-changed" : "";
  const std::string etag = options.etag.empty() ? "" : options.etag + version;
  const std::string lastModified = options.lastModified.empty() ? "" : options.lastModified + version;
  if (!etag.empty()) fields.push_back("ETag: " + etag);
  if (!lastModified.empty()) fields.push_back("Last-Modified: " + lastModified);
  const std::string ifRange = request.header("if-range");
  const bool sameResource = ifRange.empty() || ifRange == etag || ifRange == lastModified;
  const std::string range = sameResource ? request.header("range") : "";
  long long seconds = 0, first = -1, last = -1;
  if (options.zanSeek && std::sscanf(request.header("zan-seek").c_str(), "seconds=%lld", &seconds) == 1) {
    start = std::clamp<int64_t>(seconds * 1000, 0, size);  // as RouteOptions::zanSeek says
  } else if (!range.empty() && options.honourRange) {
    const int fieldsRead = std::sscanf(range.c_str(), "bytes=%lld-%lld", &first, &last);
    if (fieldsRead < 1 || first < 0 || first >= size)
      return answer(416, {"Content-Range: bytes */" + std::to_string(size), "Content-Length: 0"});
    start = std::clamp<int64_t>(first + options.contentRangeShift, 0, size - 1);
    end = std::max<int64_t>(fieldsRead == 2 ? std::min<long long>(last, size - 1) : size - 1, start) + 1;
    if (options.rangePart > 0) end = std::min(end, start + options.rangePart);
    status = 206;
    if (options.sendContentRange)
      fields.push_back("Content-Range: bytes " + std::to_string(start) + "-" + std::to_string(end - 1) + "/" +
                       std::to_string(size));
  }
  if (options.acceptRanges) fields.push_back("Accept-Ranges: bytes");
  if (options.zanSeek) fields.push_back("Accept-Zan-Seek: seconds");
  for (const auto& [name, value] : options.headers) fields.push_back(name + ": " + value);
  if (options.sendContentLength) fields.push_back("Content-Length: " + std::to_string(end - start));
  if (!answer(status, fields)) return false;
  return request.method == "HEAD" || sendBody(fd, route, start, end);
}

// Bytes [start, end) at the route's rate, up to its cut or stall.
bool TestHttpServer::sendBody(int fd, const Route& route, int64_t start, int64_t end) {
  const RouteOptions& options = route.options;
  int64_t limit = end;
  if (options.cutAfterBytes >= 0) limit = std::min(limit, start + options.cutAfterBytes);
  if (options.stallAfterBytes >= 0) limit = std::min(limit, start + options.stallAfterBytes);
  const std::vector<int64_t>& cuts = options.cutAt;
  size_t cut = route.state->cutsDone;
  while (cut < cuts.size() && cuts[cut] <= start) ++cut;
  const bool cutHere = cut < cuts.size() && cuts[cut] < limit;
  if (cutHere) limit = cuts[cut];
  const bool changed = route.state->changed;
  const int64_t rate = options.bytesPerSecond;
  std::vector<uint8_t> chunk(rate > 0 ? static_cast<size_t>(std::max<int64_t>(1024, rate / 50)) : size_t{1} << 20);
  const auto began = std::chrono::steady_clock::now();
  for (int64_t offset = start; offset < limit;) {
    const size_t length = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(chunk.size()), limit - offset));
    route.resource.fill(offset, chunk.data(), length);
    if (changed)
      for (size_t i = 0; i < length; ++i) chunk[i] ^= 0x5a;
    if (stopping_ || !sendAll(fd, chunk.data(), length)) return false;
    offset += static_cast<int64_t>(length);
    const auto due = began + std::chrono::microseconds(rate > 0 ? (offset - start) * 1000000 / rate : 0);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
    if (rate > 0 && wait.count() >= 0 && !pause(wait.count() + 1)) return false;
  }
  if (cutHere) {
    route.state->cutsDone = cut + 1;
    if (options.changeAtCut) route.state->changed = true;
    return true;  // closed early, like a cut after some bytes
  }
  if (limit == end || options.stallAfterBytes < 0) return true;
  pause(options.stallAfterMs);  // silent with the connection open, then cut
  return false;
}

}  // namespace zan::test
