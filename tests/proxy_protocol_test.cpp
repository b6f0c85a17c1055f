// The PROXY protocol header, fed as bytes whole, byte by byte and cut short.
#include "proxy_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

using namespace ferry;

namespace {

using result = proxy_header::result;

// A version 2 header with its length filled in from `block`.
std::string v2(char command, char family, const std::string& block) {
  std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
  return header + command + family + char(block.size() >> 8) + char(block.size() & 255) + block;
}
const std::string tcp4_block("\xc0\xa8\x00\x01\x0a\x00\x00\x02\xdc\x04\x01\xbb", 12);
const std::string tcp6_block(36, '\x01');
const std::string padding(91, 'x');  // makes the longest line: 107 bytes

auto fields(const proxy_header& header) {
  return std::tuple(header.size, header.has_address, format_ip_address(header.address),
                    header.port);
}

proxy_header named(const char* address, std::uint16_t port) {
  proxy_header header{0, true, {}, port};
  parse_ip_address(address, header.address);
  return header;
}

TEST(ProxyProtocol, ReadsGoodHeadersAndTakesExactlyTheirBytes) {
  const proxy_header tcp4 = named("192.168.0.1", 56324), none{};
  const std::pair<std::string, proxy_header> cases[] = {
      {"PROXY TCP4 192.168.0.1 10.0.0.2 56324 443\r\n", tcp4},
      {"PROXY TCP4 0.0.0.0 255.255.255.255 0 65535\r\n", named("0.0.0.0", 0)},
      {"PROXY TCP6 2001:db8::1 ::ffff:10.0.0.2 4000 443\r\n", named("2001:db8::1", 4000)},
      {"PROXY TCP6 ::ffff:10.0.0.7 ::1 4000 443\r\n", named("10.0.0.7", 4000)},
      {"PROXY UNKNOWN\r\n", none},
      {"PROXY UNKNOWN ffff::1 ::1 1 2\r\n", none},
      {"PROXY UNKNOWN " + padding + "\r\n", none},
      {v2('\x21', '\x11', tcp4_block), tcp4},
      {v2('\x21', '\x11', tcp4_block + std::string("\x04\x00\x01\x00", 4)), tcp4},
      {v2('\x21', '\x21', tcp6_block), named("101:101:101:101:101:101:101:101", 257)},
      {v2('\x21', '\x00', ""), none},
      {v2('\x20', '\x00', ""), none},
      {v2('\x20', '\x12', "abc"), none}};
  for (auto [bytes, expected] : cases) {
    proxy_header header;
    ASSERT_EQ(parse_proxy_header(bytes + "GET / HTTP/1.1\r\n", header), result::complete) << bytes;
    expected.size = bytes.size();
    EXPECT_EQ(fields(header), fields(expected)) << bytes;
    for (std::size_t size = 0; size < bytes.size(); ++size) {
      EXPECT_EQ(parse_proxy_header(bytes.substr(0, size), header), result::incomplete)
          << bytes << " cut at " << size;
    }
  }
}

TEST(ProxyProtocol, TellsBadFromUnfinishedAsSoonAsItCan) {
  const std::string tcp6_word(44, '1');  // two of them leave no room for the ports
  const std::pair<std::string, result> cases[] = {
      {"PRO", result::incomplete},
      {std::string("\r\n\r\n\0\r", 6), result::incomplete},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2\r", result::incomplete},
      {v2('\x21', '\x11', tcp4_block).substr(0, 25), result::incomplete},
      {"GET / HTTP/1.1\r\n", result::bad},
      {"proxy TCP4 1.2.3.4 5.6.7.8 1 2\r\n", result::bad},
      {"PROXY  TCP4", result::bad},
      {"PROXY TCP4 1.2.3.4  5", result::bad},
      {"PROXY TCP4 01", result::bad},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 01", result::bad},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 65536", result::bad},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1\r", result::bad},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2 \r\n", result::bad},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n", result::bad},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2\rx", result::bad},
      {"PROXY TCP4 ::1", result::bad},
      {"PROXY TCP6 ::g", result::bad},
      {"PROXY TCP6 1::2::3 ::1 1 2\r\n", result::bad},
      {"PROXY TCP6 fe80::1%lo", result::bad},
      {"PROXY TCP5", result::bad},
      {"PROXY UNKNOWNX", result::bad},
      {"PROXY UNKNOWN " + padding + "x", result::bad},
      {"PROXY TCP6 " + tcp6_word + ": " + tcp6_word + ":", result::bad},
      {std::string("\r\n\r\n\0\r\nQUIX", 11), result::bad},
      {v2('\x11', '\x11', tcp4_block), result::bad},
      {v2('\x31', '\x11', tcp4_block), result::bad},
      {v2('\x22', '\x11', tcp4_block), result::bad},
      {v2('\x21', '\x12', tcp4_block), result::bad},
      {v2('\x21', '\x31', std::string(216, 'u')), result::bad},
      {v2('\x21', '\x11', tcp4_block.substr(0, 11)), result::bad},
      {v2('\x21', '\x21', tcp6_block.substr(0, 35)), result::bad}};
  for (const auto& [bytes, expected] : cases) {
    proxy_header header;
    EXPECT_EQ(parse_proxy_header(bytes, header), expected) << bytes;
  }
}

}  // namespace
