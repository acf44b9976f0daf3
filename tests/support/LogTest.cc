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
  size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  test::TemporaryFolder folder_;
  std::string appData_, registry_;
  test::ScopedEnvironment appDataEnv_, registryEnv_;
};

TEST_F(LogTest, WithoutLogLevelOnlyErrorsAndWorseAreWritten) {
  {
    auto logger = std::make_shared<CBBLog>("Level.log", false, kDefaultLogFileSize);
    EXPECT_EQ(logger->level(), LOG_ERROR);
    logger->log(LOG_WARN, "a warning %d", 1);
    logger->log(LOG_ERROR, "an error %d", 2);
    logger->log("debug by default level %s", "x");
  }
  const std::string text = test::readFile(logs() + "Level.log");
  EXPECT_EQ(text.find("a warning"), std::string::npos);
  EXPECT_NE(text.find("[ERROR] - an error 2\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("debug by default"), std::string::npos);
}

TEST_F(LogTest, RegistryLevelAndHeaderFormat) {
  setLevel(LOG_DEBUG);
  {
    CBBLog logger("Header.log", true, kDefaultLogFileSize);
    logger.log("FFMpegDecoderCore::initFormatStreams : %s", "done");
  }
  const std::string text = test::readFile(logs() + "Header.log");
  // "YYYY/MM/DD hh:mm:ss.mmm [DEBUG] pid - message"
  ASSERT_GE(text.size(), 24u);
  EXPECT_EQ(text[4], '/');
  EXPECT_EQ(text[10], ' ');
  EXPECT_EQ(text[19], '.');
  EXPECT_NE(text.find(" [DEBUG] " + std::to_string(getpid()) + " - FFMpegDecoderCore::initFormatStreams : done\n"),
            std::string::npos)
      << text;
}

TEST_F(LogTest, FatalLinesAlsoReachTheSharedErrorFile) {
  {
    CBBLog first("First.log", false, kDefaultLogFileSize);
    CBBLog second("Second.log", false, kDefaultLogFileSize);
    first.log(LOG_FATAL, "first fatal");
    second.log(LOG_FATAL, "second fatal");
    second.log(LOG_ERROR, "only an error");
  }
  const std::string errors = test::readFile(logs() + "ZanErrors.log");
  EXPECT_NE(errors.find("[FATAL] - log_test - first fatal\n"), std::string::npos) << errors;
  EXPECT_NE(errors.find("[FATAL] - log_test - second fatal\n"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("only an error"), std::string::npos);
  EXPECT_NE(test::readFile(logs() + "First.log").find("first fatal"), std::string::npos);
}

TEST_F(LogTest, LargeFileIsRotatedAtOpen) {
  fs::create_directories(logs());
  test::writeFile(logs() + "Big.log", std::string(600000, 'x'));
  test::writeFile(logs() + "Big.log.back", "older backup");
  {
    CBBLog logger("Big.log", false, kDefaultLogFileSize);
    logger.log(LOG_ERROR, "fresh start");
  }
  EXPECT_EQ(fs::file_size(logs() + "Big.log.back"), 600000u);
  const std::string text = test::readFile(logs() + "Big.log");
  EXPECT_LT(text.size(), 200u);
  EXPECT_NE(text.find("fresh start"), std::string::npos);
}

TEST_F(LogTest, FileIsRotatedWhileRunningWhenItReachesTheLimit) {
  fs::create_directories(logs());
  test::writeFile(logs() + "Run.log.back", "older backup");
  const std::string payload(1000, 'p');
  size_t written = 0;
  {
    CBBLog logger("Run.log", false, kDefaultLogFileSize);
    // Each line is about 1,035 bytes; 520 lines cross 524,288 bytes once.
    for (int i = 0; i < 520; ++i) logger.log(LOG_ERROR, "%04d %s", i, payload.c_str());
    written = 520;
  }
  const std::string backup = test::readFile(logs() + "Run.log.back");
  const std::string current = test::readFile(logs() + "Run.log");
  EXPECT_GE(backup.size(), static_cast<size_t>(kDefaultLogFileSize));
  EXPECT_EQ(backup.find("older backup"), std::string::npos);
  EXPECT_LT(current.size(), static_cast<size_t>(kDefaultLogFileSize));
  // No line is lost across the rotation.
  EXPECT_EQ(count(backup, payload) + count(current, payload), written);
  EXPECT_NE(backup.find("] - 0000 "), std::string::npos);
  EXPECT_NE(current.find("] - 0519 "), std::string::npos);
}

TEST_F(LogTest, NegativeLimitRotatesAfterEveryLine) {
  {
    CBBLog logger("Every.log", false, -1);
    logger.log(LOG_ERROR, "one");
    logger.log(LOG_ERROR, "two");
  }
  EXPECT_NE(test::readFile(logs() + "Every.log.back").find("two"), std::string::npos);
}

TEST_F(LogTest, AFileThatCannotBeOpenedFallsBackToNumberedNames) {
  // A folder in the way makes the plain name unopenable for appending.
  fs::create_directories(logs() + "Locked.log");
  {
    CBBLog logger("Locked.log", false, kDefaultLogFileSize);
    logger.log(LOG_ERROR, "went elsewhere");
    EXPECT_EQ(logger.mainPath(), logs() + "Locked.log1");
  }
  EXPECT_NE(test::readFile(logs() + "Locked.log1").find("went elsewhere"), std::string::npos);
}

TEST_F(LogTest, LongMessagesAreCutNotRejected) {
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
}

TEST_F(LogTest, MemoryOnlyLoggerKeepsTheNewestLinesWithinItsBudget) {
  CBBLog logger(200u, false);
  logger.setLevel(LOG_DEBUG);
  for (int i = 0; i < 20; ++i) logger.log("line number %02d", i);
  const std::string text = logger.getQueuedText();
  EXPECT_LE(text.size(), 200u + 6u);
  EXPECT_NE(text.find("line number 19"), std::string::npos);
  EXPECT_EQ(text.find("line number 00"), std::string::npos);
  EXPECT_NE(text.find("[...]\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(logs()));
}

TEST_F(LogTest, FreeFunctionsWriteToTheCurrentLoggerWhileItLives) {
  setLevel(LOG_INFO);
  logError("nobody listens");  // no current logger: nothing happens
  auto logger = std::make_shared<CBBLog>("Current.log", false, kDefaultLogFileSize);
  setCurrentLogger(logger);
  EXPECT_TRUE(isInfoEnabled());
  EXPECT_FALSE(isDebugEnabled());
  logInfo("info %d", 3);
  logDebug("debug is filtered");
  logWarn(boost::format("boost %1% %2%") % "format" % 7);
  logger.reset();  // the weak reference now finds nothing
  logError("after the logger died");
  EXPECT_FALSE(isWarnEnabled());
  const std::string text = test::readFile(logs() + "Current.log");
  EXPECT_NE(text.find("[INFO ] - info 3"), std::string::npos) << text;
  EXPECT_NE(text.find("[WARN ] - boost format 7"), std::string::npos) << text;
  EXPECT_EQ(text.find("debug is filtered"), std::string::npos);
  EXPECT_EQ(text.find("after the logger died"), std::string::npos);
}

TEST_F(LogTest, ManyThreadsLogWithoutLosingLines) {
  setLevel(LOG_DEBUG);
  {
    auto logger = std::make_shared<CBBLog>("Threads.log", false, kDefaultLogFileSize);
    setCurrentLogger(logger);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([t] {
        for (int i = 0; i < 250; ++i) logDebug("thread %d line %d", t, i);
      });
    for (auto& thread : threads) thread.join();
  }
  const std::string text = test::readFile(logs() + "Threads.log");
  EXPECT_EQ(count(text, "[DEBUG] - thread "), 1000u);
}

TEST_F(LogTest, NoApplicationDataFolderMeansSilence) {
  test::ScopedEnvironment noAppData("ZAN_APPDATA", "");
  test::ScopedEnvironment noXdg("XDG_DATA_HOME", "");
  test::ScopedEnvironment noHome("HOME", "");
  CBBLog logger("Silent.log", false, kDefaultLogFileSize);
  logger.log(LOG_FATAL, "goes nowhere");
  EXPECT_EQ(logger.mainPath(), "");
}

}  // namespace
}  // namespace zan
