// The input plug-in playing media over HTTP from a real server on loopback:
// the same frames as the same file played locally, seeks, download events,
// buffer status and the open failures of the network path.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/records/Records.h"
#include "input/FFMpegInput.h"
#include "support/NetworkTimeouts.h"
#include "tests/common/FrameReading.h"
#include "tests/common/TestMedia.h"
#include "tests/common/TestSupport.h"
#include "tests/network/TestHttpServer.h"

namespace zan::streamer {
namespace {

using host::ErrorRecord;
using host::Medium;
using test::Media;
using test::mediaPath;

using Frame = test::ReadFrame;

// A hung server is given up after 2 s here, not 30 s (unless the
// environment says otherwise already).
[[maybe_unused]] const bool kShortTimeouts = setenv("ZAN_NETWORK_TIMEOUT_MS", "2000", 0) == 0;

std::vector<Frame> readAll(FFMpegInput& input, size_t limit = SIZE_MAX) { return test::readFrames(input, limit); }

std::vector<Frame> ofType(const std::vector<Frame>& frames, PACKETTYPE type) { return test::framesOfType(frames, type); }

std::vector<Frame> playLocally(Media media, uint64_t seekMs = 0) {
  FFMpegInput input;
  Medium medium(mediaPath(media));
  ErrorRecord error;
  if (!input.open(&medium, &error)) return {};
  input.start();
  if (seekMs) input.setTimePosition(seekMs);
  return readAll(input);
}

struct EventLog {
  std::mutex mutex;
  std::vector<InputEvent::InputEvent> events;
  static void record(InputEvent::InputEvent event, int a, int b, void* self) {
    auto* log = static_cast<EventLog*>(self);
    std::lock_guard<std::mutex> guard(log->mutex);
    if (a == 0 && b == 0) log->events.push_back(event);
  }
  std::vector<InputEvent::InputEvent> get() {
    std::lock_guard<std::mutex> guard(mutex);
    return events;
  }
};

class HttpInputTest : public ::testing::Test {
 protected:
  std::string serve(Media media, test::RouteOptions options = {}) {
    const test::MediaRecipe& recipe = test::mediaRecipe(media);
    const std::string path = "/media/" + recipe.name + "." + recipe.extension;
    server_.addResource(path, test::fileResource(mediaPath(media)), options);
    return server_.url(path);
  }
  test::TestHttpServer server_;
};

// Frame by frame equal per stream in count and size; times equal within
// |toleranceUs| (an MP3 stream is timed by counting samples over HTTP).
void expectSameFrames(const std::vector<Frame>& local, const std::vector<Frame>& remote, uint64_t toleranceUs,
                      const char* what) {
  for (PACKETTYPE type : {PACKET_AUDIO, PACKET_VIDEO}) {
    const auto a = ofType(local, type);
    const auto b = ofType(remote, type);
    ASSERT_EQ(a.size(), b.size()) << what << " type " << type;
    for (size_t i = 0; i < a.size(); ++i) {
      EXPECT_EQ(a[i].size, b[i].size) << what << " frame " << i;
      const double difference = std::fabs(static_cast<double>(a[i].time) - static_cast<double>(b[i].time));
      EXPECT_LE(difference, static_cast<double>(toleranceUs)) << what << " frame " << i;
    }
  }
}

TEST_F(HttpInputTest, RemotePlaybackMatchesLocalPlayback) {
  struct Case {
    Media media;
    uint64_t toleranceUs;
  } cases[] = {{Media::kFlvSorensonMp3, 0}, {Media::kMp3Audio, 30000}, {Media::kMkvH264Vorbis, 0}};
  for (const Case& c : cases) {
    const std::string what = test::mediaRecipe(c.media).name;
    const auto local = playLocally(c.media);
    ASSERT_FALSE(local.empty()) << what;
    FFMpegInput input;
    Medium medium(serve(c.media));
    ErrorRecord error;
    ASSERT_TRUE(input.open(&medium, &error)) << what << ": " << error.getMessage();
    input.start();
    expectSameFrames(local, readAll(input), c.toleranceUs, what.c_str());
  }
}

TEST_F(HttpInputTest, ThrottledDownloadGivesTheSameFrames) {
  test::RouteOptions slow;
  slow.bytesPerSecond = 400000;
  const auto local = playLocally(Media::kFlvSorensonMp3);
  FFMpegInput input;
  Medium medium(serve(Media::kFlvSorensonMp3, slow));
  ErrorRecord error;
  ASSERT_TRUE(input.open(&medium, &error)) << error.getMessage();
  input.start();
  expectSameFrames(local, readAll(input), 0, "throttled flv");
}

// A seek from the start, and one back to the middle after the whole medium
// has been read from a server without ranges (Python's http.server, say):
// those bytes come from the download's buffer, without a request.
TEST_F(HttpInputTest, SeekInTheMiddleLandsAtTheTarget) {
  const test::RouteOptions noRanges = test::RouteOptions().withoutAcceptRanges().ignoringRange();
  struct Case {
    Media media;
    test::RouteOptions options;
    size_t readFirst;  // frames read before the seek
  } cases[] = {{Media::kFlvSorensonMp3, {}, 20},
               {Media::kMkvH264Vorbis, {}, 20},
               {Media::kFlvSorensonMp3, noRanges, SIZE_MAX}};
  for (const Case& c : cases) {
    const std::string what = test::mediaRecipe(c.media).name + (c.options.honourRange ? "" : " without ranges");
    server_.clearRequests();
    FFMpegInput input;
    Medium medium(serve(c.media, c.options));
    ErrorRecord error;
    ASSERT_TRUE(input.open(&medium, &error)) << what;
    input.start();
    ASSERT_FALSE(readAll(input, c.readFirst).empty()) << what;
    const size_t requests = server_.requestCount();
    ASSERT_EQ(input.setTimePosition(2000), PLUGIN_OK) << what;
    const auto after = readAll(input);
    ASSERT_FALSE(after.empty()) << what;
    for (const Frame& frame : after) {
      EXPECT_GE(frame.time, 2000000u) << what;
      EXPECT_LE(frame.time, 8000000u) << what;
    }
    if (!c.options.honourRange) {
      EXPECT_EQ(server_.requestCount(), requests) << what;
    }
    // The same seek on the local file delivers the same video frames.
    const auto local = ofType(playLocally(c.media, 2000), PACKET_VIDEO);
    const auto remote = ofType(after, PACKET_VIDEO);
    ASSERT_FALSE(remote.empty()) << what;
    EXPECT_EQ(local.size(), remote.size()) << what;
    ASSERT_FALSE(local.empty()) << what;
    EXPECT_EQ(local.front().time, remote.front().time) << what;
  }
}

// A seek that fails (past the end) leaves the stream where it was: the
// frames read before and after it are those of a playback without it.
TEST_F(HttpInputTest, FailedSeekLeavesTheStreamUsable) {
  for (Media media : {Media::kFlvSorensonMp3, Media::kMkvH264Vorbis}) {
    const std::string what = test::mediaRecipe(media).name;
    FFMpegInput input;
    Medium medium(serve(media));
    ErrorRecord error;
    ASSERT_TRUE(input.open(&medium, &error)) << what;
    input.start();
    auto frames = readAll(input, 20);
    ASSERT_EQ(frames.size(), 20u) << what;
    EXPECT_EQ(input.setTimePosition(600000), PLUGIN_FAILED) << what;
    const auto rest = readAll(input);
    frames.insert(frames.end(), rest.begin(), rest.end());
    expectSameFrames(playLocally(media), frames, 0, what.c_str());
  }
}

// A server that never answers, or stops sending part-way, is given up
// after the network limit (shortened here) on both paths: the library's
// own client (FLV) and FFmpeg's HTTP (MPEG-TS, MP4). Open fails, or the
// frames that arrived are delivered and then the end; nothing hangs.
TEST_F(HttpInputTest, HungServersAreGivenUpOnBothPaths) {
  const int limitMs = stallTimeoutMs();
  struct Case {
    Media media;
    const char* extension;
    bool stallMidBody;  // else no response headers at all
    bool opens;
    int boundMs;        // open, reading and close together; loose enough for sanitizers, the stall outlasts it
  } cases[] = {
      {Media::kMp4H264Aac, "mp4", false, false, 4 * limitMs + 4000},
      {Media::kFlvSorensonMp3, "flv", false, false, 4 * limitMs + 4000},
      {Media::kMpegTsH264Aac, "ts", true, true, 6 * limitMs + 4000},
      {Media::kFlvSorensonMp3, "flv", true, true, 4 * limitMs + 4000},
  };
  for (const Case& c : cases) {
    const std::string path = mediaPath(c.media);
    const int64_t size = static_cast<int64_t>(test::readFile(path).size());
    const std::string what = std::string(c.extension) + (c.stallMidBody ? " stalling mid-body" : " without headers");
    const std::string url = "/hung/" + std::to_string(c.stallMidBody) + "." + c.extension;
    test::RouteOptions options;
    if (c.stallMidBody) {
      options.stallingAfter(size / 2, 30 * limitMs);
    } else {
      options.stallingFor(30 * limitMs);
    }
    server_.addResource(url, test::fileResource(path), options);
    const auto start = std::chrono::steady_clock::now();
    {
      FFMpegInput input;
      Medium medium(server_.url(url));
      ErrorRecord error;
      ASSERT_EQ(input.open(&medium, &error), c.opens) << what;
      if (c.opens) {
        input.start();
        const auto frames = readAll(input);
        EXPECT_FALSE(frames.empty()) << what;
        EXPECT_LT(frames.size(), playLocally(c.media).size()) << what;
      } else {
        EXPECT_NE(error.getCode(), 0) << what;
      }
      input.close();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(c.boundMs)) << what;
  }
}

TEST_F(HttpInputTest, DownloadEventsAndBufferStatus) {
  {
    EventLog log;
    FFMpegInput input;
    input.setInputEventCallback(&EventLog::record, &log);
    Medium medium(serve(Media::kFlvSorensonMp3));
    ErrorRecord error;
    ASSERT_TRUE(input.open(&medium, &error));
    input.start();
    unsigned readPosition = 0, historyStart = 0, bufferedEnd = 0, contentLength = 0;
    EXPECT_TRUE(input.getInputBufferStatus(readPosition, historyStart, bufferedEnd, contentLength));
    EXPECT_EQ(contentLength, static_cast<unsigned>(test::readFile(mediaPath(Media::kFlvSorensonMp3)).size()));
    EXPECT_LE(historyStart, readPosition);
    EXPECT_LE(readPosition, bufferedEnd);
    readAll(input);
    ASSERT_TRUE(test::waitFor([&] { return !log.get().empty(); }, std::chrono::seconds(10)));
    EXPECT_EQ(log.get(), std::vector<InputEvent::InputEvent>{InputEvent::INPUT_END_OF_FILE});
  }
  {
    EventLog log;
    test::RouteOptions cut;
    cut.cutAfterBytes = 20000;
    FFMpegInput input;
    input.setInputEventCallback(&EventLog::record, &log);
    Medium medium(serve(Media::kMkvH264Vorbis, cut));
    ErrorRecord error;
    ASSERT_TRUE(input.open(&medium, &error));
    input.start();
    readAll(input);  // what arrived is still delivered, then the end
    ASSERT_TRUE(test::waitFor([&] { return !log.get().empty(); }, std::chrono::seconds(10)));
    EXPECT_EQ(log.get().front(), InputEvent::INPUT_BROKEN_STREAM);
  }
}

TEST_F(HttpInputTest, ServerThatCannotSeekMakesTheMediumUnseekable) {
  test::RouteOptions noRanges;
  noRanges.acceptRanges = false;
  FFMpegInput input;
  Medium medium(serve(Media::kFlvSorensonMp3, noRanges));
  ErrorRecord error;
  ASSERT_TRUE(input.open(&medium, &error));
  Medium described;
  input.getMediumDescription(&described);
  EXPECT_FALSE(described.isSeekable());
  EXPECT_GT(described.getDuration(), 0u);
}

TEST_F(HttpInputTest, ZanHeadersOverrideDurationAndExtension) {
  test::RouteOptions zan;
  zan.headers = {{"Zan-Stream-Duration", "98765"}, {"Zan-Force-Extension", "flv"}};
  // An FLV served under a name whose extension says "mkv": the forced
  // extension decides the format.
  server_.addResource("/clip.mkv", test::fileResource(mediaPath(Media::kFlvSorensonMp3)), zan);
  FFMpegInput input;
  Medium medium(server_.url("/clip.mkv"));
  ErrorRecord error;
  ASSERT_TRUE(input.open(&medium, &error)) << error.getMessage();
  Medium described;
  input.getMediumDescription(&described);
  EXPECT_EQ(described.getDuration(), 98765u);
  host::StreamDescription stored;
  input.getInputStreamDescription(&stored);
  EXPECT_STREQ(stored.getFormat(), "flv");
}

// HTTPS on loopback with a certificate made for the test (127.0.0.1,
// self-signed): Python's HTTP server behind its TLS layer, serving the
// files of a folder and logging every request it reads.
class TlsServer {
 public:
  explicit TlsServer(const std::vector<std::pair<std::string, Media>>& files) {
    for (const auto& [name, media] : files) test::writeFile(folder_.file(name), test::readFile(mediaPath(media)));
    const test::ProcessResult made = test::runProcess(
        {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
         "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", folder_.file("key.pem"), "-out", certificate()},
        std::chrono::seconds(30));
    if (made.exitCode != 0) throw std::runtime_error("openssl req failed: " + made.err);
    test::writeFile(folder_.file("serve.py"),
                    "import functools, http.server, ssl, sys\n"
                    "folder = sys.argv[1]\n"
                    "handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=folder)\n"
                    "server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), handler)\n"
                    "context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)\n"
                    "context.load_cert_chain(folder + '/cert.pem', folder + '/key.pem')\n"
                    "server.socket = context.wrap_socket(server.socket, server_side=True)\n"
                    "print(server.server_address[1], flush=True)\n"
                    "server.serve_forever()\n");
    child_ = fork();
    if (child_ == 0) {
      if (!freopen(folder_.file("port").c_str(), "w", stdout) || !freopen(log().c_str(), "w", stderr)) _exit(127);
      execlp("python3", "python3", folder_.file("serve.py").c_str(), folder_.path().c_str(), nullptr);
      _exit(127);
    }
    if (!test::waitFor([&] { return test::readFile(folder_.file("port")).find('\n') != std::string::npos; },
                       std::chrono::seconds(20)))
      throw std::runtime_error("the TLS server did not start: " + test::readFile(log()));
    port_ = std::stoi(test::readFile(folder_.file("port")));
  }
  ~TlsServer() {
    kill(child_, SIGTERM);
    waitpid(child_, nullptr, 0);
  }
  std::string url(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(port_) + path; }
  std::string certificate() const { return folder_.file("cert.pem"); }
  // What the server logged: a request line for every request it read.
  std::string log() const { return folder_.file("requests.log"); }

