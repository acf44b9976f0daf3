// The Qt request handler against a loopback server: the requests as the
// server saw them, fallbacks, redirects, time-outs, seeks, end and break.
#include <gtest/gtest.h>

#include <QNetworkReply>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "network/QTHTTPRequestHandler.h"
#include "TestHttpServer.h"
#include "tests/common/TestSupport.h"

namespace zan {
namespace {

using namespace std::chrono_literals;
using test::patternResource;
using test::RouteOptions;
using Clock = std::chrono::steady_clock;

// A handler and what it delivers.
struct Download {
  Download() {
    handler.setDataCallback([this](int64_t length, const ByteSource& source) {
      if (refuse) return int64_t{0};
      std::lock_guard<std::mutex> lock(mutex);
      bytes.resize(bytes.size() + static_cast<size_t>(length));
      source(bytes.data() + bytes.size() - length, length);
      return length;
    });
    handler.setEndOfFileCallback([this] { ended = true; });
    handler.setBrokenStreamCallback([this] { ended = true; });
  }
  bool waitForEnd(std::chrono::milliseconds limit = 10s) { return test::waitFor([this] { return ended.load(); }, limit); }
  bool waitForBytes(int64_t count) { return test::waitFor([&] { return received(-1) >= count; }, 10s); }
  // The count of bytes delivered; -1 when they are not the pattern from |offset| >= 0.
  int64_t received(int64_t offset) {
    std::lock_guard<std::mutex> lock(mutex);
    const bool wrong = offset >= 0 && !test::matchesPattern(bytes.data(), bytes.size(), offset);
    return wrong ? -1 : static_cast<int64_t>(bytes.size());
  }
  bool clear() {
    std::lock_guard<std::mutex> lock(mutex);
    bytes.clear();
    return true;
  }

  std::mutex mutex;
  std::vector<uint8_t> bytes;  // guarded by mutex
  std::atomic<bool> ended{false};
  std::atomic<bool> refuse{false};  // take nothing, as a consumer being restarted
  QTHTTPRequestHandler handler;  // last: gone before what its callbacks use
};

class RequestHandlerTest : public ::testing::Test {
 protected:
  std::wstring url(const std::string& path) const {
    const std::string text = path.find("://") == std::string::npos ? server_.url(path) : path;
    return std::wstring(text.begin(), text.end());
  }

