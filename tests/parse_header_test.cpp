// Head rewrite and scan: bytes in, rewritten text and record out.
#include "parse_header.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr char keep_alive[] = "Proxy-Connection: Keep-Alive\r\n";
constexpr char close_line[] = "Proxy-Connection: Close\r\n";

struct parsed {
  std::string text;  // buff after the rewrite, up to its terminator
  http_header record;
};

// Runs parse_header on a heap copy of `head` sized exactly to it and its
// terminator, over a record full of garbage so stale fields show.
parsed parse(const std::string& head) {
  auto buffer = std::make_unique<char[]>(head.size() + 1);
  std::memcpy(buffer.get(), head.data(), head.size());
  buffer[head.size()] = '\0';
  parsed result;
  std::memset(&result.record, 'X', sizeof result.record);
  EXPECT_EQ(parse_header(buffer.get(), &result.record), 0);
  result.text = buffer.get();
  return result;
}

std::string host_of(const std::string& head) { return parse(head).record.hostname; }

std::string replaced(const char* from, const char* find, const char* replace) {
  char* result = strrep(from, find, replace);
  std::string text = result == nullptr ? "<null>" : result;
  std::free(result);
  return text;
}

TEST(Strrep, ReplacesLeftToRightWithoutOverlap) {
  EXPECT_EQ(replaced("", "ab", "X"), "");
  EXPECT_EQ(replaced("no match here", "ab", "X"), "no match here");
  EXPECT_EQ(replaced("abab", "ab", "X"), "XX");
  EXPECT_EQ(replaced("aaa", "aa", "X"), "Xa");
  EXPECT_EQ(replaced("xaby", "ab", ""), "xy");
  // Text already appended is never searched again.
  EXPECT_EQ(replaced("aab", "ab", "b"), "ab");
  EXPECT_EQ(replaced("ab", "a", "aa"), "aab");
  EXPECT_EQ(replaced("Ab", "ab", "X"), "Ab");
  std::string long_replacement(1000, 'r');
  EXPECT_EQ(replaced("-a-a-", "a", long_replacement.c_str()),
            "-" + long_replacement + "-" + long_replacement + "-");
}

TEST(ParseHeader, RewritesKeepAliveAndScansTheHead) {
  std::string head = std::string("GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n") + keep_alive +
                     "Cache-Control: no-cache\r\nAccept: */*\r\n\r\n";
  parsed result = parse(head);
  std::string expected = head;
  expected.replace(expected.find(keep_alive), std::strlen(keep_alive), close_line);
  EXPECT_EQ(result.text, expected);
  EXPECT_EQ(result.text.size(), head.size() - 5);
  EXPECT_STREQ(result.record.hostname, "a.test");
  EXPECT_STREQ(result.record.proxycon, "Keep-Alive");  // as received, before the rewrite
  EXPECT_STREQ(result.record.cache_control, "no-cache");

  // Two lines in a row are both rewritten.
  std::string twice = std::string("Host: b.test\r\n") + keep_alive + keep_alive + "\r\n";
  parsed both = parse(twice);
  EXPECT_EQ(both.text, std::string("Host: b.test\r\n") + close_line + close_line + "\r\n");
  EXPECT_EQ(both.text.size(), twice.size() - 10);
}

TEST(ParseHeader, OtherSpellingsAreScannedButNotRewritten) {
  for (const std::string line :
       {"proxy-connection: keep-alive\r\n", "PROXY-CONNECTION: Keep-Alive\r\n",
        "Proxy-Connection:  Keep-Alive\r\n", "Proxy-Connection: Keep-Alive\n"}) {
    SCOPED_TRACE(line);
    std::string head = "GET / HTTP/1.1\r\n" + line + "Host: c.test\r\n\r\n";
    parsed result = parse(head);
    EXPECT_EQ(result.text, head);
    EXPECT_STRCASEEQ(result.record.proxycon, "keep-alive");
    EXPECT_STREQ(result.record.hostname, "c.test");
  }
}

