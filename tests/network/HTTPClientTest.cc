// The HTTP client against a loopback server: seeks from the buffer or with a
// request (the server counts them), hostile servers, close releasing waiters.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/records/Records.h"
#include "network/HTTPClient.h"
#include "support/NetworkTimeouts.h"
#include "TestHttpServer.h"
#include "tests/common/TestSupport.h"

namespace zan {
namespace {

using namespace std::chrono_literals;
using test::patternResource;
using test::readPattern;
using test::RouteOptions;
using Clock = std::chrono::steady_clock;
using Event = ConnectionEvent::ConnectionEvent;

// Hung servers are given up after 2 s here, not 30 s (unless the environment says otherwise).
[[maybe_unused]] const bool kShortTimeouts = setenv("ZAN_NETWORK_TIMEOUT_MS", "2000", 0) == 0;

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * 1024;
const std::vector<Event> kEndOnly{ConnectionEvent::END_OF_FILE_RECEIVED};

// The connection events a client raised.
struct Events {
  static void record(Event event, void* self) {
    auto* events = static_cast<Events*>(self);
    std::lock_guard<std::mutex> lock(events->mutex);
    events->raised.push_back(event);
  }
  void attach(HTTPClient& client) {
    client.connectionEventUserData = this;
    client.connectionEventCallback = &Events::record;
  }
  // Those raised so far, once there is one or |timeoutMs| has passed.
  std::vector<Event> wait(int timeoutMs = 10000) {
    test::waitFor([this] { return !list().empty(); }, std::chrono::milliseconds(timeoutMs));
    return list();
  }
  std::vector<Event> list() {
    std::lock_guard<std::mutex> lock(mutex);
    return raised;
  }

  std::mutex mutex;
  std::vector<Event> raised;  // guarded by mutex
};

// getBufferStatus(): position, history start, buffered end, length (or -1s).
using Status = std::array<int64_t, 4>;
Status status(HTTPClient& client) {
  Status s{};
  if (!client.getBufferStatus(s[0], s[1], s[2], s[3])) s.fill(-1);
  return s;
}

// Waits until the client holds at least |bytes| ahead of its reader.
bool waitForBuffered(HTTPClient& client, int64_t bytes) {
  return test::waitFor([&] { return client.getAvailableBytes() >= bytes; }, 10s);
}

class HTTPClientTest : public ::testing::Test {
 protected:
  // |events| are attached after open, as the input does.
  std::unique_ptr<HTTPClient> openClient(const std::string& path, unsigned bufferSize = 0xA00000,
                                         unsigned historySize = 0x200000, Events* events = nullptr) {
    auto client = std::make_unique<HTTPClient>(bufferSize, historySize);
    host::ErrorRecord error;
    EXPECT_TRUE(client->open(server_.url(path), &error)) << error.getMessage();
    if (events != nullptr) events->attach(*client);
    return client;
  }