  test::TestHttpServer server_;
};

// HEAD, then the GET whose body is delivered once (a refused HEAD's stand-in
// GET delivers nothing); redirects are followed, request headers always sent.
TEST_F(RequestHandlerTest, OpenDeliversTheBodyOnceWithTheRequestHeaders) {
  const RouteOptions flv{.headers = {{"Zan-Streaming", "direct"}, {"Content-Type", "video/x-flv"}}};
  server_.addResource("/media.flv", patternResource(100000), flv);
  server_.addResource("/nohead", patternResource(100000), RouteOptions{.refuseHead = true, .headers = flv.headers});
  server_.addRedirect("/moved", "/media.flv", 301);
  server_.addRedirect("/absolute", server_.url("/moved"), 307);
  const std::vector<std::vector<std::string>> rows{
      {"HEAD /media.flv", "GET /media.flv"},
      {"HEAD /nohead", "GET /nohead", "GET /nohead"},
      {"HEAD /absolute", "HEAD /moved", "HEAD /media.flv", "GET /media.flv"},
  };
  for (const auto& requests : rows) {
    SCOPED_TRACE(requests.front());
    server_.clearRequests();
    Download download;
    download.handler.addRequestHeader("X-Zan-Client", "one");
    download.handler.addRequestHeader("X-Zan-Client", "two");
    ASSERT_TRUE(download.handler.open(url(requests.front().substr(5))));
    ASSERT_TRUE(download.waitForEnd());
    EXPECT_EQ(download.received(0), 100000);
    std::vector<std::string> lines;
    for (const auto& request : server_.requests()) {
      lines.push_back(request.method + " " + request.target);
      EXPECT_EQ(request.header("X-Zan-Client") + request.header("Range") + request.header("Zan-seek"), "one,two");
    }
    EXPECT_EQ(lines, requests);
    // A repeated response header is joined; names match in any case.
    EXPECT_EQ(download.handler.getContentType(), "application/octet-stream, video/x-flv");
    EXPECT_EQ(download.handler.getResponseHeader("ZAN-STREAMING"), "direct");
  }
}

// Every failed open says why, promptly, and sends no GET after a failed
// HEAD. (Refused connections and certificates are the input's rows.)
TEST_F(RequestHandlerTest, FailedOpensSayWhyPromptly) {
  server_.addResource("/stall", patternResource(1000), RouteOptions{.stallBeforeHeadersMs = 20000});
  server_.addRedirect("/loop-a", "/loop-b");
  server_.addRedirect("/loop-b", "/loop-a");
  server_.addRedirect("/ftp", "ftp://127.0.0.1/file");
  const struct {
    std::string path;
    int timeoutMs, errorCode;
    std::string cause;
    size_t requests;  // at most
  } rows[] = {
      {"/missing", 5000, QNetworkReply::ContentNotFoundError, "HTTP 404", 1},
      {"/stall", 300, 404, "no response headers within 0.3 s", 1},
      {"/loop-a", 5000, QNetworkReply::TooManyRedirectsError, "redirect loop", 2},
      {"/ftp", 5000, 0, "redirect to a location that is not HTTP", 1},  // the 302 itself was no error
      {"file:///etc/passwd", 5000, 404, "not an HTTP URL", 0},
      // TLS to a plain HTTP server: the handshake fails, promptly.
      {"https" + server_.url("/missing").substr(4), 5000, QNetworkReply::RemoteHostClosedError,
       "the server closed the connection without an answer", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    server_.clearRequests();
    QTHTTPRequestHandler handler;
    handler.setTimeout(row.timeoutMs);
    const auto start = Clock::now();
    EXPECT_FALSE(handler.open(url(row.path)));
    // Far below the stalls and the 30 s default, loose for sanitizer builds.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(std::min(row.timeoutMs, 2000) + 4000));
    EXPECT_EQ(handler.getErrorCode(), row.errorCode);
    EXPECT_EQ(handler.getFailureCause(), row.cause);
    for (const auto& request : server_.requests()) EXPECT_NE(request.method, "GET");
    EXPECT_LE(server_.requestCount(), row.requests);
  }
}

// A seek sends one GET with the "Range" and "Zan-seek" the server allows; the
// body comes from the asked offset (a whole one, ranges ignored, trimmed to it).
// A resumption asks with a range as well, never with a time.
TEST_F(RequestHandlerTest, SeekSendsRangeAndZanSeekHeaders) {
  const int64_t rate = 200000;
  server_.addResource("/ranged", patternResource(1000000), RouteOptions{.bytesPerSecond = rate});
  server_.addResource("/nolength", patternResource(1000000),
                      RouteOptions{.sendContentLength = false, .bytesPerSecond = rate});
  server_.addResource("/timed", patternResource(1000000), RouteOptions{.zanSeek = true, .bytesPerSecond = rate});
  server_.addResource("/ignores", patternResource(400000), RouteOptions{.honourRange = false});
  struct Step {
    int64_t offset, timeMs;
    std::string range, zanSeek;  // as the server must see them; "" = absent
    bool resume = false;         // resume() rather than seek()
  };
  const std::vector<std::pair<const char*, std::vector<Step>>> cases{
      {"/ranged",
       {{1000, -1, "bytes=1000-999999", ""}, {0, -1, "", ""}, {5000, 2500, "bytes=5000-999999", ""},
        {3000, -1, "bytes=3000-999999", "", true}}},
      {"/nolength", {{1000, -1, "bytes=1000-", ""}}},
      {"/timed",
       {{0, 2500, "", "seconds=2"}, {7000, -1, "bytes=7000-999999", "seconds=2"}, {0, 9999, "", "seconds=9"},
        {6000, -1, "bytes=6000-999999", "", true}}},
      {"/ignores", {{150000, -1, "bytes=150000-399999", ""}, {20000, -1, "bytes=20000-399999", "", true}}},
  };
  for (const auto& [path, steps] : cases) {
    SCOPED_TRACE(path);
    Download download;
    ASSERT_TRUE(download.handler.open(url(path)));
    for (const Step& step : steps) {
      SCOPED_TRACE(step.offset);
      server_.clearRequests();
      // Cleared once the old transfer has stopped: what it delivered is not the answer.
      const auto clear = [&download] { return download.clear(); };
      ASSERT_TRUE(step.resume ? download.handler.resume(step.offset, clear)
                              : download.handler.seek(step.offset, step.timeMs, clear));
      ASSERT_TRUE(test::waitFor([&] { return server_.requestCount() > 0; }, 5s));
      const auto request = server_.requests().front();
      EXPECT_EQ(request.method + " " + request.header("Range") + "|" + request.header("Zan-seek"),
                "GET " + step.range + "|" + step.zanSeek);
      ASSERT_TRUE(download.waitForBytes(1000));
      if (step.zanSeek.empty()) {
        EXPECT_GE(download.received(step.offset), 1000);
      }
    }
  }
}

// A consumer that takes fewer bytes than offered (it is being restarted)
// hears nothing more of that body, not even that it ended.
TEST_F(RequestHandlerTest, RefusedBytesEndTheDeliveryUnreported) {
  server_.addResource("/file", patternResource(100000));
  Download download;
  download.refuse = true;
  ASSERT_TRUE(download.handler.open(url("/file")));
  EXPECT_FALSE(download.waitForEnd(500ms));
}

// A close releases an open that waits, and one that has not begun yet
// (the client may close a handler just before it opens it).
TEST_F(RequestHandlerTest, CloseReleasesAWaitingOpen) {
  server_.addResource("/stall", patternResource(1000), RouteOptions{.stallBeforeHeadersMs = 20000});
  QTHTTPRequestHandler handler;
  std::atomic<int> result{-1};
  std::thread opener([&] { result = handler.open(url("/stall")) ? 1 : 0; });
  ASSERT_TRUE(test::waitFor([&] { return server_.requestCount() > 0; }, 5s));
  auto start = Clock::now();
  handler.close();
  opener.join();
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_EQ(result.load(), 0);

  QTHTTPRequestHandler closedFirst;
  closedFirst.close();
  start = Clock::now();
  EXPECT_FALSE(closedFirst.open(url("/stall")));
  EXPECT_LT(Clock::now() - start, 2s);
}

}  // namespace
}  // namespace zan
