// The HTTP client against a loopback server: the header protocol, seeks
// from the buffer or with a new request (told apart by the server's request
// count), hostile servers, and close releasing every waiter.
#include <gtest/gtest.h>

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

using test::readPattern;
using test::patternResource;
using test::RouteOptions;
using test::TestHttpServer;
using Clock = std::chrono::steady_clock;

// A hung server is given up after 2 s here, not 30 s (unless the
// environment says otherwise already).
[[maybe_unused]] const bool kShortTimeouts = setenv("ZAN_NETWORK_TIMEOUT_MS", "2000", 0) == 0;

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * 1024;

class Events {
 public:
  static void callback(ConnectionEvent::ConnectionEvent event, void* self) {
    auto* events = static_cast<Events*>(self);
    std::lock_guard<std::mutex> lock(events->mutex_);
    events->events_.push_back(event);
  }
  void attach(HTTPClient& client) {
    client.connectionEventUserData = this;
    client.connectionEventCallback = &Events::callback;
  }
  bool waitForAny(int timeoutMs = 10000) {
    return test::waitFor([this] { return !list().empty(); }, std::chrono::milliseconds(timeoutMs));
  }
  std::vector<ConnectionEvent::ConnectionEvent> list() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::vector<ConnectionEvent::ConnectionEvent> events_;
};

