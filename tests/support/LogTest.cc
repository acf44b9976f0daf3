// The log files: level, cut messages, shared error file, rotation without
// lost lines, fall-back names, the current logger.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/CBBLog.h"
#include "support/CRegistry.h"
#include "tests/common/TestSupport.h"

namespace zan {
namespace {

namespace fs = std::filesystem;

// Each test gets its own log folder and registry store.
class LogTest : public ::testing::Test {
 protected:
  LogTest()
      : appDataEnv_("ZAN_APPDATA", folder_.file("appdata")),
        registryEnv_("ZAN_REGISTRY_ROOT", folder_.file("registry")) {}

  std::string logs() const { return folder_.file("appdata") + "/ZanNetworks/Logs/"; }
  // How often |what| stands in the log file |name|.
  size_t countIn(const std::string& name, const std::string& what) const {
    const std::string text = test::readFile(logs() + name);
    size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
  void setLevel(uint32_t level) {
    ASSERT_TRUE(CRegistry::instance()->setDword("Software\\ZAN Networks\\Zan", "LogLevel", level));
  }

  test::TemporaryFolder folder_;
  test::ScopedEnvironment appDataEnv_, registryEnv_;
};

TEST_F(LogTest, LevelComesFromTheRegistryLongLinesAreCutFatalOnesReachTheErrorFile) {
  {
    CBBLog quiet("Quiet.log", false, kDefaultLogFileSize);  // no level stored: errors and worse
    quiet.log(LOG_WARN, "a warning");
    quiet.log(LOG_ERROR, "%s", std::string(kLogMessageLimit * 2, 'h').c_str());
    quiet.log(LOG_ERROR, "an error %d", 2);
    quiet.log(LOG_FATAL, "first fatal");
  }
  setLevel(LOG_DEBUG);
  CBBLog("Verbose.log", false, kDefaultLogFileSize).log("debug %s", "shown");
  EXPECT_EQ(countIn("Quiet.log", "a warning"), 0u);
  EXPECT_EQ(countIn("Quiet.log", "an error 2"), 1u);
  EXPECT_EQ(countIn("Quiet.log", std::string(kLogMessageLimit - 1, 'h')), 1u);
  EXPECT_EQ(countIn("Quiet.log", std::string(kLogMessageLimit, 'h')), 0u);
  EXPECT_EQ(countIn("Verbose.log", "debug shown"), 1u);
  EXPECT_EQ(countIn("ZanErrors.log", "first fatal"), 1u);
  EXPECT_EQ(countIn("ZanErrors.log", "an error"), 0u);
}

TEST_F(LogTest, RotationAtOpenAndWhileRunningLosesNoLine) {
  fs::create_directories(logs());
  test::writeFile(logs() + "Big.log", std::string(600000, 'x'));
  CBBLog("Big.log", false, kDefaultLogFileSize).log(LOG_ERROR, "fresh start");
  EXPECT_EQ(fs::file_size(logs() + "Big.log.back"), 600000u);

  test::writeFile(logs() + "Run.log.back", "older backup");
  const std::string payload(1000, 'p');
  {
    CBBLog logger("Run.log", false, kDefaultLogFileSize);
    // Each line is about 1,035 bytes; 520 lines cross 524,288 bytes once.
    for (int i = 0; i < 520; ++i) logger.log(LOG_ERROR, "%04d %s", i, payload.c_str());
  }
  EXPECT_EQ(countIn("Run.log.back", "older backup"), 0u);
  EXPECT_LT(fs::file_size(logs() + "Run.log"), static_cast<uintmax_t>(kDefaultLogFileSize));
  EXPECT_EQ(countIn("Run.log.back", payload) + countIn("Run.log", payload), 520u);
  EXPECT_EQ(countIn("Run.log", "] - 0519 "), 1u);
}

TEST_F(LogTest, UnopenableFileFallsBackAndNoFolderMeansSilence) {
  fs::create_directories(logs() + "Locked.log");  // a folder in the way
  {
    CBBLog logger("Locked.log", false, kDefaultLogFileSize);
    logger.log(LOG_ERROR, "went elsewhere");
    EXPECT_EQ(logger.mainPath(), logs() + "Locked.log1");
  }
  EXPECT_EQ(countIn("Locked.log1", "went elsewhere"), 1u);

  test::ScopedEnvironment noAppData("ZAN_APPDATA", "");
  test::ScopedEnvironment noXdg("XDG_DATA_HOME", "");
  test::ScopedEnvironment noHome("HOME", "");
  CBBLog silent("Silent.log", false, kDefaultLogFileSize);
  silent.log(LOG_FATAL, "goes nowhere");
  EXPECT_EQ(silent.mainPath(), "");
}

TEST_F(LogTest, CurrentLoggerIsUsedWhileItLivesFromManyThreads) {
  setLevel(LOG_INFO);
  logError("nobody listens");  // no current logger: nothing happens
  auto logger = std::make_shared<CBBLog>("Current.log", false, kDefaultLogFileSize);
  setCurrentLogger(logger);
  EXPECT_TRUE(isInfoEnabled());
  EXPECT_FALSE(isDebugEnabled());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 250; ++i) logInfo("thread %d line %d", t, i);
    });
  for (auto& thread : threads) thread.join();
  logWarn(boost::format("boost %1% %2%") % "format" % 7);
  logger.reset();  // the weak reference now finds nothing
  logError("after the logger died");
  EXPECT_EQ(countIn("Current.log", "] - thread "), 1000u);
  EXPECT_EQ(countIn("Current.log", "boost format 7"), 1u);
  EXPECT_EQ(countIn("Current.log", "after the logger died"), 0u);
}

}  // namespace
}  // namespace zan
