// The Via field: loops found by ferry's own name, the line it forwards, and
// VIA_NAME.
#include "via.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

using namespace ferry;

TEST(Via, FindsOwnNameAsAWholeReceiverWithoutCase) {
  const std::tuple<const char*, const char*, bool> rows[] = {
      {"1.1 ferry", "ferry", true},
      {"1.0 gw, HTTP/1.1 FERRY (build 7)", "ferry", true},
      {"1.1 gw (a, 1.1 ferry), 1.1 other", "ferry", false},  // the name inside a comment
      {"1.1 gw (a \\) 1.1 ferry), 1.1 ferry", "ferry", true},
      {"1.1 ferry:3128", "ferry", false},
      {"1.1 ferry2, 1.1 my-ferry", "ferry", false},
      {"ferry", "ferry", false},  // a protocol alone names no receiver
      {" ,1.1\t ferry(x) ,", "ferry", true},
      {"1.1 gw (unclosed, 1.1 ferry", "ferry", false},
      {"", "ferry", false},
      {"1.1 ", "", false}};
  for (const auto& [values, name, expected] : rows) {
    EXPECT_EQ(via_names(values, name), expected) << values << " / " << name;
  }
}

TEST(Via, AppendsOwnEntryToOneJoinedLine) {
  EXPECT_EQ(via_field_line({}, "ferry"), "Via: 1.1 ferry\r\n");
  EXPECT_EQ(via_field_line({"1.0 a ", "", "1.1 b, 1.1 c"}, "ferry"),
            "Via: 1.0 a, 1.1 b, 1.1 c, 1.1 ferry\r\n");
}

TEST(Via, ReadsTheNameSetting) {
  std::string name = "kept", problem;
  EXPECT_TRUE(parse_via_name("off", name, problem));
  EXPECT_EQ(name, "");
  EXPECT_TRUE(parse_via_name("gw-1.example_x", name, problem));
  EXPECT_EQ(name, "gw-1.example_x");
  const std::string bad_names[] = {"a b", "a,b", "(x)", "ü", std::string(256, 'a')};
  for (const std::string& bad : bad_names) {
    EXPECT_FALSE(parse_via_name(bad, name, problem)) << bad;
    EXPECT_EQ(name, "gw-1.example_x");
  }
  EXPECT_EQ(problem, "longer than 255 bytes");
  std::string host = default_via_name();
  EXPECT_TRUE(parse_via_name(host, name, problem)) << host;
}

}  // namespace
