// Network input benchmark, on loopback, each row beside a tool we did not
// write, in the same run:
//  1. download throughput of a 200 MB file (written at bench time) through
//     HTTPClient, into the history buffer and out through read() in 32 KiB
//     reads (what FFmpeg's byte I/O asks for), against `curl -o /dev/null`
//     on the same URL; each client run sits between two curl runs, and its
//     ratio to their mean is printed with the median and worst of them;
//     beside it the first curl run against the second, the spread of the
//     yardstick itself on this machine;
//  2. the cost of a backward seek inside the history (served from the
//     buffer: microseconds, and the server must see no request) beside one
//     that needs a new request;
//  3. open latency: `zanstream probe URL` of a small FLV (H.264 + MP3)
//     against `ffprobe URL`, median of alternating runs.
// Every row runs twice: without SSL_CERT_FILE and with it naming the
// system's certificate bundle (plain HTTP must not pay for it).
// Where nginx is installed, the download runs once more from nginx in a
// process of its own (sendfile), the server a deployment has: the test
// server lives in this process and takes its share of the same cores.
//
// Usage: network_bench [megabytes]   (default 200)
// Needs curl, ffmpeg and ffprobe; zanstream is taken from beside this
// program (skipped with a note when absent).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "network/HTTPClient.h"
#include "TestHttpServer.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kSystemBundle[] = "/etc/ssl/certs/ca-certificates.crt";

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// Runs |arguments| with its output thrown away; wall seconds from start to
// exit, or a negative number when it failed.
double runSeconds(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return since(start);
}

// Runs curl on |url|; its own transfer time in seconds, or a negative number.
double curlSeconds(const std::string& url) {
  const std::string command = "curl -s --noproxy '*' -o /dev/null -w '%{time_total}' '" + url + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char text[64] = {0};
  const size_t got = std::fread(text, 1, sizeof text - 1, pipe);
  const int status = ::pclose(pipe);
  if (got == 0 || status != 0) return -1;
  return std::strtod(text, nullptr);
}

// Downloads |url| through the client; seconds from open to the last byte,
// or a negative number.
double clientSeconds(const std::string& url, int64_t size) {
  const auto start = Clock::now();
  zan::HTTPClient client(0xA00000, 0x200000);
  if (!client.open(url, nullptr)) return -1;
  std::vector<uint8_t> bytes(32 * 1024);
  int64_t total = 0;
  for (;;) {
    const int got = client.read(bytes.data(), static_cast<int64_t>(bytes.size()));
    if (got <= 0) break;
    total += got;
  }
  const double seconds = since(start);
  return total == size ? seconds : -1;
}

bool benchDownload(const std::string& url, int64_t size) {
  constexpr int kRuns = 9;
  double bestCurl = 1e9, bestClient = 1e9, worstRatio = 1e9, worstNoise = 1e9;
  std::string ratios, noise;
  std::vector<double> runRatios, noiseRatios;
  for (int run = 0; run < kRuns; ++run) {
    const double c = curlSeconds(url);
    const double h = clientSeconds(url, size);
    // curl once more: how far one run of the yardstick strays from the
    // next on this machine, the floor under any per-run ratio.
    const double again = curlSeconds(url);
    if (c <= 0 || h <= 0 || again <= 0) {
      std::fprintf(stderr, "download failed (curl %.3f, client %.3f)\n", c, h);
      return false;
    }
    // The client ran between the two curl runs: against their mean, a
    // machine that speeds up or slows down during the run favours neither.
    const double ratio = (c + again) / 2 / h;
    bestCurl = std::min({bestCurl, c, again});
    bestClient = std::min(bestClient, h);
    worstRatio = std::min(worstRatio, ratio);
    worstNoise = std::min(worstNoise, std::min(c / again, again / c));
    runRatios.push_back(ratio);
    noiseRatios.push_back(c / again);
    char text[16];
    std::snprintf(text, sizeof text, " %.2f", ratio);
    ratios += text;
    std::snprintf(text, sizeof text, " %.2f", c / again);
    noise += text;
  }
  const double mb = static_cast<double>(size) / 1e6;
  std::printf("  download of %.0f MB (%d runs each, alternating; best of each)\n", mb, kRuns);
  std::printf("    curl -o /dev/null      %8.3f s  %8.1f MB/s\n", bestCurl, mb / bestCurl);
  std::printf("    HTTPClient + read()    %8.3f s  %8.1f MB/s\n", bestClient, mb / bestClient);
  std::printf("    ratio HTTPClient/curl  %8.2f   (per run:%s; median %.2f, worst %.2f)\n", bestCurl / bestClient,
              ratios.c_str(), median(runRatios), worstRatio);
  std::printf("    ratio curl/curl                   (per run:%s; median %.2f, worst %.2f)\n", noise.c_str(),
              median(noiseRatios), worstNoise);
  return true;
}

