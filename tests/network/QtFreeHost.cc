// A host program that knows nothing of Qt: no QCoreApplication, no Qt
// header, no test framework. It downloads a file from a loopback server
// through the HTTP client, checks every byte, and returns from main with
// the client already gone, so that the library's own Qt application thread
// is shut down by the exit path. Prints "ok" on success.
//
// With "keep-open" as argument it leaves a finished client alive at exit,
// the way a careless host might.
#include <cstdio>
#include <cstring>
#include <memory>

#include "network/HTTPClient.h"
#include "TestHttpServer.h"

int main(int argc, char** argv) {
  const bool keepOpen = argc > 1 && std::strcmp(argv[1], "keep-open") == 0;
  zan::test::TestHttpServer server;
  constexpr int64_t kSize = 3 * 1024 * 1024;
  server.addResource("/media.flv", zan::test::patternResource(kSize));

  auto client = std::make_unique<zan::HTTPClient>(0xA00000, 0x200000);
  if (!client->open(server.url("/media.flv"), nullptr)) {
    std::fprintf(stderr, "open failed\n");
    return 1;
  }
  const int64_t got = zan::test::readPattern(*client, 0, kSize + 1);
  if (got != kSize) {
    std::fprintf(stderr, "read %lld bytes (-1: a wrong byte)\n", static_cast<long long>(got));
    return 1;
  }
  if (keepOpen) {
    client->close();
    static std::unique_ptr<zan::HTTPClient> leftOver;
    leftOver = std::move(client);
  } else {
    client.reset();
  }
  server.stop();
  std::printf("ok\n");
  return 0;
}
