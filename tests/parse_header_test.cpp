// Request and answer heads: bytes in, rewritten text and record out.
#include "parse_header.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

using namespace std::string_literals;

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

TEST(ParseRequest, AbsoluteAndOriginFormTargets) {
  struct row {
    std::string head, host;
    std::uint16_t port;
    std::string path;
    bool absolute_form, body_expected;
    bool tunnel = false;
  };
  const row rows[] = {
      {"GET http://a.test/x?y HTTP/1.1\r\nHost: b.test\r\nContent-Length: 0\r\n\r\n", "a.test", 0,
       "/x?y", true, false},
      {"GET HTTP://A.test:8080 HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", "A.test", 8080, "/",
       true, true},
      {"GET http://a.test:?q HTTP/1.1\r\n\r\n", "a.test", 0, "?q", true, false},
      {"GET /p HTTP/1.1\r\nhOsT: \t b_c.test:65535 \r\nContent-Length: 5\r\n\r\n", "b_c.test",
       65535, "/p", false, true},
      {"\r\nPUT /p HTTP/1.1\nHost: a.test\nX: y\nHOST: A.TEST \n\n\0\rbody"s, "a.test", 0, "/p",
       false, false},
      // CONNECT takes its target from the request line, whatever Host says.
      {"CONNECT a.test:443 HTTP/1.1\r\nHost: b.test:80\r\n\r\n\x16\x03", "a.test", 443, "", false,
       false, true},
      {"CONNECT 10.0.0.1:8443 HTTP/1.0\r\n\r\n", "10.0.0.1", 8443, "", false, false, true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.head);
    http_request request;
    ASSERT_EQ(parse_request(r.head, &request), 0) << request.problem;
    EXPECT_EQ(request.host, r.host);
    EXPECT_EQ(request.port, r.port);
    EXPECT_EQ(request.path, r.path);
    EXPECT_EQ(request.absolute_form, r.absolute_form);
    EXPECT_EQ(request.body_expected, r.body_expected);
    EXPECT_EQ(request.tunnel, r.tunnel);
  }
}

TEST(ParseRequest, RefusesWithFourHundred) {
  const std::pair<std::string, std::string> rows[] = {
      {"GET / HTTP/1.1\r\n\r\n", "request names no host"},
      {"GET http://:80/ HTTP/1.1\r\nHost: a.test\r\n\r\n", "request names no host"},
      {"GET https://a.test/ HTTP/1.1\r\n\r\n", "unsupported request target"},
      {"CONNECT a.test HTTP/1.1\r\nHost: a.test:443\r\n\r\n", "CONNECT needs host:port"},
      {"CONNECT http://a.test:443/ HTTP/1.1\r\n\r\n", "CONNECT needs host:port"},
      {"CONNECT a.test:443/x HTTP/1.1\r\n\r\n", "CONNECT needs host:port"},
      {"CONNECT :443 HTTP/1.1\r\n\r\n", "request names no host"},
      {"CONNECT a.test:0 HTTP/1.1\r\n\r\n", "bad port"},
      {"CONNECT u@a.test:443 HTTP/1.1\r\n\r\n", "user information before host"},
      {"GET http://u:p@a.test/ HTTP/1.1\r\n\r\n", "user information before host"},
      {"GET http://[::1]/ HTTP/1.1\r\n\r\n", "bad host name"},
      {"GET / HTTP/1.1\r\nHost: a.test:0\r\n\r\n", "bad port"},
      {"GET / HTTP/1.1\r\nHost: a.test:65536\r\n\r\n", "bad port"},
      {"GET http://a/ HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", "two Host fields differ"},
      {"GET / HTTP/1.1\r\nHost: a.test\0\r\n\r\n"s, "NUL or bare CR in request head"},
      {"GET / HTTP/1.1\r\nHost: a.test\r\nX: \r\r\n\r\n", "NUL or bare CR in request head"},
      {"GET  / HTTP/1.1\r\nHost: a.test\r\n\r\n", "bad request line"},
      {"G(T / HTTP/1.1\r\nHost: a.test\r\n\r\n", "bad request line"},
      {"GET / HTTP/11\r\nHost: a.test\r\n\r\n", "bad request line"},
      {"GET / HTTP/1.1\r\nHost : a.test\r\n\r\n", "bad field line"},
      {"GET / HTTP/1.1\r\nHost: a\r\nX: a\r\n\tb\r\n\r\n", "obsolete line folding in request head"},
      {"GET / HTTP/1.1\r\nHost: a.test\r\n", "request head is not complete"},
  };
  for (const auto& [head, problem] : rows) {
    SCOPED_TRACE(head);
    http_request request;
    EXPECT_EQ(parse_request(head, &request), 400);
    EXPECT_STREQ(request.problem, problem.c_str());
  }
}

