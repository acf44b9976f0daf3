// The Qt request handler against a loopback server: the requests as the
// server saw them, fallbacks, redirects, time-outs, seeks, end and break.
#include <gtest/gtest.h>

#include <QNetworkReply>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "network/QTHTTPRequestHandler.h"
#include "TestHttpServer.h"
#include "tests/common/TestSupport.h"

namespace zan {
namespace {

using test::patternResource;
using test::RouteOptions;
using test::TestHttpServer;

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Collects what a handler delivers.
class Sink {
 public:
  void attach(QTHTTPRequestHandler& handler) {
    handler.setDataCallback([this](const uint8_t* data, int64_t length) {
      std::lock_guard<std::mutex> lock(mutex_);
      bytes_.insert(bytes_.end(), data, data + length);
      return length;
    });
    handler.setEndOfFileCallback([this] { endOfFile_ = true; });
    handler.setBrokenStreamCallback([this] { broken_ = true; });
  }
  // Waits for the end or the break of the download.
  bool waitForEnd(int timeoutMs = 10000) {
    return test::waitFor([this] { return endOfFile_ || broken_; }, std::chrono::milliseconds(timeoutMs));
  }
  bool waitForBytes(size_t count) {
    return test::waitFor([&] { return bytes().size() >= count; }, std::chrono::seconds(10));
  }
  std::vector<uint8_t> bytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_.clear();
    endOfFile_ = broken_ = false;
  }
  bool endOfFile() const { return endOfFile_; }
  bool broken() const { return broken_; }