// Waits until the client holds at least |bytes| ahead of its reader.
bool waitForBuffered(HTTPClient& client, int64_t bytes) {
  return test::waitFor([&] { return client.getAvailableBytes() >= bytes; }, std::chrono::seconds(10));
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class HTTPClientTest : public ::testing::Test {
 protected:
  // |events| are attached after open, as the input does (an event raised
  // before is delivered by the attachment).
  std::unique_ptr<HTTPClient> openClient(const std::string& path, unsigned bufferSize = 0xA00000,
                                         unsigned historySize = 0x200000, Events* events = nullptr) {
    auto client = std::make_unique<HTTPClient>(bufferSize, historySize);
    host::ErrorRecord error;
    EXPECT_TRUE(client->open(server_.url(path), &error)) << error.getMessage();
    if (events != nullptr) events->attach(*client);
    return client;
  }

  TestHttpServer server_;
};

// The end of a download is told once; the status then shows the history
// window behind the reader, and close ends everything.
TEST_F(HTTPClientTest, CompleteDownloadIsToldAndCloseEndsTheClient) {
  server_.addResource("/whole", patternResource(3 * kMiB));
  Events events;
  auto client = openClient("/whole", 0xA00000, 0x200000, &events);
  ASSERT_EQ(readPattern(*client, 0, 4 * kMiB), 3 * kMiB);
  ASSERT_TRUE(events.waitForAny());
  EXPECT_EQ(events.list(), std::vector<ConnectionEvent::ConnectionEvent>{ConnectionEvent::END_OF_FILE_RECEIVED});
  uint8_t byte = 0;
  EXPECT_EQ(client->read(&byte, 1), 0);
  int64_t position = -1, historyStart = -1, end = -1, length = -1;
  ASSERT_TRUE(client->getBufferStatus(position, historyStart, end, length));
  EXPECT_EQ(position, 3 * kMiB);
  EXPECT_EQ(historyStart, kMiB);
  EXPECT_EQ(end, 3 * kMiB);
  EXPECT_EQ(length, 3 * kMiB);
  client->close();
  EXPECT_EQ(client->read(&byte, 1), -1);
  EXPECT_EQ(client->seek(0, SEEK_SET, -1), -1);
  EXPECT_FALSE(client->getBufferStatus(position, historyStart, end, length));
  EXPECT_FALSE(client->isSeekable());
}

// A download that ends before its user registers for events (a short one
// often ends inside open) is still reported, once, by the assignment that
// completes the registration, whichever of the two members comes last.
TEST_F(HTTPClientTest, EventBeforeRegistrationIsDeliveredOnRegistration) {
  server_.addResource("/small", patternResource(1000));
  for (bool callbackFirst : {false, true}) {
    SCOPED_TRACE(callbackFirst);
    auto client = openClient("/small");
    ASSERT_EQ(readPattern(*client, 0, 2000), 1000);  // the download has ended
    Events events;
    if (callbackFirst) {
      client->connectionEventCallback = &Events::callback;
      EXPECT_TRUE(events.list().empty());
      client->connectionEventUserData = &events;
    } else {
      client->connectionEventUserData = &events;
      EXPECT_TRUE(events.list().empty());
      client->connectionEventCallback = &Events::callback;
    }
    EXPECT_EQ(events.list(), std::vector<ConnectionEvent::ConnectionEvent>{ConnectionEvent::END_OF_FILE_RECEIVED});
    client->connectionEventCallback = &Events::callback;  // registering again repeats nothing
    EXPECT_EQ(events.list().size(), 1u);
    EXPECT_EQ(client->connectionEventCallback.load(), &Events::callback);
  }
}

// The duration and forced-extension headers are the input's description
// rows; the streaming mode is read here, and seeking can be switched off.
TEST_F(HTTPClientTest, StreamingHeaderAndDisabledSeeking) {
  server_.addResource("/indirect", patternResource(1000), RouteOptions{.headers = {{"Zan-Streaming", "indirect"}}});
  server_.addResource("/direct", patternResource(1000), RouteOptions{.headers = {{"Zan-Streaming", "direct"}}});
  for (bool indirect : {true, false}) {
    auto client = openClient(indirect ? "/indirect" : "/direct");
    EXPECT_EQ(client->isIndirectStreaming(), indirect);
    EXPECT_EQ(client->getContentLength(), 1000);
    EXPECT_TRUE(client->isSeekable());
    client->disableSeeking();
    EXPECT_FALSE(client->isSeekable());
  }
}

TEST_F(HTTPClientTest, SizeQueryRelativeAndEndSeeks) {
  server_.addResource("/file", patternResource(kMiB));
  server_.addResource("/nolength", patternResource(kMiB), RouteOptions{.sendContentLength = false});
  Events events;
  auto client = openClient("/file", 0xA00000, 0x200000, &events);
  ASSERT_TRUE(events.waitForAny());  // all of it is in the buffer
  ASSERT_EQ(server_.requestCount(), 2u);
  ASSERT_EQ(readPattern(*client, 0, 1000), 1000);

  EXPECT_EQ(client->seek(0, HTTPClient::kSeekSize, -1), kMiB);
  EXPECT_EQ(client->seek(-1001, SEEK_CUR, -1), -1);
  EXPECT_EQ(client->seek(0, SEEK_CUR, -1), 1000);
  EXPECT_EQ(client->seek(5000, SEEK_CUR, -1), 6000);
  EXPECT_EQ(server_.requestCount(), 2u);
  // SEEK_END is never served from the buffer, even with every byte there.
  EXPECT_EQ(client->seek(-1000, SEEK_END, -1), kMiB - 1000);
  EXPECT_EQ(server_.requestCount(), 3u);
  EXPECT_EQ(readPattern(*client, kMiB - 1000, 5000), 1000);

  auto unknown = openClient("/nolength");
  EXPECT_EQ(unknown->getContentLength(), 0);
  EXPECT_EQ(unknown->seek(0, HTTPClient::kSeekSize, -1), -1);
  EXPECT_EQ(unknown->seek(-1, SEEK_END, -1), -1);
}

TEST_F(HTTPClientTest, ForwardSeekWaitsForNearBytesAndRequestsFarOnes) {
  server_.addResource("/slow", patternResource(16 * kMiB), RouteOptions{.bytesPerSecond = kMiB});
  auto client = openClient("/slow");
  ASSERT_TRUE(waitForBuffered(*client, 64 * kKiB));
  ASSERT_EQ(server_.requestCount(), 2u);

  int64_t target = client->getAvailableBytes() + 512 * kKiB;
  const auto start = Clock::now();
  EXPECT_EQ(client->seek(target, SEEK_SET, -1), target);
  EXPECT_GT(secondsSince(start), 0.2);  // it waited for the download
  EXPECT_EQ(server_.requestCount(), 2u);
  EXPECT_EQ(readPattern(*client, target, 10000), 10000);

  target = client->seek(0, SEEK_CUR, -1) + client->getAvailableBytes() + 2 * kMiB;
  EXPECT_EQ(client->seek(target, SEEK_SET, -1), target);
  EXPECT_EQ(server_.requestCount(), 3u);
  EXPECT_EQ(readPattern(*client, target, 10000), 10000);
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
    int64_t position = 0, historyStart = 0, end = 0, reported = 0;
    ASSERT_TRUE(client->getBufferStatus(position, historyStart, end, reported));
    EXPECT_EQ(position, target + 100000);
    EXPECT_EQ(reported, length);
  }
}

