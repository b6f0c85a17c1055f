// Request and answer heads: bytes in, what a request asks for and the
// rewritten heads out.
#include "parse_header.h"

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
      // An IPv6 address keeps its brackets, as the Host field sent on needs them.
      {"CONNECT [::1]:443 HTTP/1.1\r\n\r\n", "[::1]", 443, "", false, false, true},
      {"GET http://[2001:db8::7]:81/x HTTP/1.1\r\n\r\n", "[2001:db8::7]", 81, "/x", true, false},
      {"GET /x HTTP/1.1\r\nHost: [::ffff:127.0.0.1]\r\n\r\n", "[::ffff:127.0.0.1]", 0, "/x",
       false, false},
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
      {"GET http://[::1/ HTTP/1.1\r\n\r\n", "bad IPv6 address in brackets"},
      {"GET http://[fe80::1%25lo]/ HTTP/1.1\r\n\r\n", "bad IPv6 address in brackets"},
      {"GET http://[127.0.0.1]/ HTTP/1.1\r\n\r\n", "bad IPv6 address in brackets"},
      {"CONNECT [::1]x:443 HTTP/1.1\r\n\r\n", "bad port"},
      {"CONNECT [::1] HTTP/1.1\r\n\r\n", "CONNECT needs host:port"},
      {"GET http://::1/ HTTP/1.1\r\n\r\n", "request names no host"},
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
      // Shapes that let one request hide in another's body.
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n",
       "both Content-Length and Transfer-Encoding"},
      {"POST / HTTP/1.1\r\nHost: a\r\ntransfer-encoding: x\r\ncontent-length: 0\r\n\r\n",
       "both Content-Length and Transfer-Encoding"},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n",
       "bad Content-Length"},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5, 6\r\n\r\n", "bad Content-Length"},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: +5\r\n\r\n", "bad Content-Length"},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 4611686018427387905\r\n\r\n",
       "bad Content-Length"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked, gzip\r\n\r\n",
       "Transfer-Encoding does not end in chunked"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n"
       "\r\n",
       "Transfer-Encoding does not end in chunked"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: \r\n\r\n",
       "Transfer-Encoding does not end in chunked"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding : chunked\r\n\r\n", "bad field line"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip\r\n chunked\r\n\r\n",
       "obsolete line folding in request head"},
  };
  for (const auto& [head, problem] : rows) {
    SCOPED_TRACE(head);
    http_request request;
    EXPECT_EQ(parse_request(head, &request), 400);
    EXPECT_STREQ(request.problem, problem.c_str());
  }
}

TEST(ParseRequest, FramesTheBodyAndReadsConnectionWishes) {
  struct row {
    std::string head;
    body_kind kind;
    std::uint64_t length;
    bool body_expected, close_wanted, upgrade_wanted;
    std::string upgrade;
  };
  const std::string post = "POST / HTTP/1.1\r\nHost: a\r\n";
  const row rows[] = {
      {post + "Content-Length: 007, 7\r\nContent-Length: 7\r\n\r\n", body_kind::length, 7, true,
       false, false, ""},
      {post + "Transfer-Encoding: gzip, , Chunked, \r\nConnection: keep-alive\r\n\r\n",
       body_kind::chunked, 0, true, false, false, ""},
      {"GET / HTTP/1.0\r\nHost: a\r\n\r\n", body_kind::none, 0, false, true, false, ""},
      {"GET / HTTP/1.0\r\nHost: a\r\nConnection: Keep-Alive\r\n\r\n", body_kind::none, 0, false,
       false, false, ""},
      {"POST / HTTP/1.0\r\nHost: a\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n",
       body_kind::chunked, 0, true, true, false, ""},
      {"GET / HTTP/1.1\r\nHost: a\r\nConnection: x, Upgrade\r\nconnection: CLOSE\r\n"
       "Upgrade: websocket\r\nUpgrade: h2c\r\n\r\n",
       body_kind::none, 0, false, true, true, "websocket"},
      {"GET / HTTP/1.1\r\nHost: a\r\nUpgrade: h2c\r\nConnection: closed\r\n\r\n", body_kind::none,
       0, false, false, false, "h2c"},
      {"GET / HTTP/1.1\r\nHost: a\r\nConnection: upgrade\r\nUpgrade: \r\n\r\n", body_kind::none, 0,
       false, false, false, ""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.head);
    http_request request;
    ASSERT_EQ(parse_request(r.head, &request), 0) << request.problem;
    EXPECT_EQ(std::tie(request.body.kind, request.body.length, request.body_expected,
                       request.close_wanted, request.upgrade_wanted),
              std::tie(r.kind, r.length, r.body_expected, r.close_wanted, r.upgrade_wanted));
    EXPECT_EQ(request.upgrade, r.upgrade);
  }
}

