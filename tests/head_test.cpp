// Reading a request's head from a socket pair: whole, in pieces past the
// first buffer, cut short, late, or another protocol's first bytes.
#include "head.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <tuple>
#include <vector>

#include "harness.h"

using namespace ferry;
using namespace std::chrono_literals;

namespace {

TEST(Head, ReadsAWholeHeadOrSaysWhyNot) {
  set_log_mode(log_mode::off);
  const std::string head = "GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n\r\n";
  constexpr auto none = foreign_protocol::none;
  struct row {
    const char* name;
    std::string sent;
    bool client_ends;
    std::size_t first_size, length;
    bool client_open, timed_out;
    foreign_protocol foreign;
  };
  const row rows[] = {
      {"whole, a body after it", head + "body", false, 4096, head.size(), true, false, none},
      {"past the first buffer", head, false, 16, head.size(), true, false, none},
      {"cut short", head.substr(0, 20), true, 4096, 0, false, false, none},
      {"late", head.substr(0, 20), false, 4096, 0, false, true, none},
      {"TLS", "\x16\x03\x01\x02\x00\x01", false, 4096, 0, true, false, foreign_protocol::tls},
  };
  for (const row& r : rows) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    unique_fd ferry_end(ends[0]), client(ends[1]);
    harness::send_all(client.get(), r.sent);
    if (r.client_ends) client.reset();
    std::vector<char> first(r.first_size);
    std::string longer;
    head_read state;
    std::size_t length = read_head(ferry_end.get(), first.data(), first.size(), 0, longer, state,
                                   deadline::in(100ms));
    EXPECT_EQ(std::tuple(length, state.client_open, state.timed_out, state.foreign),
              std::tuple(r.length, r.client_open, r.timed_out, r.foreign))
        << r.name;
    EXPECT_EQ(state.received.substr(0, length), head.substr(0, length)) << r.name;
  }
}

}  // namespace