TEST(ForwardHead, OriginFormOneHostAndConnectionCloseLastOtherLinesAsReceived) {
  const std::pair<std::string, std::string> rows[] = {
      {"GET http://a.test:8080/p?q HTTP/1.1\r\nHost: b.test\r\nConnection: keep-alive, X-Hop\r\n"
       "Accept: */*\nx-hop: 1\r\nKeep-Alive: 300\r\nProxy-Authorization: Basic eA==\r\n"
       "Proxy-Connection: Keep-Alive\r\nconnection: TE\r\nTE: trailers\r\nX-Keep:  as is \r\n\r\n",
       "GET /p?q HTTP/1.1\r\nHost: a.test:8080\r\nAccept: */*\nProxy-Connection: Close\r\n"
       "X-Keep:  as is \r\nConnection: close\r\n\r\n"},
      {"GET http://a.test?x HTTP/1.1\r\nproxy-connection: keep-alive\r\n\r\n",
       "GET /?x HTTP/1.1\r\nHost: a.test\r\nproxy-connection: keep-alive\r\nConnection: "
       "close\r\n\r\n"},
      {"\nGET / HTTP/1.0\nHost: a.test:80\nHost: a.test:80\n\nbody",
       "GET / HTTP/1.0\r\nHost: a.test\r\nConnection: close\r\n\r\n"},
  };
  for (const auto& [head, expected] : rows) {
    SCOPED_TRACE(head);
    http_request request;
    ASSERT_EQ(parse_request(head, &request), 0) << request.problem;
    EXPECT_EQ(forward_head(head, request), expected);
  }
}

TEST(TraceHead, HidesCredentialsAndEscapesControlBytes) {
  const std::pair<std::string, std::string> rows[] = {
      {"GET / HTTP/1.1\r\nauthorization:  Basic dTpw \r\nCookie: a=1; b=2\r\n"
       "Proxy-Authorization: Basic eA==\nX-Cookie: kept\r\n\r\n",
       "GET / HTTP/1.1\r\nauthorization: [hidden, 10 bytes]\r\nCookie: [hidden, 8 bytes]\r\n"
       "Proxy-Authorization: [hidden, 10 bytes]\nX-Cookie: kept\r\n\r\n"},
      // A value cannot start a line of its own in the trace.
      {"GET / HTTP/1.1\r\nX: a\x1b[2J\rthread 2 freed\x7f\t\r\n\r\n",
       "GET / HTTP/1.1\r\nX: a\\x1b[2J\\x0dthread 2 freed\\x7f\\x09\r\n\r\n"},
      {"Cookie:\r\n", "Cookie: [hidden, 0 bytes]\r\n"},
      {"GET http://a\x9b.test/\xc2\x9b HTTP/1.1\r\n", "GET http://a\\x9b.test/\\xc2\\x9b HTTP/1.1\r\n"},
  };
  for (const auto& [head, shown] : rows) EXPECT_EQ(trace_head(head), shown) << head;
}

// Feeds `answer` in pieces of `piece` bytes (at once when 0), then finishes;
// returns the text sent on and the status.
std::pair<std::string, int> edit(std::string_view answer, std::size_t piece) {
  answer_editor editor;
  std::string text;
  for (std::size_t at = 0; at < answer.size(); at += piece == 0 ? answer.size() : piece) {
    std::string_view bytes = answer.substr(at, piece == 0 ? answer.size() : piece);
    bool was_passing = editor.passing();
    std::string_view out = editor.feed(bytes);
    if (was_passing) {
      EXPECT_EQ(out.data(), bytes.data()) << "copied while passing";
    }
    text += out;
  }
  text += editor.finish();
  return {text, editor.status()};
}

