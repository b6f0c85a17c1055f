// Address and port lists, fed the text a setting holds.
#include "address_list.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

using namespace ferry;

TEST(AddressList, ReadsOnlyPlainDottedQuads) {
  std::uint32_t address = 1;
  EXPECT_TRUE(parse_ipv4("0.0.0.0", address));
  EXPECT_EQ(address, 0u);
  for (const char* text : {"127.1", "2130706433", "0x7f000001", "010.0.0.1", "1.2.3.04", "1.2.3.4.",
                           " 1.2.3.4", "1.2.3.4 ", "1.2.3.256", "1..2.3", "", "+1.2.3.4",
                           "1.2.3.-4", "1.2.3.4/32", "1.2.3.99999999999"}) {
    EXPECT_FALSE(parse_ipv4(text, address)) << text;
    EXPECT_EQ(address, 0u) << text;
  }
}

// Both families' spellings, and an address in its list's text.
ip_address ip(const char* text) {
  ip_address address;
  EXPECT_TRUE(parse_ip_address(text, address)) << text;
  return address;
}

address_list parsed(const char* text) {
  address_list list;
  std::string problem;
  EXPECT_TRUE(parse_address_list(text, list, problem, true)) << text << ": " << problem;
  return list;
}

// A list is read whole or left as it was, with the reason for the first bad item.
TEST(AddressList, ReadsAWholeListOrSaysWhyNot) {
  const std::pair<const char*, const char*> good[] = {
      {" 10.200.3.40 ,\t192.168.0.0/16\t", "10.200.3.40,192.168.0.0/16"},
      {"0.0.0.0/0,255.255.255.255/32", "0.0.0.0/0,255.255.255.255"},
      {"::1/128, 2001:DB8::/32,::/0", "::1,2001:db8::/32,::/0"},
      {"::ffff:10.0.0.0/104,::ffff:7f00:1", "10.0.0.0/8,127.0.0.1"},
      {"2001:db8:8000::/33", "2001:db8:8000::/33"},
      {" none\t", "none"}};
  const std::pair<const char*, const char*> bad[] = {
      {"10.0.0.0/33", "\"10.0.0.0/33\": prefix length above 32"},
      {"2001:db8::/129", "\"2001:db8::/129\": prefix length above 128"},
      {"10.1.2.3/8", "\"10.1.2.3/8\": host bits are set; the network is 10.0.0.0/8"},
      {"2001:db8::1/32", "host bits are set; the network is 2001:db8::/32"},
      {"2001:db8:c000::/33", "the network is 2001:db8:8000::/33"},
      {"0.0.0.1/0", "the network is 0.0.0.0/0"},
      {"127.0.0.1, 127.1", "\"127.1\": not an IPv4 or IPv6 address"},
      {"[::1]", "not an IPv4 or IPv6 address"},  // the spellings: ip_address_test
      {"10.0.0.0/08", "prefix length is not"},
      {"1.2.3.4/32/1", "prefix length is not"},
      {"10.0.0.0 /8", "not an IPv4"},
      {"none,10.0.0.1", "\"none\": not an IPv4"},
      {"10.0.0.1,,10.0.0.2", "empty item"},
      {"10.0.0.1,", "empty item"},
      {"self", "\"self\": not an IPv4"},
      {" \t", "no items"}};
  for (const auto& [text, expected] : good) {
    address_list list;
    std::string problem;
    EXPECT_TRUE(parse_address_list(text, list, problem)) << text << ": " << problem;
    EXPECT_EQ(format_address_list(list), expected) << text;
  }
  for (auto [text, expected] : bad) {
    address_list list = parsed("1.0.0.0/8");
    std::string problem;
    EXPECT_FALSE(parse_address_list(text, list, problem)) << text;
    EXPECT_NE(problem.find(expected), std::string::npos) << text << ": " << problem;
    EXPECT_EQ(list, parsed("1.0.0.0/8")) << text;
  }
}

// An IPv4 address is the same however it is written, mapped or not.
TEST(AddressList, MatchesUpToTheRangeEdges) {
  const address_list list = parsed("10.0.0.0/8,192.168.1.7,2001:db8:8000::/33,::1");
  for (const char* inside : {"10.0.0.0", "10.255.255.255", "192.168.1.7", "::ffff:10.1.2.3",
                             "::ffff:a00:1", "2001:db8:8000::", "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff",
                             "::1"}) {
    EXPECT_TRUE(list_contains(list, ip(inside))) << inside;
  }
  for (const char* outside : {"9.255.255.255", "11.0.0.0", "192.168.1.6", "192.168.1.8",
                              "2001:db8:7fff:ffff:ffff:ffff:ffff:ffff", "2001:db9::", "::2", "::",
                              "::a00:1", "64:ff9b::a00:1"}) {
    EXPECT_FALSE(list_contains(list, ip(outside))) << outside;
  }
  EXPECT_TRUE(list_contains(parsed("0.0.0.0/0"), ip("255.255.255.255")));
  EXPECT_FALSE(list_contains(parsed("0.0.0.0/0"), ip("::1")));
  EXPECT_TRUE(list_contains(parsed("::/0"), ip("1.2.3.4")));
  EXPECT_FALSE(list_contains(address_list{}, ip("0.0.0.0")));
}

// "self" is a word only DENY_TO takes; it matches no address by itself.
TEST(AddressList, SelfIsAWordOfItsOwn) {
  address_list list;
  std::string problem;
  ASSERT_TRUE(parse_address_list("10.0.0.0/8, self", list, problem, true)) << problem;
  EXPECT_TRUE(list_has_self(list));
  EXPECT_EQ(format_address_list(list), "10.0.0.0/8,self");
  for (const char* address : {"0.0.0.0", "255.255.255.255", "127.0.0.1", "::", "::1"}) {
    EXPECT_FALSE(list_contains(list, ip(address))) << address;
  }
  ASSERT_TRUE(parse_address_list("10.0.0.0/8", list, problem, true));
  EXPECT_FALSE(list_has_self(list));
}

TEST(PortList, ReadsPortsRangesAndNoneAndMatchesUpToTheEdges) {
  port_list list;
  std::string problem;
  ASSERT_TRUE(parse_port_list(" 1-65535 ", list, problem)) << problem;
  EXPECT_EQ(list, (port_list{{1, 65535}}));
  ASSERT_TRUE(parse_port_list("none", list, problem)) << problem;
  EXPECT_EQ(list, port_list{});
  ASSERT_TRUE(parse_port_list("443,\t9000-9100,80-80", list, problem)) << problem;
  EXPECT_EQ(list, (port_list{{443, 443}, {9000, 9100}, {80, 80}}));
  for (const char* text : {"0", "65536", "99999999999", "-1", "1-", "1-2-3", "0443", "+443",
                           "443 - 444", "http", "443,", "", "none,443", "9100-9000"}) {
    std::string why;
    EXPECT_FALSE(parse_port_list(text, list, why)) << text;
    EXPECT_NE(why, "") << text;
    EXPECT_EQ(list, (port_list{{443, 443}, {9000, 9100}, {80, 80}})) << text;
  }
  for (std::uint16_t port : {80, 443, 9000, 9050, 9100}) EXPECT_TRUE(list_contains(list, port));
  for (std::uint16_t port : {0, 79, 442, 444, 8999, 9101, 65535}) {
    EXPECT_FALSE(list_contains(list, port)) << port;
  }
}

}  // namespace
