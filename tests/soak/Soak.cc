// Playback soak: several inputs play media at once from the loopback HTTP
// server (plain, throttled, stalling before every answer, cutting every
// answer short), with random seeks, resets and reopenings, for a given
// time. Every delivered frame is checked against the same frame of the same
// file played locally: its time must be one of the file's frame times, and
// its size and checksum those of that frame; within a run of frames (from
// an open, seek or reset to the next) no frame of a stream may be skipped,
// and a run that reaches the end must reach the file's last frame. Every
// server allows ranges, so a cut download resumes: a broken-stream event
// fails the soak.
// An input that makes no progress for kHangSeconds fails the soak, and the
// resident memory and the heap in use of the second quarter of the run and
// of the last may differ by at most kMemoryGrowthMiB.
//
//   zan_soak [--seconds N] [--inputs K] [--seed S]    (defaults 60, 5, time)
//
// Exceptions: the first four audio frames after a jump decode without the
// state the frames before them left (MDCT overlap, the MP3 bit reservoir),
// so only their time and size are checked.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/records/Records.h"
#include "input/FFMpegInput.h"
#include "tests/common/Harness.h"
#include "tests/common/TestMedia.h"
#include "tests/network/TestHttpServer.h"

namespace zan::soak {
namespace {

using streamer::FFMpegInput;
using streamer::PACKETTYPE;
using test::Frame;
using Clock = std::chrono::steady_clock;

constexpr int kHangSeconds = 60;
constexpr int64_t kMemoryGrowthMiB = 16;
constexpr int kUnsettledAudioFrames = 4;

// A 20 s clip with a key frame every second, in the container and codecs
// of |extension|. AAC without perceptual noise substitution: its noise
// comes from the decoder's random generator, whose state depends on where
// decoding began, so the same frame would differ after a seek.
struct Clip {
  const char* name;
  const char* extension;
  const char* codecs;
};
constexpr Clip kClips[] = {
    {"soak_mkv", "mkv", "-c:v libx264 -preset ultrafast -g 25 -bf 0 -pix_fmt yuv420p -c:a libvorbis -ac 2"},
    {"soak_flv", "flv", "-c:v flv -g 25 -b:v 300k -c:a libmp3lame -ac 2 -b:a 64k"},
    {"soak_mp4", "mp4", "-c:v libx264 -preset ultrafast -g 25 -bf 0 -pix_fmt yuv420p -c:a aac -aac_pns 0 -movflags +faststart"},
    {"soak_ts", "ts", "-c:v libx264 -preset ultrafast -g 25 -bf 0 -pix_fmt yuv420p -c:a aac -aac_pns 0 -f mpegts"},
};

// Every frame of a file played locally, per stream, in order.
struct Reference {
  std::string path;
  std::map<PACKETTYPE, std::vector<Frame>> frames;
  uint64_t durationMs = 0;
  // Index of the frame of |type| at |time|, or -1.
  long find(PACKETTYPE type, uint64_t time) const {
    const auto& list = frames.at(type);
    const auto at = std::lower_bound(list.begin(), list.end(), time,
                                     [](const Frame& frame, uint64_t t) { return frame.time < t; });
    return at != list.end() && at->time == time ? at - list.begin() : -1;
  }
};

Reference playLocally(const std::string& path) {
  Reference reference;
  reference.path = path;
  FFMpegInput input;
  host::Medium medium(path);
  host::ErrorRecord error;
  if (!input.open(&medium, &error)) throw std::runtime_error("cannot play " + path + ": " + error.getMessage());
  input.getMediumDescription(&medium);
  reference.durationMs = medium.getDuration();
  input.start();
  test::Frames frames = test::readFrames(input);
  reference.frames = {{streamer::PACKET_AUDIO, std::move(frames.audio)},
                      {streamer::PACKET_VIDEO, std::move(frames.video)}};
  return reference;
}

struct Totals {
  std::atomic<uint64_t> frames{0}, seeks{0}, resets{0}, reopens{0}, runsToEnd{0}, unsettled{0};
  std::atomic<int> failures{0};
};

// One input playing one route until the deadline.
class Player {
 public:
  Player(int id, const Reference& reference, std::string url, uint32_t seed, Totals& totals)
      : id_(id), reference_(reference), url_(std::move(url)), random_(seed), totals_(totals) {}

