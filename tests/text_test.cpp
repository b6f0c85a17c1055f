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

}  // namespace
