// The loopback HTTP server of the network tests. See TestHttpServer.h.
#include "TestHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace zan::test {

namespace {

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  const size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

}  // namespace

ServedResource patternResource(int64_t size) {
  ServedResource resource;
  resource.size = size;
  resource.fill = [](int64_t offset, uint8_t* out, size_t length) {
    for (size_t i = 0; i < length; ++i) out[i] = patternByte(offset + static_cast<int64_t>(i));
  };
  return resource;
}

ServedResource fileResource(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  auto bytes = std::make_shared<const std::string>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return {static_cast<int64_t>(bytes->size()), [bytes](int64_t offset, uint8_t* out, size_t length) {
            std::memcpy(out, bytes->data() + offset, length);
          }};
}

std::string RecordedRequest::header(const std::string& name) const {
  auto found = headers.find(lowerCase(name));
  return found == headers.end() ? std::string() : found->second;
}

bool RecordedRequest::has(const std::string& name) const { return headers.count(lowerCase(name)) != 0; }

TestHttpServer::TestHttpServer() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listenFd_, 64) != 0) {
    std::perror("TestHttpServer: bind/listen");
    std::abort();
  }
  socklen_t length = sizeof address;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

TestHttpServer::~TestHttpServer() { stop(); }

void TestHttpServer::addResource(const std::string& path, ServedResource resource, RouteOptions options) {
  std::lock_guard<std::mutex> lock(mutex_);
  Route& route = routes_[path];
  route.resource = std::move(resource);
  route.options = std::move(options);
  route.redirectStatus = 0;
}

void TestHttpServer::addRedirect(const std::string& path, const std::string& location, int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  Route& route = routes_[path];
  route.redirectLocation = location;
  route.redirectStatus = status;
}

std::string TestHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<RecordedRequest> TestHttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t TestHttpServer::requestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

void TestHttpServer::clearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

bool TestHttpServer::waitForRequests(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= count; });
}

void TestHttpServer::stop() {
  if (stopping_.exchange(true)) return;
  ::shutdown(listenFd_, SHUT_RDWR);
  if (acceptThread_.joinable()) acceptThread_.join();
  ::close(listenFd_);
  std::list<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& connection : connections_) {
      if (!connection->done) ::shutdown(connection->fd, SHUT_RDWR);
    }
    connections.swap(connections_);
  }
  changed_.notify_all();
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
    connection->thread = std::thread([this, raw] { serve(raw); });
    connections_.push_back(std::move(connection));
  }
}

bool TestHttpServer::sendAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

bool TestHttpServer::pause(int64_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_.load(); });
  return !stopping_;
}