  void run(Clock::time_point deadline) {
    while (Clock::now() < deadline && totals_.failures == 0) {
      FFMpegInput input;
      host::Medium medium(url_);
      host::ErrorRecord error;
      input.setInputEventCallback(&Player::onEvent, this);
      if (!input.open(&medium, &error)) {
        fail("open failed: " + std::string(error.getMessage()));
        return;
      }
      input.start();
      newRun("open");
      // A few actions on this opening, then close and open again.
      for (int actions = pick(1, 12); actions > 0 && Clock::now() < deadline; --actions)
        if (!act(input)) break;
      input.close();
      ++totals_.reopens;
    }
  }

  int64_t lastProgressMs() const { return lastProgressMs_; }
  int id() const { return id_; }

 private:
  static void onEvent(streamer::InputEvent::InputEvent event, int, int, void* self) {
    if (event == streamer::InputEvent::INPUT_BROKEN_STREAM) static_cast<Player*>(self)->broken_ = true;
  }

  // Reads some frames, then seeks, resets, or reads to the end. False
  // when this opening is done with.
  bool act(FFMpegInput& input) {
    const bool toEnd = pick(0, 5) == 0;
    const int count = toEnd ? INT32_MAX : pick(1, 150);
    for (int i = 0; i < count; ++i) {
      const test::Frames one = test::readFrames(input, 1);
      progress();
      if (one.all.empty()) return endOfRun();
      if (!check(one.all.front().type, one.all.front())) return false;
    }
    if (pick(0, 1) == 0) {
      // Anywhere but the last key frame interval and a half, after which
      // there may be no picture to resume with.
      const int steps = static_cast<int>((reference_.durationMs - 1500) / 500);
      const uint64_t target = static_cast<uint64_t>(pick(0, steps)) * 500;
      if (input.setTimePosition(target) != streamer::PLUGIN_OK) return fail("seek refused");
      ++totals_.seeks;
      newRun("a seek to " + std::to_string(target) + " ms");
    } else {
      // As an engine resets: at the position playback stands at.
      uint64_t position = 0;
      input.getPosition(position);
      if (input.resetPosition(position) != streamer::PLUGIN_OK) return fail("reset refused");
      ++totals_.resets;
      newRun("a reset at " + std::to_string(position) + " ms");
      afterReset_ = true;
    }
    progress();
    return true;
  }

  // A run ended: it must have reached the end of the file.
  bool endOfRun() {
    bool complete = true;
    for (const auto& [type, list] : reference_.frames)
      if (!list.empty() && last_[type] != static_cast<long>(list.size()) - 1) complete = false;
    if (complete) {
      ++totals_.runsToEnd;
      return false;
    }
    // A reset drops the backlog of a download that stands ahead (all of
    // it, on loopback) and the packets far from the reset position: the
    // run may end early.
    if (afterReset_) return false;
    return fail(broken_ ? "the download broke off" : "playback ended early");
  }