 private:
  std::mutex mutex_;
  std::vector<uint8_t> bytes_;
  std::atomic<bool> endOfFile_{false}, broken_{false};
};

bool matchesPattern(const std::vector<uint8_t>& bytes, int64_t offset) {
  return test::matchesPattern(bytes.data(), bytes.size(), offset);
}

std::vector<std::string> methods(const TestHttpServer& server) {
  std::vector<std::string> result;
  for (const auto& request : server.requests()) result.push_back(request.method + " " + request.target);
  return result;
}

class RequestHandlerTest : public ::testing::Test {
 protected:
  TestHttpServer server_;
};

TEST_F(RequestHandlerTest, OpenSendsHeadThenGetWithTheRequestHeaders) {
  server_.addResource("/media.flv", patternResource(100000),
                      RouteOptions{.headers = {{"Zan-Streaming", "direct"}, {"Content-Type", "video/x-flv"}}});
  QTHTTPRequestHandler handler;
  Sink sink;
  sink.attach(handler);
  handler.addRequestHeader("X-Zan-Client", "one");
  handler.addRequestHeader("X-Zan-Client", "two");
  ASSERT_TRUE(handler.open(wide(server_.url("/media.flv"))));
  ASSERT_TRUE(sink.waitForEnd());
  EXPECT_EQ(methods(server_), (std::vector<std::string>{"HEAD /media.flv", "GET /media.flv"}));
  for (const auto& request : server_.requests()) {
    EXPECT_EQ(request.header("X-Zan-Client"), "one,two");
    EXPECT_FALSE(request.has("Range"));
    EXPECT_FALSE(request.has("Zan-seek"));
  }
  // A repeated response header is joined; names match in any case.
  EXPECT_EQ(handler.getContentType(), "application/octet-stream, video/x-flv");
  EXPECT_EQ(handler.getResponseHeader("ZAN-STREAMING"), "direct");
  EXPECT_FALSE(handler.hasResponseHeader("Zan-Force-Extension"));
}

TEST_F(RequestHandlerTest, RefusedHeadIsReplacedByGetRequests) {
  server_.addResource("/nohead", patternResource(50000), RouteOptions{.refuseHead = true});
  QTHTTPRequestHandler handler;
  Sink sink;
  sink.attach(handler);
  ASSERT_TRUE(handler.open(wide(server_.url("/nohead"))));
  ASSERT_TRUE(sink.waitForEnd());
  EXPECT_TRUE(matchesPattern(sink.bytes(), 0));
  EXPECT_EQ(sink.bytes().size(), 50000u);  // the standing-in GET delivered nothing
  EXPECT_EQ(methods(server_), (std::vector<std::string>{"HEAD /nohead", "GET /nohead", "GET /nohead"}));
}

TEST_F(RequestHandlerTest, RedirectsAreFollowedAndLoopsRefused) {
  server_.addResource("/target", patternResource(20000));
  server_.addRedirect("/moved", "/target", 301);
  server_.addRedirect("/absolute", server_.url("/moved"), 307);
  server_.addRedirect("/loop-a", "/loop-b");
  server_.addRedirect("/loop-b", "/loop-a");
  server_.addRedirect("/ftp", "ftp://127.0.0.1/file");

  {
    QTHTTPRequestHandler handler;
    Sink sink;
    sink.attach(handler);
    ASSERT_TRUE(handler.open(wide(server_.url("/absolute"))));
    ASSERT_TRUE(sink.waitForEnd());
    EXPECT_EQ(sink.bytes().size(), 20000u);
    EXPECT_EQ(methods(server_),
              (std::vector<std::string>{"HEAD /absolute", "HEAD /moved", "HEAD /target", "GET /target"}));
  }
  struct Case {
    const char* path;
    size_t maxRequests;
  };
  for (const Case& c : {Case{"/loop-a", 2}, Case{"/ftp", 1}}) {
    SCOPED_TRACE(c.path);
    server_.clearRequests();
    QTHTTPRequestHandler handler;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(handler.open(wide(server_.url(c.path))));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    for (const auto& request : server_.requests()) EXPECT_NE(request.method, "GET");
    EXPECT_LE(server_.requestCount(), c.maxRequests);
  }
}

TEST_F(RequestHandlerTest, FailedAnswersFailOpen) {
  server_.addResource("/stall", patternResource(1000), RouteOptions{.stallBeforeHeadersMs = 20000});
  // HEAD answers at once, the GET stalls.
  server_.addResource("/slowget", patternResource(1000), RouteOptions{.refuseHead = true, .stallBeforeHeadersMs = 20000});
  struct Case {
    std::string url;
    int timeoutMs;
    int errorCode;      // -1: any but 0
    const char* cause;  // null: any
  };
  const std::vector<Case> cases{
      // (404, refused and certificate causes are the input's open-failure rows.)
      {server_.url("/missing"), 5000, QNetworkReply::ContentNotFoundError, nullptr},
      {server_.url("/stall"), 300, 404, "no response headers within 0.3 s"},
      {server_.url("/slowget"), 400, 404, nullptr},
      {"file:///etc/passwd", 5000, 404, "not an HTTP URL"},
      // TLS to a plain HTTP server: the handshake fails, promptly.
      {"https://127.0.0.1:" + std::to_string(server_.port()) + "/missing", 5000, -1, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    QTHTTPRequestHandler handler;
    handler.setTimeout(c.timeoutMs);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(handler.open(wide(c.url)));
    // Far below the stalls and the 30 s default, loose enough for a loaded
    // sanitizer build.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(std::min(c.timeoutMs, 2000) + 4000));
    if (c.errorCode >= 0) {
      EXPECT_EQ(handler.getErrorCode(), c.errorCode);
    } else {
      EXPECT_NE(handler.getErrorCode(), 0);
    }
    if (c.cause) {
      EXPECT_EQ(handler.getFailureCause(), c.cause);
    }
    EXPECT_FALSE(handler.getFailureCause().empty());
  }
}

TEST_F(RequestHandlerTest, SeekSendsRangeAndZanSeekHeaders) {
  server_.addResource("/ranged", patternResource(1000000), RouteOptions{.bytesPerSecond = 200000});
  server_.addResource("/nolength", patternResource(1000000), RouteOptions{.sendContentLength = false, .bytesPerSecond = 200000});
  server_.addResource("/timed", patternResource(1000000), RouteOptions{.zanSeek = true, .bytesPerSecond = 200000});
  struct Step {
    int64_t offset;
    int64_t timeMs;
    const char* range;    // as the server must see it; "" = absent
    const char* zanSeek;  // likewise
  };
  struct Case {
    const char* path;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases{
      {"/ranged", {{1000, -1, "bytes=1000-999999", ""}, {0, -1, "", ""}, {5000, 2500, "bytes=5000-999999", ""}}},
      {"/nolength", {{1000, -1, "bytes=1000-", ""}}},
      {"/timed",
       {{0, 2500, "", "seconds=2"}, {7000, -1, "bytes=7000-999999", "seconds=2"}, {0, 9999, "", "seconds=9"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    QTHTTPRequestHandler handler;
    Sink sink;
    sink.attach(handler);
    ASSERT_TRUE(handler.open(wide(server_.url(c.path))));
    for (const Step& step : c.steps) {
      SCOPED_TRACE(step.offset);
      server_.clearRequests();
      // Cleared once the old transfer has stopped: bytes it still delivers
      // up to then are not part of the new answer.
      ASSERT_TRUE(handler.seek(step.offset, step.timeMs, [&sink] {
        sink.clear();
        return true;
      }));
      ASSERT_TRUE(server_.waitForRequests(1, 5000));
      const auto request = server_.requests().front();
      EXPECT_EQ(request.method, "GET");
      EXPECT_EQ(request.header("Range"), step.range);
      EXPECT_EQ(request.has("Range"), *step.range != '\0');
      EXPECT_EQ(request.header("Zan-seek"), step.zanSeek);
      ASSERT_TRUE(sink.waitForBytes(1000));
      if (*step.zanSeek == '\0') {
        EXPECT_TRUE(matchesPattern(sink.bytes(), step.offset));
      }
    }
  }
}

// A server that offers ranges but answers a ranged GET with the whole body
// (shifted 206 answers are the client's hostile-server rows).
TEST_F(RequestHandlerTest, BodyFromTheStartIsTrimmedToTheSeekOffset) {
  server_.addResource("/ignores", patternResource(400000), RouteOptions{.honourRange = false});
  QTHTTPRequestHandler handler;
  Sink sink;
  sink.attach(handler);
  ASSERT_TRUE(handler.open(wide(server_.url("/ignores"))));
  ASSERT_TRUE(sink.waitForEnd());
  sink.clear();
  ASSERT_TRUE(handler.seek(150000, -1, {}));
  ASSERT_TRUE(sink.waitForEnd());
  EXPECT_TRUE(sink.endOfFile());
  EXPECT_EQ(sink.bytes().size(), 250000u);
  EXPECT_TRUE(matchesPattern(sink.bytes(), 150000));
}

TEST_F(RequestHandlerTest, DownloadThatBreaksOffIsReportedBroken) {
  server_.addResource("/cut", patternResource(500000), RouteOptions{.cutAfterBytes = 123456});
  server_.addResource("/cut-nolength", patternResource(500000), RouteOptions{.sendContentLength = false, .cutAfterBytes = 123456});
  struct Case {
    const char* path;
    bool broken;
  };
  // Without a length, a closed connection is the only end there is.
  for (const Case& c : {Case{"/cut", true}, Case{"/cut-nolength", false}}) {
    SCOPED_TRACE(c.path);
    QTHTTPRequestHandler handler;
    Sink sink;
    sink.attach(handler);
    ASSERT_TRUE(handler.open(wide(server_.url(c.path))));
    ASSERT_TRUE(sink.waitForEnd());
    EXPECT_EQ(sink.broken(), c.broken);
    EXPECT_EQ(sink.endOfFile(), !c.broken);
    EXPECT_EQ(sink.bytes().size(), 123456u);
    EXPECT_TRUE(matchesPattern(sink.bytes(), 0));
  }
}

TEST_F(RequestHandlerTest, CloseReleasesAWaitingOpen) {
  server_.addResource("/stall", patternResource(1000), RouteOptions{.stallBeforeHeadersMs = 20000});
  QTHTTPRequestHandler handler;
  std::atomic<int> result{-1};
  std::thread opener([&] { result = handler.open(wide(server_.url("/stall"))) ? 1 : 0; });
  ASSERT_TRUE(server_.waitForRequests(1, 5000));
  const auto start = std::chrono::steady_clock::now();
  handler.close();
  opener.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(result.load(), 0);
}

}  // namespace
}  // namespace zan
