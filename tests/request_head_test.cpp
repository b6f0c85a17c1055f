// Request heads: bytes in, what a request asks for (or why not) out.
#include "request_head.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "log.h"

namespace {

using namespace ferry;
using namespace std::string_literals;

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
      {"GET /x HTTP/1.1\r\nHost: [::ffff:127.0.0.1]\r\n\r\n", "[::ffff:127.0.0.1]", 0, "/x", false,
       false},
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

}  // namespace