TEST(ForwardHead, OriginFormOneHostAndConnectionCloseLastOtherLinesAsReceived) {
  const std::pair<std::string, std::string> rows[] = {
      {"GET http://a.test:8080/p?q HTTP/1.1\r\nHost: b.test\r\nConnection: keep-alive, X-Hop\r\n"
       "Accept: */*\nx-hop: 1\r\nKeep-Alive: 300\r\nProxy-Authorization: Basic eA==\r\n"
       "Proxy-Connection: Keep-Alive\r\nconnection: TE\r\nTE: trailers\r\nX-Keep:  as is \r\n\r\n",
       "GET /p?q HTTP/1.1\r\nHost: a.test:8080\r\nAccept: */*\r\nProxy-Connection: Close\r\n"
       "X-Keep:  as is \r\nConnection: close\r\n\r\n"},
      {"GET http://a.test?x HTTP/1.1\r\nproxy-connection: keep-alive\r\n\r\n",
       "GET /?x HTTP/1.1\r\nHost: a.test\r\nproxy-connection: keep-alive\r\nConnection: "
       "close\r\n\r\n"},
      {"GET http://[::1]:8081 HTTP/1.1\r\n\r\n",
       "GET / HTTP/1.1\r\nHost: [::1]:8081\r\nConnection: close\r\n\r\n"},
      {"\nGET / HTTP/1.0\nHost: a.test:80\nHost: a.test:80\n\nbody",
       "GET / HTTP/1.0\r\nHost: a.test\r\nConnection: close\r\n\r\n"},
      // Only the exact line is rewritten, wherever it ends; a bare LF ends it as CRLF would.
      {"GET http://a.test/ HTTP/1.1\r\nProxy-Connection: Keep-Alive\r\n"
       "Proxy-Connection: Keep-Alive\r\nX-Proxy-Connection: Keep-Alive\r\n"
       "Proxy-Connection: Keep-Alive\n\r\n",
       "GET / HTTP/1.1\r\nHost: a.test\r\nProxy-Connection: Close\r\nProxy-Connection: Close\r\n"
       "X-Proxy-Connection: Close\r\nProxy-Connection: Close\r\nConnection: close\r\n\r\n"},
      // Equal lengths go on as one field of one number.
      {"POST http://a.test/ HTTP/1.1\r\ncontent-length: 4, 4\r\nX: a\r\n"
       "Content-Length: 004\r\n\r\n",
       "POST / HTTP/1.1\r\nHost: a.test\r\nContent-Length: 4\r\nX: a\r\nConnection: close\r\n\r\n"},
      {"PUT http://a.test/ HTTP/1.1\r\ncontent-length:\t0 \r\ncontent-length: 0\r\n\r\n",
       "PUT / HTTP/1.1\r\nHost: a.test\r\ncontent-length:\t0 \r\nConnection: close\r\n\r\n"},
  };
  for (const auto& [head, expected] : rows) {
    SCOPED_TRACE(head);
    http_request request;
    ASSERT_EQ(parse_request(head, &request), 0) << request.problem;
    EXPECT_EQ(forward_head(head, request), expected);
  }
  // ferry's Via entry goes after the client's, in one field; a parent gets
  // the absolute form and its own credentials, never the client's.
  const std::string via = "GET http://a.test:81/p HTTP/1.1\r\nVia: 1.0 x\r\nA: 1\r\n"
                          "via: 1.1 y\r\nProxy-Authorization: Basic eA==\r\n\r\n";
  http_request request;
  ASSERT_EQ(parse_request(via, &request), 0);
  EXPECT_EQ(forward_head(via, request, close_connection_field, {"gw", false, ""}),
            "GET /p HTTP/1.1\r\nHost: a.test:81\r\nA: 1\r\nVia: 1.0 x, 1.1 y, 1.1 gw\r\n"
            "Connection: close\r\n\r\n");
  EXPECT_EQ(forward_head(via, request, "", {"", true, "Proxy-Authorization: Basic cA==\r\n"}),
            "GET http://a.test:81/p HTTP/1.1\r\nHost: a.test:81\r\nVia: 1.0 x\r\nA: 1\r\n"
            "via: 1.1 y\r\nProxy-Authorization: Basic cA==\r\n\r\n");
}

