// Network input benchmark, on loopback:
//  1. download throughput of a 200 MB file (written at bench time) through
//     HTTPClient, into the history buffer and out through read() in 32 KiB
//     reads (what FFmpeg's byte I/O asks for), beside `curl -o /dev/null`
//     on the same URL in the same run; prints the ratio (client / curl);
//  2. the cost of a backward seek inside the history (served from the
//     buffer: microseconds, and the server must see no request) beside one
//     that needs a new request.
//
// Usage: network_bench [megabytes]   (default 200)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "network/HTTPClient.h"
#include "TestHttpServer.h"

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

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

}  // namespace

int main(int argc, char** argv) {
  const int64_t megabytes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  const int64_t size = megabytes * 1000 * 1000;
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / ("zan-network-bench-" + std::to_string(::getpid()));
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

  int status = 0;
  {
    zan::test::TestHttpServer server;
    server.addResource("/media.bin", zan::test::fileResource(path));
    const std::string url = server.url("/media.bin");

    // Throughput: best of three runs each, alternating.
    double bestCurl = 1e9, bestClient = 1e9;
    for (int run = 0; run < 3; ++run) {
      const double c = curlSeconds(url);
      const double h = clientSeconds(url, size);
      if (c <= 0 || h <= 0) {
        std::fprintf(stderr, "download failed (curl %.3f, client %.3f)\n", c, h);
        status = 1;
        break;
      }
      bestCurl = std::min(bestCurl, c);
      bestClient = std::min(bestClient, h);
    }
    if (status == 0) {
      const double mb = static_cast<double>(size) / 1e6;
      std::printf("download of %lld MB on loopback (best of 3)\n", static_cast<long long>(megabytes));
      std::printf("  curl -o /dev/null      %8.3f s  %8.1f MB/s\n", bestCurl, mb / bestCurl);
      std::printf("  HTTPClient + read()    %8.3f s  %8.1f MB/s\n", bestClient, mb / bestClient);
      std::printf("  ratio HTTPClient/curl  %8.2f\n", bestCurl / bestClient);
    }

    // Seeks: a client that has read 3 MiB keeps 2 MiB of history.
    zan::HTTPClient client(0xA00000, 0x200000);
    if (status == 0 && client.open(url, nullptr)) {
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

      constexpr int kRequestSeeks = 10;
      start = Clock::now();
      for (int i = 0; i < kRequestSeeks && ok; ++i) {
        const int64_t target = size / 2 + (i % 2) * 20 * 1000 * 1000;
        ok = client.seek(target, SEEK_SET, -1) == target;
      }
      const double requestMicros = since(start) * 1e6 / kRequestSeeks;
      const size_t requests = server.requestCount() - historyRequests;
      if (!ok) {
        std::fprintf(stderr, "a seek failed\n");
        status = 1;
      } else {
        std::printf("seek back by 1 MiB inside the history (%d seeks)\n", kHistorySeeks);
        std::printf("  from the buffer        %8.2f us per seek, %zu requests\n", historyMicros, historyRequests);
        std::printf("  with a new request     %8.0f us per seek, %zu requests for %d seeks\n", requestMicros, requests,
                    kRequestSeeks);
        std::printf("  ratio request/buffer   %8.0f\n", requestMicros / historyMicros);
      }
      client.close();
    } else if (status == 0) {
      std::fprintf(stderr, "open failed\n");
      status = 1;
    }
    server.stop();
  }
  std::filesystem::remove_all(folder);
  return status;
}
