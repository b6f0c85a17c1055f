// Address and port lists, fed the text a setting holds.
#include "address_list.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

constexpr std::uint32_t all_ones = 0xffffffff;

TEST(AddressList, ReadsOnlyPlainDottedQuads) {
  const std::pair<const char*, std::uint32_t> good[] = {{"0.0.0.0", 0},
                                                        {"255.255.255.255", all_ones},
                                                        {"127.0.0.1", 0x7f000001},
                                                        {"10.200.3.40", 0x0ac80328}};
  for (auto [text, expected] : good) {
    std::uint32_t address = 1;
    EXPECT_TRUE(parse_ipv4(text, address)) << text;
    EXPECT_EQ(address, expected) << text;
  }
  for (const char* text : {"127.1", "2130706433", "0x7f000001", "010.0.0.1", "1.2.3.04", "1.2.3.4.",
                           " 1.2.3.4", "1.2.3.4 ", "1.2.3.256", "1.2.3", "1..2.3", ".1.2.3", "",
                           "+1.2.3.4", "1.2.3.-4", "1.2.3.4/32", "1.2.3.99999999999"}) {
    std::uint32_t address = 7;
    EXPECT_FALSE(parse_ipv4(text, address)) << text;
    EXPECT_EQ(address, 7u) << text;
  }
}

TEST(AddressList, ReadsRangesAddressesAndNone) {
  const std::pair<const char*, address_list> good[] = {
      {"127.0.0.0/8", {{0x7f000000, 0xff000000}}},
      {" 10.0.0.1 ,\t192.168.0.0/16\t", {{0x0a000001, all_ones}, {0xc0a80000, 0xffff0000}}},
      {"0.0.0.0/0,1.2.3.4/32", {{0, 0}, {0x01020304, all_ones}}},
      {" none\t", {}}};
  for (const auto& [text, expected] : good) {
    address_list list = {{1, all_ones}};
    std::string problem;
    EXPECT_TRUE(parse_address_list(text, list, problem)) << text << ": " << problem;
    EXPECT_EQ(list, expected) << text;
  }
}

TEST(AddressList, RefusesTheWholeListAndSaysWhy) {
  const std::pair<const char*, const char*> bad[] = {
      {"10.0.0.0/33", "\"10.0.0.0/33\": prefix length above 32"},
      {"10.1.2.3/8", "\"10.1.2.3/8\": host bits are set; the network is 10.0.0.0/8"},
      {"0.0.0.1/0", "the network is 0.0.0.0/0"},
      {"127.0.0.1, 127.1", "\"127.1\": not an address"},
      {"10.0.0.0/08", "prefix length is not"},
      {"10.0.0.0/+8", "prefix length is not"},
      {"10.0.0.0/", "prefix length is not"},
      {"1.2.3.4/32/1", "prefix length is not"},
      {"10.0.0.0 /8", "not an address"},
      {"10.0.0.1 10.0.0.2", "not an address"},
      {"None", "not an address"},
      {"none,10.0.0.1", "\"none\": not an address"},
      {"10.0.0.1,,10.0.0.2", "empty item"},
      {"10.0.0.1,", "empty item"},
      {" ,10.0.0.1", "empty item"},
      {"", "no items"},
      {" \t", "no items"}};
  for (auto [text, expected] : bad) {
    address_list list = {{1, all_ones}};
    std::string problem;
    EXPECT_FALSE(parse_address_list(text, list, problem)) << text;
    EXPECT_NE(problem.find(expected), std::string::npos) << text << ": " << problem;
    EXPECT_EQ(list, (address_list{{1, all_ones}})) << text;
  }
}

TEST(AddressList, MatchesUpToTheRangeEdges) {
  address_list list;
  std::string problem;
  ASSERT_TRUE(parse_address_list("10.0.0.0/8,192.168.1.7", list, problem));
  for (std::uint32_t inside : {0x0a000000u, 0x0affffffu, 0xc0a80107u}) {
    EXPECT_TRUE(list_contains(list, inside)) << std::hex << inside;
  }
  for (std::uint32_t outside : {0x09ffffffu, 0x0b000000u, 0xc0a80106u, 0xc0a80108u}) {
    EXPECT_FALSE(list_contains(list, outside)) << std::hex << outside;
  }
  EXPECT_TRUE(list_contains(address_list{{0, 0}}, all_ones));
  EXPECT_FALSE(list_contains(address_list{}, 0));
}

TEST(PortList, ReadsPortsRangesAndNone) {
  const std::pair<const char*, port_list> good[] = {
      {"443,8443,9000-9100", {{443, 443}, {8443, 8443}, {9000, 9100}}},
      {" 1-65535 ", {{1, 65535}}},
      {"80-80,\t22", {{80, 80}, {22, 22}}},
      {"none", {}}};
  for (const auto& [text, expected] : good) {
    port_list list = {{7, 7}};
    std::string problem;
    EXPECT_TRUE(parse_port_list(text, list, problem)) << text << ": " << problem;
    EXPECT_EQ(list, expected) << text;
  }
  for (const char* text : {"0", "65536", "99999999999", "-1", "1-", "-5", "1-2-3", "0443", "+443",
                           "443 - 444", "http", "443,", ",443", "", "none,443", "9100-9000"}) {
    port_list list = {{7, 7}};
    std::string problem;
    EXPECT_FALSE(parse_port_list(text, list, problem)) << text;
    EXPECT_NE(problem, "") << text;
    EXPECT_EQ(list, (port_list{{7, 7}})) << text;
  }
}

TEST(PortList, MatchesUpToTheRangeEdges) {
  const port_list list = {{443, 443}, {9000, 9100}};
  for (std::uint16_t port : {443, 9000, 9050, 9100}) EXPECT_TRUE(list_contains(list, port)) << port;
  for (std::uint16_t port : {0, 442, 444, 8999, 9101, 65535}) {
    EXPECT_FALSE(list_contains(list, port)) << port;
  }
}

}  // namespace
