// The scan of a head: where it ends.
#include "head_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <tuple>
#include <utility>

namespace {

using namespace ferry;
using namespace std::string_literals;

TEST(HeadLength, EndsAtTheFirstEmptyLineAfterTheStartLine) {
  const std::pair<std::string, std::string> rows[] = {
      // bytes, the head they start with
      {"GET / HTTP/1.1\r\nHost: a\r\n\r\nbody\r\n\r\n", "GET / HTTP/1.1\r\nHost: a\r\n\r\n"},
      {"GET / HTTP/1.1\r\n\nrest", "GET / HTTP/1.1\r\n\n"},
      {"GET / HTTP/1.1\n\r\nrest", "GET / HTTP/1.1\n\r\n"},
      {"\r\n\nGET / HTTP/1.1\n\n", "\r\n\nGET / HTTP/1.1\n\n"},
      {"\r\n\r\n\n", ""},
      {"GET / HTTP/1.1\r\n\r", ""},
      {"GET / HTTP/1.1\r\r\n\r", ""},  // "\r" is a line, not an empty one
  };
  for (const auto& [bytes, head] : rows) EXPECT_EQ(head_length(bytes), head.size()) << bytes;
}

}  // namespace
