// Forwarded heads: a request head in, the head the next hop reads out.
#include "forward_head.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <tuple>
#include <utility>

namespace {

using namespace ferry;
using namespace std::string_literals;

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
  const std::string via =
      "GET http://a.test:81/p HTTP/1.1\r\nVia: 1.0 x\r\nA: 1\r\n"
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

}  // namespace