 private:
  test::TemporaryFolder folder_;
  pid_t child_ = -1;
  int port_ = 0;
};

// Every open failure keeps the engine's code and message and says why
// after it, on both paths: the plug-in's own HTTP client (flv) and FFmpeg's
// own HTTP (mp4).
TEST_F(HttpInputTest, OpenFailuresSayWhy) {
  test::TestHttpServer closed;
  const std::string refused = closed.url("/gone");
  closed.stop();
  for (const char* extension : {".flv", ".mp4"}) {
    server_.addRedirect(std::string("/loop-a") + extension, std::string("/loop-b") + extension);
    server_.addRedirect(std::string("/loop-b") + extension, std::string("/loop-a") + extension);
  }
  server_.addResource("/noise.mp4", test::fileResource(mediaPath(Media::kRandomBytes)));
  TlsServer tls({{"clip.mp4", Media::kMp4H264Aac}, {"clip.flv", Media::kFlvSorensonMp3}});

  const char* const unreachable = "FFMpeg input: URL could not be reached.";
  const char* const notRendered = "FFMpeg input: File could not be rendered.";
  struct Row {
    std::string url;
    int code;
    const char* message;
    const char* cause;
  };
  const std::vector<Row> rows{
      {server_.url("/missing.flv"), 404, unreachable, "HTTP 404"},
      {server_.url("/missing.mp4"), 2, notRendered, "HTTP 404"},
      {refused + ".flv", 404, unreachable, "connection refused"},
      {refused + ".mp4", 2, notRendered, "connection refused"},
      {server_.url("/loop-a.flv"), 404, unreachable, "redirect loop"},
      {server_.url("/loop-a.mp4"), 2, notRendered, "redirect loop"},
      {server_.url("/noise.mp4"), 2, notRendered, "not a media stream"},
      {tls.url("/clip.flv"), 404, unreachable, "certificate not trusted"},
      {tls.url("/clip.mp4"), 2, notRendered, "certificate not trusted"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.url);
    FFMpegInput input;
    Medium medium(row.url);
    ErrorRecord error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(input.open(&medium, &error));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(error.getCode(), row.code);
    EXPECT_EQ(std::string(error.getMessage()), std::string(row.message) + " (" + row.cause + ")");
  }
  // Nothing was asked of the server that nobody trusts.
  EXPECT_EQ(test::readFile(tls.log()).find("\"GET "), std::string::npos) << test::readFile(tls.log());
}

TEST_F(HttpInputTest, TrustedCertificatePlaysOverHttps) {
  // Media read front to back: the server answers no ranges.
  TlsServer tls({{"clip.ts", Media::kMpegTsH264Aac}, {"clip.flv", Media::kFlvSorensonMp3}});
  const test::ScopedEnvironment trust("SSL_CERT_FILE", tls.certificate());
  for (const auto& [path, media] : {std::pair{"/clip.ts", Media::kMpegTsH264Aac}, {"/clip.flv", Media::kFlvSorensonMp3}}) {
    SCOPED_TRACE(path);
    FFMpegInput input;
    Medium medium(tls.url(path));
    ErrorRecord error;
    ASSERT_TRUE(input.open(&medium, &error)) << error.getMessage();
    input.start();
    EXPECT_EQ(ofType(readAll(input), PACKET_VIDEO).size(), ofType(playLocally(media), PACKET_VIDEO).size());
  }
}

// An input whose download-event handling on the network thread waits, at
// the buffer-status query, until the tear-down of the input has begun (the
// client is stopped first thing in every tear-down).
class EventDuringTearDown : public FFMpegInput {
 public:
  using FFMpegInput::failOpen;
  std::atomic<bool> entered{false};