TEST(ForeignProtocol, TlsAndSocksByTheirFirstBytesNeverAnHttpRequest) {
  const std::pair<std::string, foreign_protocol> rows[] = {
      {"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03"s, foreign_protocol::tls},
      {"\x04\x01\x00\x50\x7f\x00\x00\x01\x00"s, foreign_protocol::socks4},
      {"\x05\x02\x00\x02"s, foreign_protocol::socks5},
      // Too little to tell, or no greeting.
      {"\x16", foreign_protocol::none},
      {"\x04\x03", foreign_protocol::none},
      {"\x05\x00"s, foreign_protocol::none},
      {"\r\n\x16\x03", foreign_protocol::none},
      {"GET / HTTP/1.1\r\n", foreign_protocol::none},
  };
  for (const auto& [bytes, protocol] : rows) {
    EXPECT_EQ(foreign_protocol_of(bytes), protocol) << escape_for_trace(bytes);
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
      // The coding frames the body, so no length goes on beside it; equal
      // lengths go on as one, differing ones as they came.
      {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n0\r\n\r\n", 200},
      {"HTTP/1.1 200 OK\r\nContent-Length: 4, 4\r\nX: y\r\ncontent-length: 4\r\n\r\nbody",
       "HTTP/1.1 200 OK\r\nX: y\r\nContent-Length: 4\r\nConnection: close\r\n\r\nbody", 200},
      {"HTTP/1.1 200 OK\r\nContent-Length: 4, 5\r\n\r\n",
       "HTTP/1.1 200 OK\r\nContent-Length: 4, 5\r\nConnection: close\r\n\r\n", 200},
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

// For an HTTP/1.0 client no interim head goes on; a 101 nobody asked for,
// like bytes that cannot start a status line, marks the answer broken.
TEST(AnswerEditor, FitsTheAnswerToItsRequest) {
  const std::tuple<std::string, std::string, bool> rows[] = {
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early\r\nLink: x\r\n\r\nHTTP/1.1 204 No\r\n\r\n",
       "HTTP/1.1 204 No\r\nConnection: close\r\n\r\n", false},
      {"HTTP/1.1 101 Switching\r\nUpgrade: ws\r\n\r\n", "", true},
      {"\r\nHTTP/1.1 200 OK\r\n\r\n", "", true},
  };
  for (const auto& [answer, expected, broken] : rows) {
    answer_editor editor;
    editor.fit_to_request(false, false);
    std::string_view out = editor.feed(answer);
    EXPECT_EQ(editor.broken(), broken) << answer;
    EXPECT_EQ(editor.interim_bytes(), 0u);
    if (!broken) {
      EXPECT_EQ(out, expected) << answer;
    }
  }
}

TEST(AnswerEditor, DecidesOnTheFirstByteThatCannotStartAStatusLine) {
  answer_editor named;  // and adds its Via entry to the final head's
  named.add_via("gw");
  EXPECT_EQ(named.feed("HTTP/1.1 200 OK\r\nVia: 1.0 a\r\nX: 1\r\nVia: 1.1 b\r\n\r\n"),
            "HTTP/1.1 200 OK\r\nX: 1\r\nVia: 1.0 a, 1.1 b, 1.1 gw\r\nConnection: close\r\n\r\n");
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