  bool check(PACKETTYPE type, const Frame& frame) {
    ++totals_.frames;
    const long at = reference_.find(type, frame.time);
    char where[96];
    std::snprintf(where, sizeof where, "type %d at %llu us", static_cast<int>(type),
                  static_cast<unsigned long long>(frame.time));
    if (at < 0) return fail(std::string("no such frame in the file: ") + where);
    if (broken_) return fail("the download broke off");
    const Frame& expected = reference_.frames.at(type)[at];
    if (last_[type] >= 0 && at != last_[type] + 1) {
      return fail(std::string("frame ") + std::to_string(at) + " follows frame " + std::to_string(last_[type]) +
                  " (" + where + ", in a run after " + runStart_ + ")");
    }
    last_[type] = at;
    if (expected.size != frame.size) return fail(std::string("wrong size: ") + where);
    const bool unsettled = type == streamer::PACKET_AUDIO && unsettledAudio_ > 0;
    if (type == streamer::PACKET_AUDIO && unsettledAudio_ > 0) --unsettledAudio_;
    if (expected.checksum != frame.checksum) {
      if (!unsettled) return fail(std::string("wrong content: ") + where);
      ++totals_.unsettled;
    }
    return true;
  }

  void newRun(const std::string& start) {
    runStart_ = start;
    const bool discontinuity = start != "open";
    last_ = {{streamer::PACKET_AUDIO, -1}, {streamer::PACKET_VIDEO, -1}};
    unsettledAudio_ = discontinuity ? kUnsettledAudioFrames : 0;
    afterReset_ = false;
  }

  bool fail(const std::string& what) {
    std::fprintf(stderr, "soak: input %d (%s): %s\n", id_, url_.c_str(), what.c_str());
    ++totals_.failures;
    return false;
  }
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  void progress() {
    lastProgressMs_ =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
  }

  const int id_;
  const Reference& reference_;
  const std::string url_;
  std::mt19937 random_;
  Totals& totals_;
  std::map<PACKETTYPE, long> last_;
  int unsettledAudio_ = 0;
  bool afterReset_ = false;
  std::string runStart_;
  std::atomic<bool> broken_{false};  // the download broke off
  std::atomic<int64_t> lastProgressMs_{0};
};

int64_t residentMiB() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE) / (1024 * 1024);
}

int64_t median(std::vector<int64_t> values) {
  if (values.empty()) return 0;
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

}  // namespace
}  // namespace zan::soak