  bool getInputBufferStatus(unsigned& readPosition, unsigned& historyStart, unsigned& bufferedEnd,
                            unsigned& contentLength) override {
    if (std::this_thread::get_id() != owner_ && !entered.exchange(true)) {
      HTTPClient* client = httpClient_.get();
      int64_t a = 0, b = 0, c = 0, d = 0;
      test::waitFor([&] { return !client->getBufferStatus(a, b, c, d); }, std::chrono::seconds(10));
    }
    return FFMpegInput::getInputBufferStatus(readPosition, historyStart, bufferedEnd, contentLength);
  }

 private:
  const std::thread::id owner_ = std::this_thread::get_id();
};

TEST_F(HttpInputTest, FailedOpenTearsDownWhileTheEndOfTheDownloadIsReported) {
  EventDuringTearDown input;
  Medium medium(serve(Media::kFlvSorensonMp3));
  ErrorRecord error;
  ASSERT_TRUE(input.open(&medium, &error)) << error.getMessage();
  ASSERT_TRUE(test::waitFor([&] { return input.entered.load(); }, std::chrono::seconds(10)));
  auto tearDown = std::async(std::launch::async, [&] {
    ErrorRecord failure;
    input.failOpen(&failure, -1);
  });
  if (tearDown.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    // Neither side can ever move again: end the program with the reason.
    std::fprintf(stderr, "FAILED: the tear-down and the network thread wait for each other\n");
    std::_Exit(1);
  }
  readAll(input);
}

// A medium served under an extension whose forced format cannot read it:
// the download does not feed the core, FFmpeg opens the URL itself, and a
// reset must not purge the medium by the idle download's counters.
TEST_F(HttpInputTest, ResetAfterFFmpegOpenedTheUrlItselfKeepsTheMedium) {
  server_.addResource("/clip.fll", test::fileResource(mediaPath(Media::kMkvH264Vorbis)));
  FFMpegInput input;
  Medium medium(server_.url("/clip.fll"));
  ErrorRecord error;
  ASSERT_TRUE(input.open(&medium, &error)) << error.getMessage();
  unsigned a = 0, b = 0, c = 0, d = 0;
  EXPECT_FALSE(input.getInputBufferStatus(a, b, c, d));
  input.start();
  readAll(input, 10);
  ASSERT_EQ(input.resetPosition(1000), PLUGIN_OK);
  const auto video = ofType(readAll(input), PACKET_VIDEO);
  const auto local = ofType(playLocally(Media::kMkvH264Vorbis), PACKET_VIDEO);
  ASSERT_FALSE(video.empty());
  ASSERT_FALSE(local.empty());
  EXPECT_EQ(video.back().time, local.back().time);
  EXPECT_GT(video.size(), local.size() / 2);
}

TEST_F(HttpInputTest, ResetPositionPurgesTheBacklogAndReadsOn) {
  FFMpegInput input;
  Medium medium(serve(Media::kMkvH264Vorbis));
  ErrorRecord error;
  ASSERT_TRUE(input.open(&medium, &error));
  input.start();
  readAll(input, 10);
  EXPECT_EQ(input.resetPosition(3000), PLUGIN_OK);
  const auto after = readAll(input);
  for (const Frame& frame : after) EXPECT_GE(frame.time, 3000000u);
}

// Closing while the reader is blocked on a download that stalls must
// return promptly and release the reader.
TEST_F(HttpInputTest, CloseDuringAStalledDownloadReturnsPromptly) {
  test::RouteOptions slow;
  slow.bytesPerSecond = 20000;
  FFMpegInput input;
  Medium medium(serve(Media::kMkvH264Vorbis, slow));
  ErrorRecord error;
  ASSERT_TRUE(input.open(&medium, &error));
  input.start();
  std::atomic<bool> finished{false};
  std::thread reader([&] {
    readAll(input);
    finished = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  input.close();
  reader.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(finished);
}

}  // namespace
}  // namespace zan::streamer