bool benchSeeks(zan::test::TestHttpServer& server, const std::string& url, int64_t size) {
  // A client that has read 3 MiB keeps 2 MiB of history.
  zan::HTTPClient client(0xA00000, 0x200000);
  if (!client.open(url, nullptr)) {
    std::fprintf(stderr, "open failed\n");
    return false;
  }
  std::vector<uint8_t> bytes(3 << 20);
  int64_t done = 0;
  while (done < static_cast<int64_t>(bytes.size())) {
    const int got = client.read(bytes.data() + done, static_cast<int64_t>(bytes.size()) - done);
    if (got <= 0) break;
    done += got;
  }
  server.clearRequests();
  constexpr int kHistorySeeks = 2000;
  const int64_t position = done;
  auto start = Clock::now();
  bool ok = true;
  for (int i = 0; i < kHistorySeeks && ok; ++i) {
    // Back by 1 MiB, then 4 KiB forward (still inside what is stored).
    const int64_t target = position - 1024 * 1024 + (i % 2) * 4096;
    ok = client.seek(target, SEEK_SET, -1) == target;
  }
  const double historyMicros = since(start) * 1e6 / kHistorySeeks;
  const size_t historyRequests = server.requestCount();

  constexpr int kRequestSeeks = 20;
  std::vector<double> requestMicros;
  for (int i = 0; i < kRequestSeeks && ok; ++i) {
    const int64_t target = size / 2 + (i % 2) * 20 * 1000 * 1000;
    start = Clock::now();
    ok = client.seek(target, SEEK_SET, -1) == target;
    requestMicros.push_back(since(start) * 1e6);
  }
  const size_t requests = server.requestCount() - historyRequests;
  client.close();
  if (!ok) {
    std::fprintf(stderr, "a seek failed\n");
    return false;
  }
  std::printf("  seek back by 1 MiB inside the history (%d seeks)\n", kHistorySeeks);
  std::printf("    from the buffer        %8.2f us per seek, %zu requests\n", historyMicros, historyRequests);
  std::printf("    with a new request     %8.0f us median, %8.0f us worst, %zu requests for %d seeks\n",
              median(requestMicros), *std::max_element(requestMicros.begin(), requestMicros.end()), requests,
              kRequestSeeks);
  return true;
}

// A loopback port nobody listens on now, or 0.
int freePort() {
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const bool bound = probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (probe >= 0) ::close(probe);
  return bound ? ntohs(address.sin_port) : 0;
}

// nginx in the foreground, serving |folder| on a loopback port, for as long
// as this object lives. url() is empty when it could not be started.
class Nginx {
 public:
  explicit Nginx(const std::filesystem::path& folder) {
    const int port = freePort();
    const std::filesystem::path config = folder / "nginx.conf";
    FILE* file = port > 0 ? std::fopen(config.c_str(), "w") : nullptr;
    if (file == nullptr) return;
    const std::string root = folder.string();
    std::fprintf(file,
                 "daemon off; master_process off; worker_processes 1; pid %s/nginx.pid;\n"
                 "error_log %s/nginx-error.log;\nevents { worker_connections 64; }\n"
                 "http { access_log off; sendfile on; client_body_temp_path %s; proxy_temp_path %s;\n"
                 "  fastcgi_temp_path %s; uwsgi_temp_path %s; scgi_temp_path %s;\n"
                 "  server { listen 127.0.0.1:%d; root %s; } }\n",
                 root.c_str(), root.c_str(), root.c_str(), root.c_str(), root.c_str(), root.c_str(), root.c_str(),
                 port, root.c_str());
    std::fclose(file);
    const std::string prefix = root + "/";
    std::vector<std::string> arguments = {"nginx", "-q", "-p", prefix, "-c", config.string()};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      // Gone with this program, however it ends.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::execvp("nginx", argv.data());
      ::_exit(127);
    }
    if (pid_ < 0) {
      pid_ = 0;
      return;
    }
    // Listening within two seconds, or given up.
    const std::string probe = "http://127.0.0.1:" + std::to_string(port) + "/";
    for (int attempt = 0; attempt < 40 && url_.empty(); ++attempt) {
      if (runSeconds({"curl", "-s", "--noproxy", "*", "--max-time", "1", "-o", "/dev/null", probe}) > 0) url_ = probe;
      else ::usleep(50000);
    }
  }
  ~Nginx() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  const std::string& url() const { return url_; }

 private:
  pid_t pid_ = 0;
  std::string url_;
};

