// A host with a QCoreApplication of its own: the library must use it and
// start no application thread of its own, and a download on one of the
// host's threads works while the host's main thread runs its event loop.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <thread>

#include "network/HTTPClient.h"
#include "network/QtRuntime.h"
#include "TestHttpServer.h"

namespace zan {
namespace {

TEST(HostQtApplicationTest, DownloadsThroughTheHostsApplication) {
  int argc = 1;
  char name[] = "host";
  char* argv[] = {name, nullptr};
  QCoreApplication application(argc, argv);
  test::TestHttpServer server;
  constexpr int64_t kSize = 3 * 1024 * 1024;
  server.addResource("/media.flv", test::patternResource(kSize));

  std::atomic<int64_t> received{-1};
  std::thread host([&] {
    HTTPClient client(0xA00000, 0x200000);
    if (client.open(server.url("/media.flv"), nullptr)) received = test::readPattern(client, 0, kSize + 1);
    client.close();
    // By name: Qt itself queues the call (its locks are invisible to ThreadSanitizer).
    QMetaObject::invokeMethod(&application, "quit", Qt::QueuedConnection);
  });
  QTimer::singleShot(60000, &application, &QCoreApplication::quit);  // a hang fails instead of stalling
  application.exec();
  host.join();
  EXPECT_EQ(received.load(), kSize);
  EXPECT_FALSE(ownsQtApplication());
}

}  // namespace
}  // namespace zan
