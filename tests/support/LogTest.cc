// The log files: level, shared error file, rotation without lost lines,
// fall-back names, cut messages, the memory log, the current logger.
#include <sys/stat.h>

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

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Each test gets its own log folder and registry store.
class LogTest : public ::testing::Test {
 protected:
  LogTest()
      : appData_(folder_.file("appdata")), registry_(folder_.file("registry")),
        appDataEnv_("ZAN_APPDATA", appData_), registryEnv_("ZAN_REGISTRY_ROOT", registry_) {}

  std::string logs() const { return appData_ + "/ZanNetworks/Logs/"; }
  void setLevel(uint32_t level) {
    ASSERT_TRUE(CRegistry::instance()->setDword("Software\\ZAN Networks\\Zan", "LogLevel", level));
  }

  test::TemporaryFolder folder_;
  std::string appData_, registry_;
  test::ScopedEnvironment appDataEnv_, registryEnv_;
};

TEST_F(LogTest, LevelComesFromTheRegistryAndFatalLinesReachTheSharedErrorFile) {
  {
    CBBLog quiet("Quiet.log", false, kDefaultLogFileSize);  // no level stored: errors and worse
    quiet.log(LOG_WARN, "a warning");
    quiet.log(LOG_ERROR, "an error %d", 2);
    quiet.log(LOG_FATAL, "first fatal");
    setLevel(LOG_DEBUG);
    CBBLog verbose("Verbose.log", false, kDefaultLogFileSize);
    verbose.log("debug %s", "shown");
  }
  const std::string quiet = test::readFile(logs() + "Quiet.log");
  EXPECT_EQ(quiet.find("a warning"), std::string::npos);
  EXPECT_NE(quiet.find("an error 2"), std::string::npos) << quiet;
  EXPECT_NE(test::readFile(logs() + "Verbose.log").find("debug shown"), std::string::npos);
  const std::string errors = test::readFile(logs() + "ZanErrors.log");
  EXPECT_NE(errors.find("first fatal"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("an error"), std::string::npos);
}

TEST_F(LogTest, RotationAtOpenAndWhileRunningLosesNoLine) {
  fs::create_directories(logs());
  test::writeFile(logs() + "Big.log", std::string(600000, 'x'));
  {
    CBBLog logger("Big.log", false, kDefaultLogFileSize);
    logger.log(LOG_ERROR, "fresh start");
  }
  EXPECT_EQ(fs::file_size(logs() + "Big.log.back"), 600000u);

  test::writeFile(logs() + "Run.log.back", "older backup");
  const std::string payload(1000, 'p');
  {
    CBBLog logger("Run.log", false, kDefaultLogFileSize);
    // Each line is about 1,035 bytes; 520 lines cross 524,288 bytes once.
    for (int i = 0; i < 520; ++i) logger.log(LOG_ERROR, "%04d %s", i, payload.c_str());
  }
  const std::string backup = test::readFile(logs() + "Run.log.back");
  const std::string current = test::readFile(logs() + "Run.log");
  EXPECT_EQ(backup.find("older backup"), std::string::npos);
  EXPECT_LT(current.size(), static_cast<size_t>(kDefaultLogFileSize));
  EXPECT_EQ(count(backup, payload) + count(current, payload), 520u);
  EXPECT_NE(current.find("] - 0519 "), std::string::npos);
}

TEST_F(LogTest, UnopenableFileFallsBackAndNoFolderMeansSilence) {
  fs::create_directories(logs() + "Locked.log");  // a folder in the way
  {
    CBBLog logger("Locked.log", false, kDefaultLogFileSize);
    logger.log(LOG_ERROR, "went elsewhere");
    EXPECT_EQ(logger.mainPath(), logs() + "Locked.log1");
  }
  EXPECT_NE(test::readFile(logs() + "Locked.log1").find("went elsewhere"), std::string::npos);

  test::ScopedEnvironment noAppData("ZAN_APPDATA", "");
  test::ScopedEnvironment noXdg("XDG_DATA_HOME", "");
  test::ScopedEnvironment noHome("HOME", "");
  CBBLog silent("Silent.log", false, kDefaultLogFileSize);
  silent.log(LOG_FATAL, "goes nowhere");
  EXPECT_EQ(silent.mainPath(), "");
}

TEST_F(LogTest, LongMessagesAreCutAndTheMemoryLogKeepsTheNewestLines) {
  const std::string huge(kLogMessageLimit * 2, 'h');
  {
    CBBLog logger("Long.log", false, kDefaultLogFileSize);
    logger.log(LOG_ERROR, "%s", huge.c_str());
    logger.log(LOG_ERROR, "after");
  }
  const std::string text = test::readFile(logs() + "Long.log");
  EXPECT_EQ(count(text, std::string(kLogMessageLimit - 1, 'h')), 1u);
  EXPECT_EQ(text.find(std::string(kLogMessageLimit, 'h')), std::string::npos);
  EXPECT_NE(text.find("after"), std::string::npos);

  CBBLog memory(200u, false);
  memory.setLevel(LOG_DEBUG);
  for (int i = 0; i < 20; ++i) memory.log("line number %02d", i);
  const std::string kept = memory.getQueuedText();
  EXPECT_LE(kept.size(), 200u + 6u);
  EXPECT_NE(kept.find("line number 19"), std::string::npos);
  EXPECT_EQ(kept.find("line number 00"), std::string::npos);
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
  const std::string text = test::readFile(logs() + "Current.log");
  EXPECT_EQ(count(text, "] - thread "), 1000u);
  EXPECT_NE(text.find("boost format 7"), std::string::npos) << text;
  EXPECT_EQ(text.find("after the logger died"), std::string::npos);
}

}  // namespace
}  // namespace zan
