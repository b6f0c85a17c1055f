// Server connections shared by client connections: in this process, over
// real sockets, with an origin that counts the connections it is given.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "harness.h"
#include "origin_servers.h"
#include "relay.h"

using namespace harness;
using ferry::unique_fd;

namespace {

const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
const std::string ntlm = "HTTP/1.1 401 No\r\nWWW-Authenticate: NTLM\r\nContent-Length: 0\r\n\r\n";
const std::string long_answer =
    "HTTP/1.1 200 OK\r\nContent-Length: 1048576\r\n\r\n" + random_bytes(1 << 20, 3);

// Answers request after request; /speak sends bytes after its answer, /long
// right after it, /bye closes after it. Returns what came.
std::string serve_kept(int fd) {
  std::string log;
  for (std::string head; !(head = read_head(fd, 30s)).empty(); log += head) {
    if (head.find("/long ") != std::string::npos) {
      send_within(fd, long_answer + "stray");
      continue;
    }
    send_within(fd, head.find("/ntlm ") != std::string::npos ? ntlm : ok);
    if (head.find("/speak ") != std::string::npos) {
      std::this_thread::sleep_for(20ms);  // into the pool first
      send_within(fd, "stray");
    }
    if (head.find("/bye ") != std::string::npos) return log + head;
  }
  return log;
}

// A request for http://`host``path`, with `more` fields.
std::string asked(const std::string& method, const std::string& host, const char* path = "/",
                  const std::string& more = "") {
  std::string body = method == "POST" ? "Content-Length: 2\r\n\r\nhi" : "\r\n";
  return method + " http://" + host + path + " HTTP/1.1\r\nHost: " + host + "\r\n" + more + body;
}

// A client connection served in this process, request after request.
struct client {
  explicit client(const ferry::relay_setup& setup, std::uint32_t from = 0x7f000001) {
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    far.reset(pair[1]);
    connection.client.reset(pair[0]);
    connection.peer.address = ferry::ipv4_address(from);
    relay = std::thread([this, &setup] {
      ferry::relay_scratch scratch;
      ferry::access_record record;
      // As a request thread does once the client's next request is not
      // there at once.
      while (ferry::relay_request(connection, record, nullptr, setup, scratch) ==
             ferry::connection_next::wait_for_request) {
        ferry::give_back_server(connection, setup);
      }
      ferry::give_back_server(connection, setup);
      connection.client.reset();
    });
  }
  ~client() { far.reset(), relay.join(); }
  std::string ask(const std::string& request, std::size_t size = ok.size()) {
    send_all(far.get(), request);
    return read_up_to(far.get(), size);
  }
  unique_fd far;
  ferry::client_connection connection;
  std::thread relay;
};

// A connection goes back to the pool after its answer has gone.
bool pool_holds(const ferry::relay_setup& setup, std::size_t count) {
  for (int i = 0; i < 200 && setup.pool->idle() != count; ++i) std::this_thread::sleep_for(10ms);
  return setup.pool->idle() == count;
}

}  // namespace

// One origin behind three names, counting the connections it is given, and
// client connections one after another and side by side.
TEST(ServerPool, ClientsShareWhatTheServerLeavesClean) {
  set_hosts("127.0.0.1 origin.test ntlm.test idle.test\n");
  ferry::set_log_mode(ferry::log_mode::off);
  scripted_origin origin("127.0.0.1", serve_kept, 8);
  ferry::settings config;
  config.via_name.clear();
  auto setup = ferry::set_up_relay(config, 8080);
  {  // A client's close is its own: the server's connection waits for the next client.
    client a(*setup);
    send_all(a.far.get(), asked("GET", "origin.test", "/", "Connection: close\r\n"));
    EXPECT_TRUE(read_reply(a.far.get()).data.ends_with("\r\n\r\nok"));
  }
  ASSERT_TRUE(pool_holds(*setup, 1));
  {
    client b(*setup), c(*setup);
    EXPECT_EQ(b.ask(asked("GET", "origin.test")), ok);
    EXPECT_EQ(origin.accepted(), 1);
    ASSERT_TRUE(pool_holds(*setup, 1));
    // A POST takes only what its own client connection left.
    EXPECT_EQ(c.ask(asked("POST", "origin.test")), ok);
    EXPECT_EQ(origin.accepted(), 2);
    ASSERT_TRUE(pool_holds(*setup, 2));
    EXPECT_EQ(c.ask(asked("POST", "origin.test")), ok);
    EXPECT_EQ(origin.accepted(), 2);
    // A server's close, or bytes, while its connection waits cost no one a request.
    EXPECT_EQ(c.ask(asked("GET", "idle.test", "/bye")), ok);
    ASSERT_TRUE(origin.wait_done(1));
    EXPECT_EQ(c.ask(asked("POST", "idle.test")), ok);
    EXPECT_EQ(b.ask(asked("GET", "idle.test", "/speak")), ok);
    ASSERT_TRUE(origin.wait_done(2, 3s));  // ferry closed it when it spoke
    EXPECT_EQ(b.ask(asked("GET", "idle.test")), ok);
    EXPECT_EQ(origin.accepted(), 5);
    // A connection that asked for NTLM stays with its client.
    EXPECT_EQ(b.ask(asked("GET", "ntlm.test", "/ntlm"), ntlm.size()), ntlm);
    EXPECT_EQ(c.ask(asked("GET", "ntlm.test")), ok);
    EXPECT_EQ(b.ask(asked("GET", "ntlm.test")), ok);
    EXPECT_EQ(origin.accepted(), 7);
    // A long answer passes to its last byte; its server's bytes past it reach
    // no one, and that connection is closed.
    EXPECT_TRUE(c.ask(asked("GET", "origin.test", "/long"), long_answer.size()) == long_answer);
    ASSERT_TRUE(origin.wait_done(3, 3s));
    EXPECT_EQ(c.ask(asked("GET", "origin.test")), ok);
    // DENY_TO holds for a client from elsewhere whatever the pool holds.
    client outsider(*setup, 0x0a000009);
    EXPECT_EQ(outsider.ask(asked("GET", "origin.test"), 22), "HTTP/1.1 403 Forbidden");
  }
  setup.reset();  // closes what the pool holds, so every script ends
  ASSERT_TRUE(origin.wait_done(7));
  for (const std::string& log : origin.received()) {
    EXPECT_EQ(count_of(log, "Connection: close"), 0) << log;
  }
}