TEST_F(HTTPClientTest, TimeSeekGoesToTheServer) {
  // A small ring: the download stops well before 3 MiB.
  server_.addResource("/timed", patternResource(4 * kMiB), RouteOptions{.zanSeek = true});
  auto client = openClient("/timed", kMiB, 256 * kKiB);
  EXPECT_EQ(client->seek(3 * kMiB, SEEK_SET, 2500), 3 * kMiB);
  EXPECT_EQ(server_.requestCount(), 3u);
  // The server answered from 2 s (2000 bytes at 1000 bytes per second); the
  // client hands those bytes out from the offset it was asked for.
  EXPECT_EQ(readPattern(*client, 2000, 1000), 1000);
  EXPECT_EQ(client->seek(0, SEEK_CUR, -1), 3 * kMiB + 1000);
}

// Servers that misbehave, one row each: whether open succeeds, where a
// seek lands and how many requests it takes, where reading ends (every
// byte checked), which event ends the download, and the time all of it
// (close included) may take. The time-outs are shortened for the test.
TEST_F(HTTPClientTest, HostileServersAreSurvivedWithinBounds) {
  constexpr int kNone = -1;
  const int64_t kSize = 4 * kMiB;
  const int timeoutMs = stallTimeoutMs();
  const RouteOptions noRanges{.acceptRanges = false, .honourRange = false};
  struct Row {
    const char* name;
    RouteOptions options;
    int64_t size;
    bool redirectWithoutLocation;
    bool opens;
    int64_t readFirst;    // bytes read before the seek
    int64_t seekTo;       // kNone: no seek
    bool seekSucceeds;
    size_t seekRequests;  // requests the seek made
    int64_t endsAt;       // where reading stops
    ConnectionEvent::ConnectionEvent event;
  };
  const ConnectionEvent::ConnectionEvent kEnd = ConnectionEvent::END_OF_FILE_RECEIVED;
  const ConnectionEvent::ConnectionEvent kBroken = ConnectionEvent::BROKEN_STREAM;
  const int kSilence = 30 * timeoutMs;
  // No row sends a valid duration (the last two send broken ones).
  const std::vector<Row> rows{
      {"/no-headers", RouteOptions{.stallBeforeHeadersMs = kSilence}, kSize, false, false, 0, kNone, false, 0, 0, kEnd},
      {"/redirect-without-location", {}, kSize, true, false, 0, kNone, false, 0, 0, kEnd},
      {"/stall-mid-body", RouteOptions{.stallAfterBytes = kMiB, .stallAfterMs = kSilence}, kSize, false, true, 0, kNone, false, 0, kMiB,
       kBroken},
      {"/ranges-ignored-seek-back", noRanges, 200000, false, true, 200000, 6000, true, 0, 200000, kEnd},
      // Beyond the ring: what lies between is passed over.
      {"/ranges-ignored-seek-ahead", noRanges, kSize, false, true, 1000, kSize - 1000, true, 0, kSize, kEnd},
      {"/206-without-content-range", RouteOptions{.sendContentRange = false}, kSize, false, true, 1000, kSize - 1000,
       false, 2, kSize, kEnd},
      {"/206-from-later", RouteOptions{.contentRangeShift = 4096}, kSize, false, true, 1000, kSize - 1000, false, 2, kSize,
       kEnd},
      {"/206-from-earlier", RouteOptions{.contentRangeShift = -4096}, kSize, false, true, 1000, kSize - 1000, true, 1,
       kSize, kEnd},
      {"/416-past-the-end", {}, kSize, false, true, 1000, kSize + 1000, false, 2, kSize, kEnd},
      {"/negative-duration", RouteOptions{.headers = {{"Zan-Stream-Duration", "-1"}}}, 1000, false, true, 0, kNone,
       false, 0, 1000, kEnd},
      {"/overflowing-duration", RouteOptions{.headers = {{"Zan-Stream-Duration", "4294967296"}}}, 1000, false, true, 0,
       kNone, false, 0, 1000, kEnd},
  };

  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.redirectWithoutLocation) {
      server_.addRedirect(row.name, "");
    } else {
      server_.addResource(row.name, patternResource(row.size), row.options);
    }
    // Bounds that only a hang breaks, loose enough for sanitizer builds on
    // a loaded machine: a stalling server must be given up on (a time-out
    // fires), nothing else may wait for one.
    const bool stalls = row.options.stallBeforeHeadersMs > 0 || row.options.stallAfterBytes >= 0;
    const int boundMs = stalls ? 4 * timeoutMs + 4000 : 15000;
    const auto start = Clock::now();
    // A 1 MiB ring keeps the download from running far ahead, so a seek
    // near the end always goes to the server.
    HTTPClient client(kMiB, 256 * kKiB);
    host::ErrorRecord error;
    ASSERT_EQ(client.open(server_.url(row.name), &error), row.opens);
    if (row.opens) {
      Events events;
      events.attach(client);
      EXPECT_EQ(client.getStreamDuration(), 0u);
      int64_t position = readPattern(client, 0, row.readFirst);
      ASSERT_EQ(position, row.readFirst);
      if (row.seekTo != kNone) {
        const size_t before = server_.requestCount();
        const int64_t result = client.seek(row.seekTo, SEEK_SET, -1);
        EXPECT_EQ(result, row.seekSucceeds ? row.seekTo : -1);
        if (result >= 0) position = result;
        EXPECT_EQ(server_.requestCount() - before, row.seekRequests);
      }
      // A failed seek leaves the reader where it was and the download
      // going: reading goes on from there.
      EXPECT_EQ(position + readPattern(client, position, 2 * kSize), row.endsAt);
      ASSERT_TRUE(events.waitForAny(boundMs));
      EXPECT_EQ(events.list().front(), row.event);
    } else {
      EXPECT_EQ(error.getCode(), 2);
    }
    client.close();
    EXPECT_LT(secondsSince(start) * 1000, boundMs);
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
    std::atomic<int64_t> result{-2};
    std::thread thread;
    if (seek) {
      ASSERT_TRUE(waitForBuffered(*client, 1));
      const int64_t target = client->getAvailableBytes() + 512 * kKiB;
      thread = std::thread([&, target] { result = client->seek(target, SEEK_SET, -1); });
    } else {
      ASSERT_TRUE(waitForBuffered(*client, 256 * kKiB - 64 * kKiB - 1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(result.load(), -2);
    const auto start = Clock::now();
    EXPECT_TRUE(client->close());
    if (thread.joinable()) thread.join();
    EXPECT_LT(secondsSince(start), 2.0);
    EXPECT_EQ(result.load(), seek ? -1 : -2);
  }
}

// The decoder thread reads and seeks at random (inside the buffer, back in
// the history, far ahead with requests) while another thread keeps asking
// for the buffer status; every byte read is checked.
TEST_F(HTTPClientTest, ReadsAndSeeksFromManyThreadsStayExact) {
  constexpr int64_t kSize = 6 * kMiB;
  server_.addResource("/file", patternResource(kSize), RouteOptions{.bytesPerSecond = 8 * kMiB});
  auto client = openClient("/file", 2 * kMiB, 512 * kKiB);
  std::atomic<bool> done{false};
  std::atomic<int64_t> statusCalls{0};
  std::thread poller([&] {
    while (!done) {
      int64_t a, b, c, d;
      if (client->getBufferStatus(a, b, c, d) && (b > a || c < a || d != kSize)) {
        ADD_FAILURE() << "bad status";
      }
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