int main(int argc, char** argv) {
  using namespace zan::soak;
  int seconds = 60, inputs = 5;
  uint32_t seed = static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count());
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const long value = std::strtol(argv[i + 1], nullptr, 10);
    if (option == "--seconds") seconds = static_cast<int>(value);
    else if (option == "--inputs") inputs = static_cast<int>(value);
    else if (option == "--seed") seed = static_cast<uint32_t>(value);
    else return std::fprintf(stderr, "usage: %s [--seconds N] [--inputs K] [--seed S]\n", argv[0]), 2;
  }
  std::printf("soak: %d s, %d inputs, seed %u\n", seconds, inputs, seed);

  std::vector<Reference> references;
  try {
    for (const Clip& clip : kClips) {
      const std::string command = std::string("-f lavfi -i testsrc2=size=160x120:rate=25:duration=20 -f lavfi -i "
                                              "sine=frequency=440:sample_rate=44100:duration=20 ") + clip.codecs;
      references.push_back(playLocally(zan::test::generateMedia(clip.name, clip.extension, command)));
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "soak: %s\n", error.what());
    return 1;
  }

  // Input k plays clip k % 4 with fault k % 5: none, throttled, a stall
  // before every answer, every answer cut short (FFmpeg's own HTTP reads
  // the MPEG-TS clip and reconnects; the input's HTTP client reads the
  // others and resumes with a range), or cut and throttled.
  zan::test::TestHttpServer server;
  Totals totals;
  std::vector<std::unique_ptr<Player>> players;
  for (int k = 0; k < inputs; ++k) {
    zan::test::RouteOptions options;
    const int fault = k % 5;
    if (fault == 1 || fault == 4) options.bytesPerSecond = 400000;
    if (fault == 2) options = {.bytesPerSecond = 1000000, .stallBeforeHeadersMs = 300};
    if (fault == 3 || fault == 4) options.cutAfterBytes = 150000;
    const Reference& reference = references[k % references.size()];
    const std::string path = "/" + std::to_string(k) + "/" + reference.path.substr(reference.path.rfind('/') + 1);
    server.addResource(path, zan::test::fileResource(reference.path), options);
    players.push_back(std::make_unique<Player>(k, reference, server.url(path), seed + k, totals));
  }

  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  std::atomic<int> running{static_cast<int>(players.size())};
  for (auto& player : players)
    threads.emplace_back([&player, &running, deadline] {
      player->run(deadline);
      --running;
    });

  // Memory once a second; a player silent for kHangSeconds is a hang.
  std::vector<int64_t> memory, heap;  // MiB, resident and allocated
  int64_t peak = 0;
  // Until every input has stopped: one that hangs after the deadline is
  // caught as well.
  while (running > 0) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    server.clearRequests();  // the server's request log would grow without end
    // Free memory the allocator still holds (fragments of many threads'
    // arenas) goes back first: the growth measured is what is in use.
    malloc_trim(0);
    memory.push_back(residentMiB());
    heap.push_back(static_cast<int64_t>(mallinfo2().uordblks / (1024 * 1024)));
    peak = std::max(peak, memory.back());
    if (memory.size() % 60 == 0)
      std::printf("soak: %zu s, %llu frames checked, resident memory %lld MiB, heap in use %lld MiB\n",
                  memory.size(), static_cast<unsigned long long>(totals.frames), static_cast<long long>(memory.back()),
                  static_cast<long long>(heap.back()));
    std::fflush(stdout);
    const int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
    for (const auto& player : players) {
      if (player->lastProgressMs() != 0 && now - player->lastProgressMs() > kHangSeconds * 1000) {
        std::fprintf(stderr, "soak: input %d made no progress for %d s\n", player->id(), kHangSeconds);
        std::fflush(stderr);
        _exit(1);  // the hung thread cannot be joined
      }
    }
  }
  for (auto& thread : threads) thread.join();

  // Medians of the second and the last quarter of the run (the first is
  // warm-up: caches, thread arenas).
  const auto growth = [](const std::vector<int64_t>& samples, int64_t& early, int64_t& late) {
    const size_t quarter = samples.size() / 4;
    early = median(std::vector<int64_t>(samples.begin() + quarter, samples.begin() + 2 * quarter));
    late = median(std::vector<int64_t>(samples.end() - quarter, samples.end()));
    return late - early;
  };
  int64_t early = 0, late = 0, heapEarly = 0, heapLate = 0;
  const int64_t grown = growth(memory, early, late), heapGrown = growth(heap, heapEarly, heapLate);
  std::printf("soak: %.0f s, %llu frames checked, %llu seeks, %llu resets, %llu reopenings, "
              "%llu runs to the end, %llu unsettled audio frames after a jump; "
              "resident memory %lld MiB "
              "(second quarter) -> %lld MiB (last quarter), peak %lld MiB; heap in use %lld -> %lld MiB\n",
              std::chrono::duration<double>(Clock::now() - start).count(),
              static_cast<unsigned long long>(totals.frames), static_cast<unsigned long long>(totals.seeks),
              static_cast<unsigned long long>(totals.resets), static_cast<unsigned long long>(totals.reopens),
              static_cast<unsigned long long>(totals.runsToEnd),
              static_cast<unsigned long long>(totals.unsettled), static_cast<long long>(early),
              static_cast<long long>(late), static_cast<long long>(peak),
              static_cast<long long>(heapEarly), static_cast<long long>(heapLate));
  if (totals.failures > 0) return 1;
  if (grown > kMemoryGrowthMiB || heapGrown > kMemoryGrowthMiB) {
    std::fprintf(stderr, "soak: memory grew by %lld MiB resident, %lld MiB of heap\n", static_cast<long long>(grown),
                 static_cast<long long>(heapGrown));
    return 1;
  }
  return 0;
}