bool benchOpen(const std::string& zanstream, const std::string& url) {
  constexpr int kRuns = 15;
  std::vector<double> ours, theirs;
  for (int run = 0; run < kRuns; ++run) {
    const double z = runSeconds({zanstream, "probe", url});
    const double f = runSeconds({"ffprobe", "-v", "error", url});
    if (z <= 0 || f <= 0) {
      std::fprintf(stderr, "probe failed (zanstream %.3f, ffprobe %.3f)\n", z, f);
      return false;
    }
    ours.push_back(z * 1e3);
    theirs.push_back(f * 1e3);
  }
  std::printf("  open latency of a small FLV over HTTP (median of %d runs each, alternating)\n", kRuns);
  std::printf("    ffprobe URL            %8.1f ms\n", median(theirs));
  std::printf("    zanstream probe URL    %8.1f ms\n", median(ours));
  std::printf("    ratio zanstream/ffprobe %7.2f\n", median(ours) / median(theirs));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t megabytes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  const int64_t size = megabytes * 1000 * 1000;
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("zan-network-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::string path = (folder / "media.bin").string();
  {
    FILE* file = std::fopen(path.c_str(), "wb");
    std::vector<uint8_t> block(1 << 20);
    for (int64_t offset = 0; offset < size;) {
      const size_t length = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(block.size()), size - offset));
      for (size_t i = 0; i < length; ++i) block[i] = zan::test::patternByte(offset + static_cast<int64_t>(i));
      std::fwrite(block.data(), 1, length, file);
      offset += static_cast<int64_t>(length);
    }
    std::fclose(file);
  }
  // The open-latency medium: 4 s of 320x240 H.264 and MP3 in FLV.
  const std::string flv = (folder / "h264_mp3.flv").string();
  const bool haveFlv =
      runSeconds({"ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                  "testsrc2=size=320x240:rate=25:duration=4", "-f", "lavfi", "-i",
                  "sine=frequency=440:sample_rate=44100:duration=4", "-c:v", "libx264", "-preset", "veryfast", "-g",
                  "25", "-pix_fmt", "yuv420p", "-c:a", "libmp3lame", "-b:a", "64k", flv}) > 0;
  std::error_code error;
  const std::string zanstream =
      (std::filesystem::read_symlink("/proc/self/exe", error).parent_path() / "zanstream").string();
  const bool haveZanstream = std::filesystem::exists(zanstream);

  const char* given = std::getenv("SSL_CERT_FILE");
  const std::string bundle = given != nullptr && *given != '\0' ? given : kSystemBundle;

  int status = 0;
  {
    zan::test::TestHttpServer server;
    server.addResource("/media.bin", zan::test::fileResource(path));
    if (haveFlv) server.addResource("/h264_mp3.flv", zan::test::fileResource(flv));
    const std::string url = server.url("/media.bin");
    for (const bool withBundle : {false, true}) {
      if (withBundle) {
        setenv("SSL_CERT_FILE", bundle.c_str(), 1);
        std::printf("with SSL_CERT_FILE=%s\n", bundle.c_str());
      } else {
        unsetenv("SSL_CERT_FILE");
        std::printf("without SSL_CERT_FILE\n");
      }
      if (!benchDownload(url, size) || !benchSeeks(server, url, size)) {
        status = 1;
        break;
      }
      if (!haveFlv || !haveZanstream) {
        std::printf("  open latency: skipped (%s)\n", haveFlv ? "no zanstream beside network_bench" : "ffmpeg failed");
      } else if (!benchOpen(zanstream, server.url("/h264_mp3.flv"))) {
        status = 1;
        break;
      }
    }
    server.stop();
  }
  if (status == 0) {
    unsetenv("SSL_CERT_FILE");
    const Nginx nginx(folder);
    if (nginx.url().empty()) {
      std::printf("from nginx: skipped (not installed or it did not start)\n");
    } else {
      std::printf("from nginx (a process of its own, sendfile), without SSL_CERT_FILE\n");
      if (!benchDownload(nginx.url() + "media.bin", size)) status = 1;
    }
  }
  std::filesystem::remove_all(folder);
  return status;
}
