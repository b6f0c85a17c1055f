// The settings reader, fed environment vectors of our own.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "config.h"

namespace {

class Settings : public testing::Test {
 protected:
  void SetUp() override {
    LISTEN_PORT = 8080;
    MAX_RAM_CACHE = 100;
    MAX_HDD_CACHE = 20000;
    CON_TIMEOUT = 10;
    BACKLOG = 30;
  }

  // Runs the reader over `entries` as a null-terminated vector.
  static void read(std::vector<std::string> entries) {
    std::vector<char*> env;
    for (auto& entry : entries) env.push_back(entry.data());
    env.push_back(nullptr);
    EXPECT_EQ(rchk_conf(env.data()), 0);
  }

  static void expect_defaults() {
    EXPECT_EQ(LISTEN_PORT, 8080);
    EXPECT_EQ(MAX_RAM_CACHE, 100);
    EXPECT_EQ(MAX_HDD_CACHE, 20000);
    EXPECT_EQ(CON_TIMEOUT, 10);
    EXPECT_EQ(BACKLOG, 30);
  }
};

TEST_F(Settings, EmptyOrForeignEnvironmentKeepsDefaults) {
  read({});
  expect_defaults();
  read({"PATH=/bin", "HOME=/root", "=8081", ""});
  expect_defaults();
}

TEST_F(Settings, EachKeyLandsInItsOwnVariable) {
  read({"BACKLOG=5", "CON_TIMEOUT=4", "MAX_HDD_CACHE=3", "MAX_RAM_CACHE=2", "LISTEN_PORT=1"});
  EXPECT_EQ(LISTEN_PORT, 1);
  EXPECT_EQ(MAX_RAM_CACHE, 2);
  EXPECT_EQ(MAX_HDD_CACHE, 3);
  EXPECT_EQ(CON_TIMEOUT, 4);
  EXPECT_EQ(BACKLOG, 5);
}

TEST_F(Settings, ValuesConvertAsDecimalLongs) {
  const std::vector<std::pair<std::string, std::int64_t>> cases = {
      {"81abc", 81},
      {"abc", 0},
      {"  42", 42},
      {"\t+43", 43},
      {"-7", -7},
      {"0x10", 0},
      {"010", 10},
      {"1 2", 1},
      {"73617", 73617},
      {"99999999999999999999", LONG_MAX},
      {"-99999999999999999999", LONG_MIN},
  };
  for (const auto& [value, expected] : cases) {
    read({"LISTEN_PORT=" + value, "MAX_HDD_CACHE=" + value});
    EXPECT_EQ(LISTEN_PORT, expected) << value;
    EXPECT_EQ(MAX_HDD_CACHE, expected) << value;
  }
}

TEST_F(Settings, EmptyValueMatchesNoKey) {
  read({"LISTEN_PORT=", "CON_TIMEOUT=", "BACKLOG="});
  expect_defaults();
  // An empty value does not reset an earlier one either.
  read({"BACKLOG=5", "BACKLOG="});
  EXPECT_EQ(BACKLOG, 5);
}

TEST_F(Settings, KeysMatchExactly) {
  read({"listen_port=1", "LISTEN_PORT =1", " LISTEN_PORT=1", "LISTEN_PORTS=1", "LISTEN_POR=1",
        "LISTEN_PORT", "BACKLOGX=5", "XBACKLOG=5", "Backlog=5", "BACKLOG", "CON_TIMEOUT:3",
        "MAX_RAM_CACHE_=1", "MAX_CACHE=1"});
  expect_defaults();
}

TEST_F(Settings, TimeoutKeepsLowSixteenBits) {
  const std::vector<std::pair<std::string, std::uint16_t>> cases = {
      {"70000", 4464}, {"-1", 65535}, {"65535", 65535}, {"32768", 32768},
      {"65536", 0},    {"0", 0},      {"30", 30},
  };
  for (const auto& [value, expected] : cases) {
    read({"CON_TIMEOUT=" + value});
    EXPECT_EQ(static_cast<std::uint16_t>(CON_TIMEOUT), expected) << value;
  }
  read({"CON_TIMEOUT=-1"});
  EXPECT_EQ(CON_TIMEOUT, -1);
}

TEST_F(Settings, LastEntryForAKeyWins) {
  read({"BACKLOG=5", "LISTEN_PORT=81", "BACKLOG=7", "LISTEN_PORT=82", "LISTEN_PORT=83"});
  EXPECT_EQ(BACKLOG, 7);
  EXPECT_EQ(LISTEN_PORT, 83);
}

TEST(Envcmp, PointsPastTheEqualsSignOrAtAnEmptyString) {
  const char entry[] = "LISTEN_PORT=8081";
  EXPECT_EQ(envcmp("LISTEN_PORT", entry), entry + 12);
  const char empty_value[] = "BACKLOG=";
  EXPECT_EQ(envcmp("BACKLOG", empty_value), empty_value + 8);
  const char doubled[] = "BACKLOG==5";
  EXPECT_STREQ(envcmp("BACKLOG", doubled), "=5");
  EXPECT_STREQ(envcmp("BACKLOG", "BACKLOG=a=b"), "a=b");

  for (const char* mismatch : {"LISTEN_PORT", "LISTEN", "", "LISTEN_PORTS=1", "listen_port=1",
                               "LISTEN_PORT =1", " LISTEN_PORT=1", "LISTEN_POR=1"}) {
    const char* result = envcmp("LISTEN_PORT", mismatch);
    ASSERT_NE(result, nullptr) << mismatch;
    EXPECT_STREQ(result, "") << mismatch;
  }
}

}  // namespace
