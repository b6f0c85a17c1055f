// The settings reader, fed environment vectors of our own.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "config.h"

namespace {

// Every setting, to compare and restore at once.
auto all_settings() {
  return std::tie(LISTEN_PORT, MAX_RAM_CACHE, MAX_HDD_CACHE, CON_TIMEOUT, BACKLOG, LISTEN_ADDR,
                  ALLOW, DENY_TO, CONNECT_PORTS, HEAD_TIMEOUT, IDLE_TIMEOUT);
}

// Taken as the first test starts, before any test changed a setting.
const auto& start_up() {
  static const auto values =
      std::apply([](auto&... setting) { return std::tuple(setting...); }, all_settings());
  return values;
}

class Settings : public testing::Test {
 protected:
  void SetUp() override { all_settings() = start_up(); }

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
    EXPECT_EQ(BACKLOG, 256);
    EXPECT_TRUE(all_settings() == start_up());
    EXPECT_EQ(conf_problem, "");
  }
};

TEST_F(Settings, CheckedSettingsStartSafeAndTakeGoodValues) {
  EXPECT_EQ(LISTEN_ADDR, 0u);
  EXPECT_EQ(ALLOW, (address_list{{0x7f000000, 0xff000000}}));
  EXPECT_EQ(DENY_TO, (address_list{{0, 0xff000000},
                                   {0x7f000000, 0xff000000},
                                   {0xa9fe0000, 0xffff0000},
                                   {0xe0000000, 0xe0000000},
                                   self_range}));
  EXPECT_EQ(CONNECT_PORTS, (port_list{{443, 443}}));
  EXPECT_EQ(HEAD_TIMEOUT, 30);
  EXPECT_EQ(IDLE_TIMEOUT, 300);
  read({"LISTEN_ADDR=127.0.0.2", "ALLOW=10.0.0.0/8, 192.168.0.1", "DENY_TO=none",
        "CONNECT_PORTS=443,8000-8080", "HEAD_TIMEOUT=0", "IDLE_TIMEOUT=065535"});
  EXPECT_EQ(conf_problem, "");
  EXPECT_EQ(LISTEN_ADDR, 0x7f000002u);
  EXPECT_EQ(ALLOW, (address_list{{0x0a000000, 0xff000000}, {0xc0a80001, 0xffffffff}}));
  EXPECT_EQ(DENY_TO, address_list{});
  EXPECT_EQ(CONNECT_PORTS, (port_list{{443, 443}, {8000, 8080}}));
  EXPECT_EQ(HEAD_TIMEOUT, 0);
  EXPECT_EQ(IDLE_TIMEOUT, 65535);
}

// One or two values a setting: the parsers' own tests cover the spellings.
TEST_F(Settings, BadCheckedValueKeepsTheDefaultAndIsNamedOnOneLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"LISTEN_ADDR=127.1", R"(LISTEN_ADDR="127.1" is not valid: not an address)"},
      {"ALLOW=10.0.0.1\n\x7f\xff", R"(ALLOW="10.0.0.1\x0a\x7f\xff" is not valid: "10.0.0.1)"},
      {"DENY_TO=10.1.2.3/8", R"(DENY_TO="10.1.2.3/8" is not valid: "10.1.2.3/8": host bits)"},
      {"CONNECT_PORTS=0", R"(CONNECT_PORTS="0" is not valid: "0": not a port)"},
      {"HEAD_TIMEOUT=-1", R"(HEAD_TIMEOUT="-1" is not valid: not a whole number)"},
      {"HEAD_TIMEOUT= 30", R"(HEAD_TIMEOUT=" 30" is not valid)"},
      {"IDLE_TIMEOUT=30s", R"(IDLE_TIMEOUT="30s" is not valid)"},
      {"IDLE_TIMEOUT=65536", R"(IDLE_TIMEOUT="65536" is not valid)"},
      {"DENY_TO=self,selfish", R"(DENY_TO="self,selfish" is not valid: "selfish")"},
      {"ALLOW=self", R"(ALLOW="self" is not valid: "self": not an address)"},
      // Numbers: decimal digits only, in range.
      {"LISTEN_PORT=abc", R"(LISTEN_PORT="abc" is not valid: not a whole number 0 to 65535)"},
      {"LISTEN_PORT=3128x", R"(LISTEN_PORT="3128x" is not valid)"},
      {"LISTEN_PORT=65616", R"(LISTEN_PORT="65616" is not valid)"},
      {"LISTEN_PORT=-1", R"(LISTEN_PORT="-1" is not valid)"},
      {"LISTEN_PORT= 80", R"(LISTEN_PORT=" 80" is not valid)"},
      {"CON_TIMEOUT=ten", R"(CON_TIMEOUT="ten" is not valid: not a whole number of seconds)"},
      {"CON_TIMEOUT=65536", R"(CON_TIMEOUT="65536" is not valid)"},
      {"BACKLOG=abc", R"(BACKLOG="abc" is not valid: not a whole number 1 to 2147483645)"},
      {"BACKLOG=0", R"(BACKLOG="0" is not valid)"},
      {"BACKLOG=2147483646", R"(BACKLOG="2147483646" is not valid)"},
      {"MAX_RAM_CACHE=-7", R"(MAX_RAM_CACHE="-7" is not valid: not a whole number 0 to)"},
      {"MAX_HDD_CACHE=9223372036854775808", R"(MAX_HDD_CACHE="9223372036854775808" is not)"},
      {"MAX_HDD_CACHE=0x10", R"(MAX_HDD_CACHE="0x10" is not valid)"},
      // A long value is shown by its start.
      {"ALLOW=" + std::string(150, '9'),
       "ALLOW=\"" + std::string(100, '9') + "...(150 bytes)\" is not valid: \"" +
           std::string(100, '9')},
  };
  for (const auto& [entry, expected] : cases) {
    read({entry});
    EXPECT_EQ(conf_problem.rfind(expected, 0), 0u) << conf_problem;
    EXPECT_EQ(conf_problem.find('\n'), std::string::npos) << conf_problem;
    EXPECT_TRUE(all_settings() == start_up()) << entry;
  }
}