TEST(ParseHeader, HostIsTheTokenAfterTheKeyword) {
  EXPECT_EQ(host_of("GET / HTTP/1.1\r\nhost: lower.test\r\n\r\n"), "lower.test");
  EXPECT_EQ(host_of("GET / HTTP/1.1\r\nHOST: upper.test\r\n\r\n"), "upper.test");
  EXPECT_EQ(host_of("Host: a.test:8080\r\n"), "a.test:8080");
  EXPECT_EQ(host_of("Host:   spaced.test   \r\n"), "spaced.test");
  EXPECT_EQ(host_of("Host: first word\r\n"), "first");
  EXPECT_EQ(host_of("Host: tab\tted\r\n"), "tab\tted");
  EXPECT_EQ(host_of("Host:\r\nAccept: x\r\n\r\n"), "Accept:");
  EXPECT_EQ(host_of("Host:\r\n\r\n\n\rnext.test\r\n"), "next.test");
  EXPECT_EQ(host_of("Host: one.test\r\nHost: two.test\r\n\r\n"), "two.test");
  EXPECT_EQ(host_of("X-Note: Host: fake.test\r\nHost: real.test\r\n\r\n"), "real.test");
  EXPECT_EQ(host_of("GET Host: inline.test HTTP/1.1\r\n"), "inline.test");
  // The scan goes past the end of the head into the body.
  EXPECT_EQ(host_of("Host: head.test\r\n\r\nbody Host: body.test"), "body.test");
  EXPECT_EQ(host_of("Host:example.test\r\n\r\n"), "");
  EXPECT_EQ(host_of("Hosts: no.test\r\n"), "");
  EXPECT_EQ(host_of("GET / HTTP/1.1\r\nAccept: */*\r\n\r\n"), "");
  EXPECT_EQ(host_of("Host:"), "");
}

TEST(ParseHeader, LongValuesAreCutAndTerminated) {
  std::string long_host(300, 'h');
  std::string long_proxy(25, 'p');
  std::string long_cache = "no-cache-please";
  parsed result = parse("Host: " + long_host + "\r\nProxy-Connection: " + long_proxy +
                        "\r\nCache-Control: " + long_cache + "\r\n\r\n");
  EXPECT_EQ(std::string(result.record.hostname), long_host.substr(0, 255));
  EXPECT_EQ(std::string(result.record.proxycon), long_proxy.substr(0, 19));
  EXPECT_EQ(std::string(result.record.cache_control), "no-cache-");

  // Values that just fit stay whole.
  parsed fitting =
      parse("Host: " + std::string(255, 'h') + "\r\nProxy-Connection: " + std::string(19, 'p') +
            "\r\nCache-Control: " + "private!!" + "\r\n");
  EXPECT_EQ(std::string(fitting.record.hostname), std::string(255, 'h'));
  EXPECT_EQ(std::string(fitting.record.proxycon), std::string(19, 'p'));
  EXPECT_EQ(std::string(fitting.record.cache_control), "private!!");
}

TEST(ParseHeader, WorksOnTheTextUpToItsTerminator) {
  // Nothing after the zero is scanned or rewritten, and the bytes there stay.
  std::string tail = std::string("Host: hidden.test\r\n") + keep_alive;
  std::string head = std::string("Host: shown.test\r\n") + keep_alive;
  std::string buffer = head + '\0' + tail;
  auto bytes = std::make_unique<char[]>(buffer.size() + 1);
  std::memcpy(bytes.get(), buffer.data(), buffer.size());
  bytes[buffer.size()] = '\0';
  http_header record;
  parse_header(bytes.get(), &record);
  EXPECT_STREQ(record.hostname, "shown.test");
  std::string rewritten = std::string("Host: shown.test\r\n") + close_line;
  EXPECT_EQ(std::string(bytes.get()), rewritten);
  // Past the new terminator: the old head's last five bytes, then the tail.
  EXPECT_EQ(std::string(bytes.get() + rewritten.size() + 1, head.size() - rewritten.size() - 1),
            head.substr(rewritten.size() + 1));
  EXPECT_EQ(std::string(bytes.get() + head.size() + 1), tail);

  parsed empty = parse("");
  EXPECT_EQ(empty.text, "");
  EXPECT_STREQ(empty.record.hostname, "");
  EXPECT_STREQ(empty.record.proxycon, "");
  EXPECT_STREQ(empty.record.cache_control, "");
}

TEST(ParseHeader, FullSizeHeadIsRewrittenToItsLastByte) {
  std::string start = "GET / HTTP/1.1\r\nHost: full.test\r\nX-Pad: ";
  std::string end = std::string("\r\n") + keep_alive;
  std::string head = start + std::string(4096 - start.size() - end.size(), 'x') + end;
  ASSERT_EQ(head.size(), 4096u);
  parsed result = parse(head);
  EXPECT_EQ(result.text.size(), 4091u);
  EXPECT_TRUE(result.text.ends_with(std::string("\r\n") + close_line));
  EXPECT_STREQ(result.record.hostname, "full.test");
  EXPECT_STREQ(result.record.proxycon, "Keep-Alive");
}

}  // namespace
