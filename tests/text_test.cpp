// The text helpers the units share, at their edges.
#include "text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>

namespace {

using namespace ferry;
using namespace std::string_literals;

TEST(Text, EscapeBytesKeepsVisibleAsciiAndWhatTheCallerAsksFor) {
  const std::string text = "a~ \\\r\n\r\x7f\x00\x80\xff\r"s;
  const std::pair<kept_bytes, std::string> rows[] = {
      {{}, "a~\\x20\\x5c\\x0d\\x0a\\x0d\\x7f\\x00\\x80\\xff\\x0d"},
      {{.space = true, .backslash = true}, "a~ \\\\x0d\\x0a\\x0d\\x7f\\x00\\x80\\xff\\x0d"},
      {{.space = true, .backslash = true, .line_breaks = true},
       "a~ \\\r\n\\x0d\\x7f\\x00\\x80\\xff\\x0d"},
  };
  for (const auto& [keep, escaped] : rows) EXPECT_EQ(escape_bytes(text, keep), escaped);
}

TEST(Text, ReadDecimalTakesDigitsOnlyUpToTheLargest) {
  constexpr auto refused = leading_zeros::refused, allowed = leading_zeros::allowed;
  const std::tuple<const char*, std::uint64_t, leading_zeros, bool> rows[] = {
      {"0", 0, refused, true},
      {"256", 256, refused, true},
      {"256", 255, refused, false},
      {"007", 7, allowed, true},
      {"007", 7, refused, false},
      {"00", 0, refused, false},
      {"", 9, allowed, false},
      {"+1", 9, allowed, false},
      {"1 ", 9, allowed, false},
      {"18446744073709551615", UINT64_MAX, refused, true},
      {"18446744073709551616", UINT64_MAX, refused, false},
  };
  for (const auto& [text, largest, zeros, read] : rows) {
    std::uint64_t value = 12345;
    EXPECT_EQ(read_decimal(text, largest, zeros, value), read) << text;
    EXPECT_EQ(value, read ? std::stoull(text) : 12345) << text;
  }
}

TEST(Text, TrimBlanksAndFormatIpv4) {
  EXPECT_EQ(trim_blanks(" \t a \tb\t "), "a \tb");
  EXPECT_EQ(trim_blanks(" \t"), "");
  EXPECT_EQ(trim_blanks("\ra\n"), "\ra\n");
  EXPECT_EQ(format_ipv4(0), "0.0.0.0");
  EXPECT_EQ(format_ipv4(0x0a000102), "10.0.1.2");
  EXPECT_EQ(format_ipv4(0xffffffff), "255.255.255.255");
}

TEST(Text, CaseLinesListsAndPorts) {
  EXPECT_EQ(lower_case("Host-X9\xc4"s), "host-x9\xc4");
  EXPECT_TRUE(equals_ignoring_case("a\0B"s, "A\0b"s));
  EXPECT_FALSE(equals_ignoring_case("a\0b"s, "a\0c"s));
  EXPECT_FALSE(equals_ignoring_case("ab", "a"));
  // line, ending, the line taken, what is left
  const std::tuple<const char*, line_ending, const char*, const char*> lines[] = {
      {"a\r\nb", line_ending::kept, "a\r\n", "b"},  {"a\r\nb", line_ending::dropped, "a", "b"},
      {"a\rb\n", line_ending::dropped, "a\rb", ""}, {"a\r", line_ending::dropped, "a\r", ""},
      {"\n\n", line_ending::kept, "\n", "\n"},
  };
  for (auto [text, ending, line, rest] : lines) {
    std::string_view left = text;
    EXPECT_EQ(take_line(&left, ending), line) << text;
    EXPECT_EQ(left, rest) << text;
  }
  std::string items;
  EXPECT_FALSE(for_each_item(" a ,, b\t,c,d", [&items](std::string_view item) {
    items += "[" + std::string(item) + "]";
    return item != "c";
  }));
  EXPECT_EQ(items, "[a][][b][c]");
  EXPECT_TRUE(is_token("GET") && is_token("X-a!#$%&'*+.^_`|~9"));
  EXPECT_FALSE(is_token("") || is_token("a b") || is_token("a:") || is_token("\xc4"));
  EXPECT_EQ(hex_value('f') + hex_value('F') + hex_value('9'), 39);
  EXPECT_EQ(hex_value('g'), -1);
  EXPECT_TRUE(is_control('\t') && is_control('\x7f') && !is_control(' ') && !is_control('\x80'));
  std::uint16_t port = 7;
  EXPECT_TRUE(read_port("65535", leading_zeros::refused, port) && port == 65535);
  EXPECT_TRUE(read_port("080", leading_zeros::allowed, port) && port == 80);
  EXPECT_FALSE(read_port("080", leading_zeros::refused, port) ||
               read_port("65536", leading_zeros::allowed, port));
}

}  // namespace
