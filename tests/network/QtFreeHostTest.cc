// Runs the Qt-free host program and checks that it downloads, shuts the
// library's Qt application thread down at exit and ends cleanly: exit code
// 0, and none of Qt's complaints about threads or the application object
// on its error stream (under the sanitizers a leak or race report fails
// the run as well).
#include <gtest/gtest.h>

#include <string>

#include "tests/common/TestSupport.h"

namespace zan {
namespace {

TEST(QtFreeHostTest, DownloadsAndExitsCleanly) {
  for (const char* mode : {"", "keep-open"}) {
    SCOPED_TRACE(mode);
    std::vector<std::string> argv{ZAN_QT_FREE_HOST};
    if (*mode != '\0') argv.push_back(mode);
    const test::ProcessResult result = test::runProcess(argv, std::chrono::seconds(120));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "ok\n");
    for (const char* complaint : {"QThread", "QCoreApplication", "QApplication", "QObject", "QEventLoop",
                                  "QSocketNotifier", "WARNING", "ERROR: "}) {
      EXPECT_EQ(result.err.find(complaint), std::string::npos) << complaint << " in:\n" << result.err;
    }
  }
}

}  // namespace
}  // namespace zan