  test::TestHttpServer server_;
};

// A download held whole: its end is told once, the status shows the
// history window behind the reader, seeks inside it need no request but
// SEEK_END always makes one, and close ends everything.
TEST_F(HTTPClientTest, CompleteDownloadStatusSeeksAndClose) {
  server_.addResource("/whole", patternResource(3 * kMiB), RouteOptions{.headers = {{"Zan-Streaming", "indirect"}}});
  server_.addResource("/nolength", patternResource(kMiB),
                      RouteOptions{.sendContentLength = false, .headers = {{"Zan-Streaming", "direct"}}});
  Events events;
  auto client = openClient("/whole", 0xA00000, 0x200000, &events);
  EXPECT_TRUE(client->isIndirectStreaming());
  ASSERT_EQ(readPattern(*client, 0, 4 * kMiB), 3 * kMiB);
  EXPECT_EQ(events.wait(), kEndOnly);
  EXPECT_EQ(status(*client), (Status{3 * kMiB, kMiB, 3 * kMiB, 3 * kMiB}));
  EXPECT_EQ(client->seek(0, HTTPClient::kSeekSize, -1), 3 * kMiB);
  EXPECT_EQ(client->seek(-3 * kMiB - 1, SEEK_CUR, -1), -1);
  EXPECT_EQ(client->seek(-5000, SEEK_CUR, -1), 3 * kMiB - 5000);
  EXPECT_EQ(readPattern(*client, 3 * kMiB - 5000, 1000), 1000);
  EXPECT_EQ(server_.requestCount(), 2u);
  EXPECT_EQ(client->seek(-1000, SEEK_END, -1), 3 * kMiB - 1000);
  EXPECT_EQ(server_.requestCount(), 3u);
  EXPECT_EQ(readPattern(*client, 3 * kMiB - 1000, 5000), 1000);
  client->close();
  uint8_t byte = 0;
  EXPECT_EQ(client->read(&byte, 1), -1);
  EXPECT_EQ(client->seek(0, SEEK_SET, -1), -1);
  EXPECT_EQ(status(*client), (Status{-1, -1, -1, -1}));
  EXPECT_FALSE(client->isSeekable());

  auto unknown = openClient("/nolength");
  EXPECT_FALSE(unknown->isIndirectStreaming());
  EXPECT_EQ(unknown->seek(0, HTTPClient::kSeekSize, -1), -1);
  EXPECT_EQ(unknown->seek(-1, SEEK_END, -1), -1);
}

// A download that ends (often inside open) before its user registers is
// told once, by whichever of the two assignments completes the registration.
// A user may close the client from the callback, on the network thread.
TEST_F(HTTPClientTest, EventBeforeRegistrationIsDeliveredOnRegistration) {
  server_.addResource("/small", patternResource(1000));
  for (bool callbackFirst : {false, true}) {
    SCOPED_TRACE(callbackFirst);
    auto client = openClient("/small");
    ASSERT_EQ(readPattern(*client, 0, 2000), 1000);  // the download has ended
    Events events;
    if (callbackFirst)
      client->connectionEventCallback = &Events::record;
    else
      client->connectionEventUserData = &events;
    EXPECT_TRUE(events.list().empty());
    events.attach(*client);  // user data, then the callback again: told once
    EXPECT_EQ(events.list(), kEndOnly);
  }

  HTTPClient client(0xA00000, 0x200000);
  client.connectionEventUserData = &client;
  client.connectionEventCallback = [](Event, void* self) { static_cast<HTTPClient*>(self)->close(); };
  host::ErrorRecord error;
  client.open(server_.url("/small"), &error);
  int64_t a = 0, b = 0, c = 0, d = 0;
  EXPECT_TRUE(test::waitFor([&] { return !client.getBufferStatus(a, b, c, d); }, 10s));
}

// A seek a little ahead waits for the download; one far ahead is a request,
// with the time if given (served from byte 1000 per second, handed out from
// the offset asked for).
TEST_F(HTTPClientTest, SeeksWaitForNearBytesAndRequestFarOnesAndTimes) {
  server_.addResource("/slow", patternResource(16 * kMiB), RouteOptions{.zanSeek = true, .bytesPerSecond = kMiB});
  auto client = openClient("/slow");
  ASSERT_TRUE(waitForBuffered(*client, 64 * kKiB));
  ASSERT_EQ(server_.requestCount(), 2u);

  int64_t target = client->getAvailableBytes() + 512 * kKiB;
  const auto start = Clock::now();
  EXPECT_EQ(client->seek(target, SEEK_SET, -1), target);
  EXPECT_GT(Clock::now() - start, 200ms);  // it waited for the download
  EXPECT_EQ(server_.requestCount(), 2u);
  EXPECT_EQ(readPattern(*client, target, 10000), 10000);

  target = client->seek(0, SEEK_CUR, -1) + client->getAvailableBytes() + 2 * kMiB;
  EXPECT_EQ(client->seek(target, SEEK_SET, -1), target);
  EXPECT_EQ(server_.requestCount(), 3u);
  EXPECT_EQ(readPattern(*client, target, 10000), 10000);

  target += 4 * kMiB;
  EXPECT_EQ(client->seek(target, SEEK_SET, 2500), target);
  EXPECT_EQ(server_.requestCount(), 4u);
  EXPECT_EQ(readPattern(*client, 2000, 1000), 1000);
  EXPECT_EQ(client->seek(0, SEEK_CUR, -1), target + 1000);
}

TEST_F(HTTPClientTest, LengthsAndOffsetsBeyondFourGiB) {
  constexpr int64_t kSize = 5 * 1024 * kMiB + 12345;  // generated as it is sent
  server_.addResource("/huge", patternResource(kSize));
  server_.addResource("/huge-nolength", patternResource(kSize), RouteOptions{.sendContentLength = false});
  const int64_t target = 4 * 1024 * kMiB + 777;
  for (const auto& [path, length] : {std::pair{"/huge", kSize}, {"/huge-nolength", int64_t{0}}}) {
    SCOPED_TRACE(path);
    auto client = openClient(path, kMiB, 256 * kKiB);
    EXPECT_EQ(client->getContentLength(), length);
    EXPECT_EQ(client->seek(target, SEEK_SET, -1), target);
    EXPECT_EQ(readPattern(*client, target, 100000), 100000);
    EXPECT_EQ(status(*client)[0], target + 100000);
  }
}

// Servers that misbehave: whether open succeeds, where a seek lands and with
// how many requests, where reading ends (a failed seek leaves the reader and
// the download going; a cut download resumes where ranges allow), the event
// that ends it, and all within bounds. Every byte read is checked.
TEST_F(HTTPClientTest, HostileServersAreSurvivedWithinBounds) {
  constexpr int64_t kNone = -1, kSize = 4 * kMiB;
  const int timeoutMs = stallTimeoutMs();
  const int kSilence = 30 * timeoutMs;
  const RouteOptions noRanges{.acceptRanges = false, .honourRange = false};
  const Event kEnd = ConnectionEvent::END_OF_FILE_RECEIVED, kBroken = ConnectionEvent::BROKEN_STREAM;
  constexpr int64_t kCut = 512 * kKiB;
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::vector<int64_t> cuts(3);
  for (int64_t& cut : cuts) cut = 1 + static_cast<int64_t>(random() % (kSize - 1));
  std::sort(cuts.begin(), cuts.end());
  struct Row {
    const char* name;
    RouteOptions options;
    int64_t size;
    int64_t readFirst;    // bytes read before the seek; kNone: open fails
    int64_t seekTo;       // kNone: no seek
    int64_t landsAt;      // kNone: the seek fails
    size_t seekRequests;  // requests the seek made
    int64_t endsAt;       // where reading stops
    Event event;
    int pauseMs = 0;      // before reading on: the ring fills up
  };
  const Row rows[] = {
      {"/no-headers", {.stallBeforeHeadersMs = kSilence}, kSize, kNone, kNone, kNone, 0, 0, kEnd},
      {"/redirect-without-location", {}, kSize, kNone, kNone, kNone, 0, 0, kEnd},
      // Resumed after the stall limit.
      {"/stall-mid-body", {.stallAfterBytes = 3 * kMiB, .stallAfterMs = kSilence}, kSize, 0, kNone, kNone, 0, kSize,
       kEnd},
      {"/cut-3-times", {.cutAt = cuts, .lastModified = "Mon, 07 Dec 2026 07:49:00 GMT"}, kSize, 0, kNone, kNone, 0,
       kSize, kEnd},
      {"/changed-at-cut", {.cutAt = {kCut}, .etag = "\"v1\"", .changeAtCut = true}, kSize, 0, kNone, kNone, 0, kCut,
       kBroken},
      {"/ranges-ignored-after-cut", {.honourRange = false, .cutAfterBytes = kCut}, kSize, 0, kNone, kNone, 0, kCut,
       kBroken},
      // Qt drops what it holds beyond the reply when the connection closes
      // early: the resumption asks from the first byte the reader lacks.
      {"/cut-with-ring-full", {.cutAt = {3 * kMiB}}, kSize, 1000, kNone, kNone, 0, kSize, kEnd, 1000},
      // Without a length, a closed connection is the only end there is.
      {"/cut-no-length", {.sendContentLength = false, .cutAfterBytes = kCut}, kSize, 0, kNone, kNone, 0, kCut, kEnd},
      {"/ranges-ignored-seek-back", noRanges, 200000, 200000, 6000, 6000, 0, 200000, kEnd},
      // Beyond the ring: what lies between is passed over.
      {"/ranges-ignored-seek-ahead", noRanges, kSize, 1000, kSize - 1000, kSize - 1000, 0, kSize, kEnd},
      // ... but the download breaks first, and the reader cannot go back
      // to where it was: reads fail rather than hand over other bytes.
      {"/ranges-ignored-cut-before-target", {.acceptRanges = false, .honourRange = false, .cutAfterBytes = kSize / 2},
       kSize, kCut, kSize - 1000, kNone, 0, kCut, kBroken},
      // The download goes on: asked for with a range, then whole.
      {"/206-without-content-range", {.sendContentRange = false}, kSize, 1000, kSize - 1000, kNone, 3, kSize, kEnd},
      {"/206-from-later", {.contentRangeShift = 4096}, kSize, 1000, kSize - 1000, kNone, 3, kSize, kEnd},
      {"/206-from-earlier", {.contentRangeShift = -4096}, kSize, 1000, kSize - 1000, kSize - 1000, 1, kSize, kEnd},
      // Parts that end before the resource does: the rest is asked for.
      {"/206-in-parts", {.rangePart = 300 * kKiB}, kSize, 1000, kSize / 2, kSize / 2, 1, kSize, kEnd},
      {"/416-past-the-end", {}, kSize, 1000, kSize + 1000, kNone, 2, kSize, kEnd},
  };
  server_.addRedirect("/redirect-without-location", "");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.name != std::string("/redirect-without-location"))
      server_.addResource(row.name, patternResource(row.size), row.options);
    // Only a hang breaks these, even under sanitizers on a loaded machine.
    const bool stalls = row.options.stallBeforeHeadersMs > 0 || row.options.stallAfterBytes >= 0;
    const int boundMs = stalls ? 4 * timeoutMs + 4000 : 15000;
    const auto start = Clock::now();
    // A 1 MiB ring: a seek near the end always goes to the server.
    HTTPClient client(kMiB, 256 * kKiB);
    host::ErrorRecord error;
    ASSERT_EQ(client.open(server_.url(row.name), &error), row.readFirst != kNone);
    if (row.readFirst == kNone) {
      EXPECT_EQ(error.getCode(), 2);
    } else {
      Events events;
      events.attach(client);
      int64_t position = readPattern(client, 0, row.readFirst);
      ASSERT_EQ(position, row.readFirst);
      if (row.seekTo != kNone) {
        const size_t before = server_.requestCount();
        EXPECT_EQ(client.seek(row.seekTo, SEEK_SET, -1), row.landsAt);
        EXPECT_EQ(server_.requestCount() - before, row.seekRequests);
        if (row.landsAt != kNone) position = row.landsAt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(row.pauseMs));
      EXPECT_EQ(position + readPattern(client, position, 2 * kSize), row.endsAt);
      EXPECT_EQ(events.wait(boundMs), std::vector<Event>{row.event});
    }
    client.close();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(boundMs));
  }
}

