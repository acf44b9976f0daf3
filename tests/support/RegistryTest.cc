// The file-backed registry: values by type, misses, listing, the read
// buffer's limit and names that try to leave the store.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/CRegistry.h"
#include "tests/common/TestSupport.h"

namespace zan {
namespace {

const char kKey[] = "Software\\ZAN Networks\\Zan";

class RegistryTest : public ::testing::Test {
 protected:
  RegistryTest() : root_("ZAN_REGISTRY_ROOT", folder_.path()) {}
  test::TemporaryFolder folder_;
  test::ScopedEnvironment root_;
  CRegistryImpl registry_;
};

TEST_F(RegistryTest, ValuesRoundTripByTypeAndMissesLeaveTheOutputAlone) {
  EXPECT_TRUE(registry_.setDword(kKey, "LogLevel", 4));
  EXPECT_TRUE(registry_.setString(kKey, "Name", "Zan stréam"));
  const uint8_t bytes[] = {0, 1, 2, 255};
  EXPECT_TRUE(registry_.setBinary(kKey, "Blob", bytes, 4));
  uint32_t number = 0;
  EXPECT_TRUE(registry_.getDword(kKey, "LogLevel", number));
  EXPECT_EQ(number, 4u);
  std::string text;
  EXPECT_TRUE(registry_.getString(kKey, "Name", text));
  EXPECT_EQ(text, "Zan stréam");
  void* data = nullptr;
  uint32_t size = 0;
  ASSERT_TRUE(registry_.getBinary(kKey, "Blob", data, size));
  ASSERT_EQ(size, 4u);
  EXPECT_EQ(std::memcmp(data, bytes, 4), 0);
  delete[] static_cast<uint8_t*>(data);
  // Binary values are not listed; numbers are listed as text.
  std::map<std::string, std::string> values;
  EXPECT_TRUE(registry_.getAllValues(kKey, values));
  EXPECT_EQ(values, (std::map<std::string, std::string>{{"LogLevel", "4"}, {"Name", "Zan stréam"}}));

  number = 99;
  EXPECT_FALSE(registry_.getDword(kKey, "Missing", number));
  EXPECT_EQ(number, 99u);
  text = "unchanged";
  EXPECT_FALSE(registry_.getString("No\\Such\\Key", "x", text));
  EXPECT_EQ(text, "unchanged");
  const uint8_t byte = 1;
  EXPECT_FALSE(registry_.setBinary("Fresh\\Key", "Blob", &byte, 0));
  EXPECT_FALSE(registry_.setBinary("Fresh\\Key", "Blob", nullptr, 4));
  EXPECT_FALSE(std::filesystem::exists(folder_.path() + "/Fresh"));
}

TEST_F(RegistryTest, OversizedValuesAreCutToTheReadBufferOnACharacterBoundary) {
  std::string accented;
  while (accented.size() < 3000) accented += "\xC3\xA9";
  ASSERT_TRUE(registry_.setString(kKey, "Long", std::string(5000, 's')));
  ASSERT_TRUE(registry_.setString(kKey, "Accented", accented));
  std::string text;
  ASSERT_TRUE(registry_.getString(kKey, "Long", text));
  EXPECT_EQ(text.size(), kRegistryValueLimit - 1);
  ASSERT_TRUE(registry_.getString(kKey, "Accented", text));
  EXPECT_EQ(text.size() % 2, 0u);
  EXPECT_LE(text.size(), kRegistryValueLimit - 1);
  const std::string big(9000, 'b');
  ASSERT_TRUE(registry_.setBinary(kKey, "Big", big.data(), static_cast<int>(big.size())));
  void* data = nullptr;
  uint32_t size = 0;
  ASSERT_TRUE(registry_.getBinary(kKey, "Big", data, size));
  EXPECT_EQ(size, kRegistryValueLimit);
  delete[] static_cast<uint8_t*>(data);
}

TEST_F(RegistryTest, NamesAndKeysCannotLeaveTheStore) {
  ASSERT_TRUE(registry_.setString("..\\..\\Escape", "../name/with/slashes", "v"));
  std::string text;
  EXPECT_TRUE(registry_.getString("..\\..\\Escape", "../name/with/slashes", text));
  EXPECT_EQ(text, "v");
  EXPECT_TRUE(std::filesystem::exists(folder_.path() + "/Escape"));
}

// Two writers of one value: every write succeeds, and what stays is one
// writer's value, whole, with no temporary left beside it.
TEST_F(RegistryTest, ConcurrentWritersOfOneValueNeverMix) {
  auto writeMany = [this](char fill) {
    const std::string value(64 * 1024, fill);
    for (int i = 0; i < 200; ++i)
      EXPECT_TRUE(registry_.setBinary("Shared", "Value", value.data(), static_cast<int>(value.size())));
  };
  std::thread first(writeMany, 'a');
  std::thread second(writeMany, 'b');
  first.join();
  second.join();
  std::vector<std::filesystem::path> files(std::filesystem::directory_iterator(folder_.path() + "/Shared"), {});
  ASSERT_EQ(files.size(), 1u);
  const std::string stored = test::readFile(files[0].string());
  EXPECT_TRUE(stored == "binary\n" + std::string(64 * 1024, 'a') || stored == "binary\n" + std::string(64 * 1024, 'b'));
}

}  // namespace
}  // namespace zan