// Only the first bad setting is named, and only the last value of each is read.
TEST_F(Settings, FirstBadLastValueIsReportedAndTheGoodOnesApply) {
  read({"IDLE_TIMEOUT=x", "ALLOW=10.0.0.0/8", "ALLOW=y", "HEAD_TIMEOUT=7", "BACKLOG=5"});
  EXPECT_EQ(conf_problem,
            R"(ALLOW="y" is not valid: "y": not an address of four numbers 0 to 255)");
  EXPECT_EQ(ALLOW, (address_list{{0x7f000000, 0xff000000}}));
  EXPECT_EQ(IDLE_TIMEOUT, 300);
  EXPECT_EQ(HEAD_TIMEOUT, 7);
  EXPECT_EQ(BACKLOG, 5);
  // A later call starts afresh, and a good last value makes up for a bad one before it.
  read({"ALLOW=10.0.0.0/33", "HEAD_TIMEOUT=x", "ALLOW=10.0.0.0/8", "HEAD_TIMEOUT=8"});
  EXPECT_EQ(conf_problem, "");
  EXPECT_EQ(ALLOW, (address_list{{0x0a000000, 0xff000000}}));
  EXPECT_EQ(HEAD_TIMEOUT, 8);
}

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

TEST_F(Settings, NumbersTakeTheirWholeRange) {
  read({"LISTEN_PORT=0", "CON_TIMEOUT=65535", "BACKLOG=2147483645", "MAX_RAM_CACHE=0",
        "MAX_HDD_CACHE=9223372036854775807"});
  EXPECT_EQ(conf_problem, "");
  EXPECT_EQ(LISTEN_PORT, 0);
  EXPECT_EQ(CON_TIMEOUT, 65535);
  EXPECT_EQ(BACKLOG, 2147483645);
  EXPECT_EQ(MAX_RAM_CACHE, 0);
  EXPECT_EQ(MAX_HDD_CACHE, INT64_MAX);
  read({"LISTEN_PORT=065535", "CON_TIMEOUT=0", "BACKLOG=1"});
  EXPECT_EQ(conf_problem, "");
  EXPECT_EQ(LISTEN_PORT, 65535);
  EXPECT_EQ(CON_TIMEOUT, 0);
  EXPECT_EQ(BACKLOG, 1);
}

TEST_F(Settings, EmptyValueMatchesNoKey) {
  read({"LISTEN_PORT=", "CON_TIMEOUT=", "BACKLOG=", "ALLOW=", "LISTEN_ADDR=", "IDLE_TIMEOUT="});
  expect_defaults();
  // An empty value does not reset an earlier one either.
  read({"BACKLOG=5", "BACKLOG="});
  EXPECT_EQ(BACKLOG, 5);
}

TEST_F(Settings, KeysMatchExactly) {
  read({"listen_port=1", "LISTEN_PORT =1", " LISTEN_PORT=1", "LISTEN_PORTS=1", "LISTEN_POR=1",
        "LISTEN_PORT", "BACKLOGX=5", "XBACKLOG=5", "Backlog=5", "BACKLOG", "CON_TIMEOUT:3",
        "MAX_RAM_CACHE_=1", "MAX_CACHE=1", "allow=x", "ALLOW =x", "ALLOWS=x", "DENY=x",
        "HEAD_TIMEOUTS=x", "IDLE_TIMEOUT"});
  expect_defaults();
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
