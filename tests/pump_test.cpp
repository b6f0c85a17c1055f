// The two flows between socket pairs: what each side sent arrives, and a
// side's end is passed on while the pump still runs where it must be.
#include "pump.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <tuple>

#include "harness.h"
#include "log.h"
#include "unique_fd.h"

using namespace ferry;
using namespace std::chrono_literals;

namespace {

// Each side sends its word, maybe ends, and the pump runs to its end: a
// tunnel passes either end on, a request passes the client's.
TEST(Pump, MovesBothWaysAndPassesTheEndsItMust) {
  set_log_mode(log_mode::off);
  struct row {
    const char* name;
    bool tunnel, client_ends, server_ends;
    pump_end end;
    bool server_sees_end, client_sees_end;
  };
  const row rows[] = {
      {"tunnel, both end", true, true, true, pump_end::server_closed, true, true},
      {"tunnel, nobody ends", true, false, false, pump_end::idle, false, false},
      {"request, client ends", false, true, false, pump_end::idle, true, false},
      {"request, server ends", false, false, true, pump_end::server_closed, false, false},
  };
  for (const row& r : rows) {
    int client_pair[2], server_pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, client_pair), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, server_pair), 0);
    unique_fd to_client(client_pair[0]), client(client_pair[1]);
    unique_fd to_server(server_pair[0]), server(server_pair[1]);
    harness::send_all(client.get(), "up");
    harness::send_all(server.get(), "down");
    if (r.client_ends) shutdown(client.get(), SHUT_WR);
    if (r.server_ends) shutdown(server.get(), SHUT_WR);
    pump p;
    relay_scratch scratch;
    p.answer.small = &scratch.head;
    p.upload.small = &scratch.upload;
    p.answer.large = &scratch.large_answer;
    p.upload.large = &scratch.large_upload;
    p.upload.from = p.answer.to = to_client.get();
    p.answer.from = p.upload.to = to_server.get();
    p.tunnel = r.tunnel;
    p.idle_limit_ms = 100;
    EXPECT_EQ(pump_both_ways(p), r.end) << r.name;
    // ferry's ends are still open: an end seen here is one the pump passed on.
    harness::reply at_server = harness::read_reply(server.get(), 100ms);
    harness::reply at_client = harness::read_reply(client.get(), 100ms);
    EXPECT_EQ(std::tuple(at_server.data, at_server.ended(), at_client.data, at_client.ended()),
              std::tuple("up", r.server_sees_end, "down", r.client_sees_end))
        << r.name;
  }
}

}  // namespace
