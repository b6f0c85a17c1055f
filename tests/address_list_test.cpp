// Address and port lists, fed the text a setting holds.
#include "address_list.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

using namespace ferry;

constexpr std::uint32_t all_ones = 0xffffffff;

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

// A list is read whole or left as it was, with the reason for the first bad item.
TEST(AddressList, ReadsAWholeListOrSaysWhyNot) {
  const std::pair<const char*, address_list> good[] = {
      {" 10.200.3.40 ,\t192.168.0.0/16\t", {{0x0ac80328, all_ones}, {0xc0a80000, 0xffff0000}}},
      {"0.0.0.0/0,255.255.255.255/32", {{0, 0}, {all_ones, all_ones}}},
      {" none\t", {}}};
  const std::pair<const char*, const char*> bad[] = {
      {"10.0.0.0/33", "\"10.0.0.0/33\": prefix length above 32"},
      {"10.1.2.3/8", "\"10.1.2.3/8\": host bits are set; the network is 10.0.0.0/8"},
      {"0.0.0.1/0", "the network is 0.0.0.0/0"},
      {"127.0.0.1, 127.1", "\"127.1\": not an address"},
      {"10.0.0.0/08", "prefix length is not"},
      {"1.2.3.4/32/1", "prefix length is not"},
      {"10.0.0.0 /8", "not an address"},
      {"none,10.0.0.1", "\"none\": not an address"},
      {"10.0.0.1,,10.0.0.2", "empty item"},
      {"10.0.0.1,", "empty item"},
      {"self", "\"self\": not an address"},
      {" \t", "no items"}};
  for (const auto& [text, expected] : good) {
    address_list list = {{1, all_ones}};
    std::string problem;
    EXPECT_TRUE(parse_address_list(text, list, problem)) << text << ": " << problem;
    EXPECT_EQ(list, expected) << text;
  }
  for (auto [text, expected] : bad) {
    address_list list = {{1, all_ones}};
    std::string problem;
    EXPECT_FALSE(parse_address_list(text, list, problem)) << text;
    EXPECT_NE(problem.find(expected), std::string::npos) << text << ": " << problem;
    EXPECT_EQ(list, (address_list{{1, all_ones}})) << text;
  }
}

TEST(AddressList, MatchesUpToTheRangeEdges) {
  const address_list list = {{0x0a000000, 0xff000000}, {0xc0a80107, all_ones}};
  for (std::uint32_t inside : {0x0a000000u, 0x0affffffu, 0xc0a80107u}) {
    EXPECT_TRUE(list_contains(list, inside)) << std::hex << inside;
  }
  for (std::uint32_t outside : {0x09ffffffu, 0x0b000000u, 0xc0a80106u, 0xc0a80108u}) {
    EXPECT_FALSE(list_contains(list, outside)) << std::hex << outside;
  }
  EXPECT_TRUE(list_contains(address_list{{0, 0}}, all_ones));
  EXPECT_FALSE(list_contains(address_list{}, 0));
}

// "self" is a word only DENY_TO takes; it matches no address by itself.
TEST(AddressList, SelfIsAWordOfItsOwn) {
  address_list list;
  std::string problem;
  ASSERT_TRUE(parse_address_list("10.0.0.0/8, self", list, problem, true)) << problem;
  EXPECT_TRUE(list_has_self(list));
  EXPECT_EQ(format_address_list(list), "10.0.0.0/8,self");
  for (std::uint32_t address : {0u, all_ones, 0x7f000001u}) EXPECT_FALSE(list_contains(list, address));
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