void TestHttpServer::serve(Connection* connection) {
  const int fd = connection->fd;
  auto finish = [&](bool graceful) {
    if (graceful) {
      // Let the client read everything before the socket goes away: close
      // only once it has closed its side (or after a short grace).
      ::shutdown(fd, SHUT_WR);
      timeval timeout{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      char scratch[4096];
      while (::recv(fd, scratch, sizeof scratch, 0) > 0) {
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ::close(fd);
    connection->done = true;
  };

  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) {
      finish(false);
      return;
    }
    head.append(buffer, static_cast<size_t>(got));
    // Not HTTP (a TLS handshake, say): hang up like a real server would.
    if (!std::isupper(static_cast<unsigned char>(head[0]))) {
      finish(false);
      return;
    }
  }

  RecordedRequest request;
  {
    const size_t lineEnd = head.find("\r\n");
    const std::string line = head.substr(0, lineEnd);
    const size_t first = line.find(' ');
    const size_t second = line.find(' ', first + 1);
    request.method = line.substr(0, first);
    request.target = first == std::string::npos ? "" : line.substr(first + 1, second - first - 1);
    size_t position = lineEnd + 2;
    while (position < head.size()) {
      const size_t end = head.find("\r\n", position);
      if (end == std::string::npos || end == position) break;
      const std::string field = head.substr(position, end - position);
      const size_t colon = field.find(':');
      if (colon != std::string::npos) {
        request.headers[lowerCase(trim(field.substr(0, colon)))] = trim(field.substr(colon + 1));
      }
      position = end + 2;
    }
  }

  Route route;
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    const std::string path = request.target.substr(0, request.target.find('?'));
    auto it = routes_.find(path);
    if (it != routes_.end()) {
      route = it->second;
      found = true;
    }
  }
  changed_.notify_all();

  auto answer = [&](int status, const std::vector<std::string>& fields) {
    std::string text = "HTTP/1.1 " + std::to_string(status) + " Status\r\n";  // no client reads the phrase
    for (const std::string& field : fields) text += field + "\r\n";
    text += "Connection: close\r\n\r\n";
    return sendAll(fd, text.data(), text.size());
  };

  if (!found) {
    answer(404, {"Content-Length: 0"});
    finish(true);
    return;
  }
  if (route.redirectStatus != 0) {
    std::vector<std::string> fields{"Content-Length: 0"};
    if (!route.redirectLocation.empty()) fields.push_back("Location: " + route.redirectLocation);
    answer(route.redirectStatus, fields);
    finish(true);
    return;
  }
  const RouteOptions& options = route.options;
  if (options.stallBeforeHeadersMs > 0 && !pause(options.stallBeforeHeadersMs)) {
    finish(false);
    return;
  }
  if (request.method == "HEAD" && options.refuseHead) {
    answer(405, {"Allow: GET", "Content-Length: 0"});
    finish(true);
    return;
  }

  const int64_t size = route.resource.size;
  int64_t start = 0;
  int64_t end = size;  // exclusive
  int status = 200;
  std::vector<std::string> fields{"Content-Type: application/octet-stream"};
  const std::string zanSeek = request.header("zan-seek");
  const std::string range = request.header("range");
  long long seconds = 0;
  if (options.zanSeek && std::sscanf(zanSeek.c_str(), "seconds=%lld", &seconds) == 1) {
    start = std::clamp<int64_t>(seconds * options.zanBytesPerSecond, 0, size);
  } else if (!range.empty() && options.honourRange) {
    long long first = -1, last = -1;
    const int fieldsRead = std::sscanf(range.c_str(), "bytes=%lld-%lld", &first, &last);
    if (fieldsRead >= 1 && first >= 0 && first < size) {
      last = fieldsRead == 2 ? std::min<long long>(last, size - 1) : size - 1;
      start = std::clamp<int64_t>(first + options.contentRangeShift, 0, size - 1);
      end = std::max<int64_t>(last, start) + 1;
      status = 206;
      if (options.sendContentRange)
        fields.push_back("Content-Range: bytes " + std::to_string(start) + "-" + std::to_string(end - 1) + "/" +
                         std::to_string(size));
    } else {
      answer(416, {"Content-Range: bytes */" + std::to_string(size), "Content-Length: 0"});
      finish(true);
      return;
    }
  }
  if (options.acceptRanges) fields.push_back("Accept-Ranges: bytes");
  if (options.zanSeek) fields.push_back("Accept-Zan-Seek: seconds");
  for (const auto& [name, value] : options.headers) fields.push_back(name + ": " + value);
  if (options.sendContentLength) fields.push_back("Content-Length: " + std::to_string(end - start));
  if (!answer(status, fields) || request.method == "HEAD") {
    finish(true);
    return;
  }

  int64_t limit = end;
  if (options.cutAfterBytes >= 0) limit = std::min(end, start + options.cutAfterBytes);
  if (options.stallAfterBytes >= 0) limit = std::min(end, start + options.stallAfterBytes);
  const size_t chunkSize = options.bytesPerSecond > 0
                               ? static_cast<size_t>(std::max<int64_t>(1024, options.bytesPerSecond / 50))
                               : size_t{1} << 20;
  std::vector<uint8_t> chunk(chunkSize);
  const auto began = std::chrono::steady_clock::now();
  int64_t sent = 0;
  bool ok = true;
  for (int64_t offset = start; offset < limit && ok && !stopping_;) {
    const size_t length = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(chunkSize), limit - offset));
    route.resource.fill(offset, chunk.data(), length);
    ok = sendAll(fd, reinterpret_cast<const char*>(chunk.data()), length);
    offset += static_cast<int64_t>(length);
    sent += static_cast<int64_t>(length);
    if (ok && options.bytesPerSecond > 0) {
      const auto due = began + std::chrono::microseconds(sent * 1000000 / options.bytesPerSecond);
      const auto now = std::chrono::steady_clock::now();
      if (due > now) ok = pause(std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1);
    }
  }
  if (ok && options.stallAfterBytes >= 0 && limit < end) {
    // Silent with the connection open, then cut.
    pause(options.stallAfterMs);
    ok = false;
  }
  finish(ok);
}

}  // namespace zan::test
