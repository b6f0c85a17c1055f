// The parent proxy: PARENT read into host, port and credentials, and
// PARENT_BYPASS judging which targets go direct.
#include "parent.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

using namespace ferry;

TEST(Parent, ReadsTheUrlOrSaysWhyNot) {
  const std::tuple<const char*, const char*, int, const char*> good[] = {
      {"http://Proxy.Corp.example:3128", "proxy.corp.example", 3128, ""},
      {"HTTP://10.0.0.1:8080/", "10.0.0.1", 8080, ""},
      {"http://[2001:db8::1]:3128", "[2001:db8::1]", 3128, ""},
      {"http://Aladdin:open%20sesame@gw:1", "gw", 1, "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
      {"http://u%40x:p@ss:w@gw:1", "gw", 1, "Basic dUB4OnBAc3M6dw=="},  // the last @ ends it
      {"http://bob@gw:1", "gw", 1, "Basic Ym9iOg=="}};
  for (const auto& [text, host, port, credentials] : good) {
    parent_proxy parent;
    std::string problem;
    ASSERT_TRUE(parse_parent(text, parent, problem)) << text << ": " << problem;
    EXPECT_EQ(parent.host, host) << text;
    EXPECT_EQ(parent.port, port) << text;
    EXPECT_EQ(parent.authorization_line,
              *credentials ? "Proxy-Authorization: " + std::string(credentials) + "\r\n" : "");
  }
  const std::pair<const char*, const char*> bad[] = {
      {"https://gw:443", "https:// is not supported"},
      {"gw:3128", "not an http:// URL"},
      {"http://gw", "no port"},
      {"http://[2001:db8::1]", "no port"},
      {"http://2001:db8::1:3128", "write the address as [2001:db8::1]"},
      {"http://gw:0", "the port is not"},
      {"http://gw:65536", "the port is not"},
      {"http://gw:3128/path", "a path, query"},
      {"http://:3128", "not a host name"},
      {"http://.corp:3128", "a .domain"},
      {"http://a,b:3128", "not a host name"},
      {"http://u:p%4@gw:1", "bad %-escape"},
      {"http://u%0a:p@gw:1", "control character"},
      {"http://:p@gw:1", "an empty user"},
      {"http://u%3a:p@gw:1", "holds a colon"}};
  for (const auto& [text, expected] : bad) {
    parent_proxy parent;
    parent.host = "kept";
    std::string problem;
    EXPECT_FALSE(parse_parent(text, parent, problem)) << text;
    EXPECT_NE(problem.find(expected), std::string::npos) << text << ": " << problem;
    EXPECT_EQ(parent.host, "kept");
  }
}

TEST(Parent, BypassesNamesDomainsAndRangesOfLiteralsOrWhatNamesResolveTo) {
  ip_address loopback, inside, outside;
  ASSERT_TRUE(parse_ip_address("127.0.0.1", loopback) && parse_ip_address("10.1.2.3", inside) &&
              parse_ip_address("192.0.2.1", outside));
  parent_bypass set;
  std::string problem;
  ASSERT_TRUE(
      parse_parent_bypass(" intranet, .corp.example,10.0.0.0/8,[2001:db8::]/32", set, problem))
      << problem;
  const std::tuple<const parent_bypass*, const char*, std::vector<ip_address>, bool> rows[] = {
      {&set, "INTRANET.", {}, true},
      {&set, "wiki.corp.example", {outside}, true},
      {&set, "10.9.9.9", {}, true},
      {&set, "[2001:db8::5]", {}, true},
      {&set, "2001:db8::5", {}, true},
      {&set, "build.example", {outside, inside}, true},
      {&set, "build.example", {outside}, false},
      {&set, "localhost", {loopback}, false},  // a set value replaces the default
      {&set, "intranet.example", {}, false}};
  for (const auto& [bypass, host, resolved, expected] : rows) {
    EXPECT_EQ(bypasses(*bypass, host, resolved), expected) << host;
  }
  const parent_bypass by_default = default_parent_bypass();
  for (const char* host : {"localhost", "127.3.4.5", "[::1]"}) {
    EXPECT_TRUE(bypasses(by_default, host, {})) << host;
  }
  EXPECT_TRUE(bypasses(by_default, "ferry.test", {loopback}));
  EXPECT_FALSE(bypasses(by_default, "example.com", {outside}));
  ASSERT_TRUE(parse_parent_bypass("none", set, problem));
  EXPECT_FALSE(bypasses(set, "localhost", {loopback}));
  for (const char* text : {"a,,b", "10.0.0.1/8", "127.1", "[none]", "bad name", "[::1"}) {
    EXPECT_FALSE(parse_parent_bypass(text, set, problem)) << text;
  }
}

}  // namespace
