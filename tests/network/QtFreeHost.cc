// A host program that knows nothing of Qt: no QCoreApplication, no Qt
// header, no test framework. It downloads a file from a loopback server
// through the HTTP client, checks every byte, and returns from main with
// the client gone (with "keep-open": a closed client left alive, as a
// careless host might), so that the exit path shuts the library's own Qt
// application thread down. CTest runs it and checks that it ends cleanly.
#include <cstdio>
#include <cstring>
#include <memory>

#include "network/HTTPClient.h"
#include "TestHttpServer.h"

int main(int argc, char** argv) {
  zan::test::TestHttpServer server;
  constexpr int64_t kSize = 3 * 1024 * 1024;
  server.addResource("/media.flv", zan::test::patternResource(kSize));
  auto client = std::make_unique<zan::HTTPClient>(0xA00000, 0x200000);
  const bool opened = client->open(server.url("/media.flv"), nullptr);
  const int64_t got = opened ? zan::test::readPattern(*client, 0, kSize + 1) : -2;
  if (got != kSize) {
    std::fprintf(stderr, "read %lld bytes (-1: a wrong byte, -2: open failed)\n", static_cast<long long>(got));
    return 1;
  }
  if (argc > 1 && std::strcmp(argv[1], "keep-open") == 0) {
    client->close();
    static std::unique_ptr<zan::HTTPClient> leftOver;
    leftOver = std::move(client);
  }
  client.reset();
  server.stop();
  return 0;
}