TEST(AnswerEditor, EditsTheFinalHeadWhateverTheSplit) {
  const std::string big_body(100000, 'b');
  const std::tuple<std::string, std::string, int> rows[] = {
      {"HTTP/1.1 200 OK\r\nConnection: keep-alive, X-Trace\r\nKeep-Alive: 5\r\nX-Trace: 1\r\n"
       "Content-Length: 4\r\n\r\nbody",
       "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\nbody", 200},
      {"HTTP/1.1 100 Continue\r\nConnection: keep-alive\r\n\r\nHTTP/1.1 103 Early\r\n\r\n"
       "HTTP/1.0 404 Not Found\nConnection:  close\n\nConnection: keep-alive\r\n\r\n",
       "HTTP/1.1 100 Continue\r\nConnection: keep-alive\r\n\r\nHTTP/1.1 103 Early\r\n\r\n"
       "HTTP/1.0 404 Not Found\nConnection: close\r\n\nConnection: keep-alive\r\n\r\n",
       404},
      {"HTTP/1.1 101 Switching\r\nConnection: Upgrade\r\nUpgrade: ws\r\n\r\n\x81",
       "HTTP/1.1 101 Switching\r\nConnection: close\r\n\r\n\x81", 101},
      {"HTTP/1.1 204\r\nConnection: a,\r\n b\r\nB: 1\r\nC: 2\r\n\r\n",
       "HTTP/1.1 204\r\nC: 2\r\nConnection: close\r\n\r\n", 204},
      {"HTTP/1.1 200 OK\r\n\r\n" + big_body,
       "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + big_body, 200},
      // Not HTTP, or cut short: everything passes as it came.
      {"HTTP/1.1 20x OK\r\n\r\n", "HTTP/1.1 20x OK\r\n\r\n", 0},
      {"HTTP/1.1 600 Odd\r\nConnection: x\r\n\r\n", "HTTP/1.1 600 Odd\r\nConnection: x\r\n\r\n", 0},
      {"\r\nHTTP/1.1 200 OK\r\n\r\n", "\r\nHTTP/1.1 200 OK\r\n\r\n", 0},
      {"HTTP/1.1 100 Continue\r\n\r\nhello", "HTTP/1.1 100 Continue\r\n\r\nhello", 0},
      {"HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n",
       "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n", 0},
  };
  for (const auto& [answer, expected, status] : rows) {
    for (std::size_t piece : {0, 1, 2, 7, 40}) {
      SCOPED_TRACE(answer.substr(0, 40) + " in pieces of " + std::to_string(piece));
      EXPECT_EQ(edit(answer, piece), std::make_pair(expected, status));
    }
  }
}

TEST(AnswerEditor, DecidesOnTheFirstByteThatCannotStartAStatusLine) {
  answer_editor editor, other;
  EXPECT_EQ(editor.feed("H"), "");
  EXPECT_EQ(editor.feed("TTP/1.1 20"), "");
  EXPECT_FALSE(editor.passing());
  EXPECT_EQ(editor.feed("!"), "HTTP/1.1 20!");
  EXPECT_TRUE(editor.passing());
  EXPECT_EQ(other.feed("X"), "X");
  EXPECT_TRUE(other.passing());
}

TEST(AnswerEditor, HeadsUpToTheLimitAreEditedLongerOnesPassUntouched) {
  const std::string start = "HTTP/1.1 200 OK\r\nX: ";
  const std::string end = "\r\nConnection: keep-alive\r\n\r\n";
  for (std::size_t extra : {0, 1}) {
    std::string answer =
        start + std::string(max_head_size - start.size() - end.size() + extra, 'a') + end + "body";
    for (std::size_t piece : {0, 1, 4096}) {
      SCOPED_TRACE(std::to_string(extra) + " over, pieces of " + std::to_string(piece));
      auto [text, status] = edit(answer, piece);
      EXPECT_EQ(status, extra == 0 ? 200 : 0);
      EXPECT_EQ(text == answer, extra == 1);
    }
  }
}

}  // namespace