// A seek waiting for bytes, and the network thread waiting in a full ring
// (nobody reads). A blocked read is the input's concurrency test.
TEST_F(HTTPClientTest, CloseReleasesABlockedSeekAndWrite) {
  server_.addResource("/trickle", patternResource(4 * kMiB), RouteOptions{.bytesPerSecond = 100 * kKiB});
  server_.addResource("/fast", patternResource(8 * kMiB));
  for (bool seek : {true, false}) {
    SCOPED_TRACE(seek ? "seek" : "write");
    auto client = seek ? openClient("/trickle") : openClient("/fast", 256 * kKiB, 64 * kKiB);
    // The seek goes half a MiB past the first bytes; the writer fills the ring.
    ASSERT_TRUE(waitForBuffered(*client, seek ? 1 : 256 * kKiB - 64 * kKiB - 1));
    std::atomic<int64_t> result{-2};
    std::thread seeker([&, target = client->getAvailableBytes() + 512 * kKiB] {
      if (seek) result = client->seek(target, SEEK_SET, -1);
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(result.load(), -2);
    const auto start = Clock::now();
    EXPECT_TRUE(client->close());
    seeker.join();
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(result.load(), seek ? -1 : -2);
  }
}

// Random reads and seeks (in the buffer, back in the history, far ahead) on
// one thread, status queries on another; every byte read is checked.
TEST_F(HTTPClientTest, ReadsAndSeeksFromManyThreadsStayExact) {
  constexpr int64_t kSize = 6 * kMiB;
  server_.addResource("/file", patternResource(kSize), RouteOptions{.bytesPerSecond = 8 * kMiB});
  auto client = openClient("/file", 2 * kMiB, 512 * kKiB);
  std::atomic<bool> done{false};
  std::atomic<int64_t> statusCalls{0};
  std::thread poller([&] {
    while (!done) {
      const Status s = status(*client);
      EXPECT_TRUE(s[1] <= s[0] && s[0] <= s[2] && s[3] == kSize) << s[0] << " " << s[1] << " " << s[2] << " " << s[3];
      client->getAvailableBytes();
      client->getBufferReadIndex();
      ++statusCalls;
      std::this_thread::yield();
    }
  });
  std::mt19937 random(7);
  int64_t position = 0;
  for (int step = 0; step < 30; ++step) {
    const int64_t length = 1 + random() % (300 * kKiB);
    const int64_t got = readPattern(*client, position, length);
    ASSERT_EQ(got, std::min(length, kSize - position));
    position += got;
    int64_t target = 0;
    switch (random() % 3) {
      case 0: target = std::max<int64_t>(0, position - static_cast<int64_t>(random() % (512 * kKiB))); break;
      case 1: target = std::min(kSize, position + static_cast<int64_t>(random() % (256 * kKiB))); break;
      default: target = static_cast<int64_t>(random() % kSize); break;
    }
    ASSERT_EQ(client->seek(target, SEEK_SET, -1), target);
    position = target;
  }
  done = true;
  poller.join();
  EXPECT_GT(statusCalls.load(), 0);
  EXPECT_GT(server_.requestCount(), 2u);
}

}  // namespace
}  // namespace zan
