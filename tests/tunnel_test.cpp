// CONNECT tunnels end to end: real TLS clients through ferry to nginx, and
// raw tunnels to scripted servers that keep every byte they receive.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "origin_servers.h"
#include "unique_fd.h"

using namespace harness;
using ferry::unique_fd;

namespace {

std::string connect_head(int port) {
  const std::string target = "127.0.0.1:" + std::to_string(port);
  return "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
}

// ferry on 8080 with `settings`, and its idle descriptor and thread counts.
struct tunnel_setup {
  explicit tunnel_setup(std::vector<std::string> settings = {})
      : ferry((settings.push_back("LISTEN_PORT=8080"), settings)) {
    EXPECT_TRUE(ferry.wait_listening(8080));
    descriptors = ferry.open_descriptors();
    threads = ferry.thread_count();
  }
  // Every connection ended, every slot freed, nothing left open.
  void expect_all_freed(long connections) {
    EXPECT_TRUE(ferry.wait_output(" freed\n", connections));
    EXPECT_TRUE(ferry.wait_counts(descriptors, threads));
  }

  ferry_process ferry;
  int descriptors = 0, threads = 0;
};

// A tunnel to 127.0.0.1:`port`, asked for with `first` in the head's send;
// ferry's answer must be the 200 line alone.
unique_fd open_tunnel(int port, std::string_view first = {}) {
  unique_fd fd(open_request(connect_head(port) + std::string(first)));
  EXPECT_EQ(read_up_to(fd.get(), established.size()), established);
  return fd;
}

// The far end of a tunnel: reads until the end of stream, answers how many
// bytes came, and keeps them as its record.
std::string count_then_answer(int fd) {
  reply got = read_reply(fd, 30s);
  send_within(fd, "received " + std::to_string(got.data.size()) + " bytes\n");
  return got.data;
}

// The far end of a tunnel that sends each byte back as it comes.
std::string echo_each_byte(int fd) {
  std::string all, part;
  while (!(part = read_up_to(fd, 1, 5s)).empty() && send_within(fd, part)) all += part;
  return all;
}

}  // namespace

// The origin on IPv4, then on an IPv6 address alone: named by its one hosts
// line, and by its literal in curl's CONNECT.
TEST(Tunnel, RealClientsFetchOverHttpsByteExact) {
  add_local_address("2001:db8::2");
  // Sanitized builds move bytes several times slower.
  const std::string big = random_bytes(sanitized ? 4 << 20 : 16 << 20, 16);
  const std::string url = "https://origin.test/big.bin";
  const std::string python =
      "import ssl, sys, urllib.request\n"
      "context = ssl.create_default_context(cafile=sys.argv[1])\n"
      "sys.stdout.buffer.write(urllib.request.urlopen(sys.argv[2], context=context).read())\n";
  for (const std::string ip : {"127.0.0.1", "2001:db8::2"}) {
    set_hosts("127.0.0.1 localhost\n" + ip + " origin.test\n");
    nginx_origin origin(ip, "0", scheme::https);
    temp_files::write_file(origin.www() + "/big.bin", big);
    ASSERT_TRUE(origin.wait_ready()) << "nginx did not start: " << origin.diagnostics();
    // On IPv6, each ClientHello must also name the host CONNECT named (or it named an address).
    tunnel_setup setup({ip == "127.0.0.1" ? "TUNNEL_CHECK=off" : "TUNNEL_CHECK=sni"});
    const std::string ca = origin.ca_certificate();
    // Each finds ferry through https_proxy and writes the body to its standard output.
    std::vector<std::vector<std::string>> clients = {
        {"curl", "-q", "-sS", "--cacert", ca, url},
        {"wget", "--no-config", "--tries=1", "-q", "--ca-certificate=" + ca, "-O", "-", url},
        {"python3", "-I", "-c", python, ca, url}};
    if (ip != "127.0.0.1") {
      clients.push_back({"curl", "-q", "-sS", "--cacert", ca, "--connect-to",
                         "origin.test:443:[" + ip + "]:443", url});
    }
    for (const auto& argv : clients) {
      command_result fetched = run_client(argv, {"https_proxy=http://127.0.0.1:8080"});
      EXPECT_EQ(fetched.status, 0) << argv[0] << " to " << ip << ": " << fetched.errors;
      EXPECT_TRUE(fetched.output == big) << argv[0] << " to " << ip << " got other bytes";
    }
    setup.expect_all_freed(static_cast<long>(clients.size()));
    EXPECT_EQ(count_of(setup.ferry.output(), "Connected to " + ip + "\n"),
              static_cast<long>(clients.size()));
    EXPECT_EQ(count_of(setup.ferry.output(), "CONNECT [" + ip + "]:443 "),
              ip == "127.0.0.1" ? 0 : 1);
  }
}

// TUNNEL_CHECK=sni cuts a ClientHello naming another host than CONNECT did
// before the server sees a byte; RealClientsFetchOverHttpsByteExact passes the named one.
TEST(Tunnel, SniCheckCutsAHelloNamingAnotherHost) {
  set_hosts("127.0.0.1 localhost raw.test\n");
  scripted_origin raw(
      "127.0.0.1", [](int fd) { return read_reply(fd, 5s).data; }, 4, 443);
  tunnel_setup setup({"TUNNEL_CHECK=sni"});
  command_result cut = run_command({"sh", "-c",
                                    "openssl s_client -proxy 127.0.0.1:8080 -connect raw.test:443 "
                                    "-servername other.test </dev/null"});
  EXPECT_NE(cut.status, 0);
  ASSERT_TRUE(raw.wait_done(1));
  EXPECT_EQ(raw.accepted(), 1);
  EXPECT_TRUE(raw.received().empty()) << "the server saw bytes";
  EXPECT_TRUE(setup.ferry.wait_output("tunnel refused: the ClientHello names another host"));
  setup.expect_all_freed(1);
}

TEST(Tunnel, OnlyConnectPortsAreReached) {
  scripted_origin on_443("127.0.0.1", count_then_answer, 4, 443);
  scripted_origin on_9001("127.0.0.1", count_then_answer, 4, 9001);
  const std::string tunnelled = established + "received 4 bytes\n";
  auto refused = [](int port) {
    return ferry_answer(403, "Forbidden",
                        "CONNECT to port " + std::to_string(port) + " is refused by CONNECT_PORTS");
  };
  // Nothing listens on 9000 nor 9100.
  const std::pair<std::string, std::vector<std::pair<int, std::string>>> rows[] = {
      {"", {{443, tunnelled}, {22, refused(22)}, {9001, refused(9001)}}},
      {"CONNECT_PORTS=none", {{443, refused(443)}}},
      {"CONNECT_PORTS=443,9000-9100",
       {{443, tunnelled},
        {9001, tunnelled},
        {9000, host_failed},
        {9100, host_failed},
        {8999, refused(8999)},
        {9101, refused(9101)}}},
  };
  for (const auto& [setting, answers] : rows) {
    tunnel_setup setup({setting});
    for (const auto& [port, expected] : answers) {
      reply got = exchange_and_end(connect_head(port) + "ping");
      EXPECT_EQ(got.data, expected) << setting << ", port " << port;
      EXPECT_EQ(got.end, ending::closed) << setting << ", port " << port;
    }
    setup.expect_all_freed(static_cast<long>(answers.size()));
  }
}

TEST(Tunnel, RelaysEveryByteInOrderAndPassesHalfCloses) {
  scripted_origin counting("127.0.0.1", count_then_answer, 4, 9001);
  // Says its piece and ends its sending side, then keeps all that still comes.
  const std::string greeting = random_bytes(256 << 10, 2);
  auto speak_first = [&](int fd) {
    send_within(fd, greeting);
    shutdown(fd, SHUT_WR);
    return read_reply(fd, 30s).data;
  };
  scripted_origin speaking_first("127.0.0.1", speak_first, 4, 9002);
  tunnel_setup setup({"CONNECT_PORTS=9000-9100"});

  // The first bytes share a send with the head; more of them than one head read takes.
  const std::string payload = random_bytes(1 << 20, 1);
  const std::size_t first = 3 * head_read_size;
  unique_fd uploading = open_tunnel(9001, std::string_view(payload).substr(0, first));
  EXPECT_TRUE(send_within(uploading.get(), std::string_view(payload).substr(first)));
  shutdown(uploading.get(), SHUT_WR);
  reply got = read_reply(uploading.get(), 30s);
  EXPECT_EQ(got.data, "received " + std::to_string(payload.size()) + " bytes\n");
  EXPECT_EQ(got.end, ending::closed);
  ASSERT_TRUE(counting.wait_done(1));
  EXPECT_TRUE(counting.received().at(0) == payload) << "the server got other bytes";

  // The server's end reaches the client while the client's side stays open.
  unique_fd listening = open_tunnel(9002);
  got = read_reply(listening.get(), 30s);
  EXPECT_TRUE(got.data == greeting) << got.data.size() << " bytes of the greeting";
  EXPECT_EQ(got.end, ending::closed);
  const std::string late = random_bytes(64 << 10, 3);
  EXPECT_TRUE(send_within(listening.get(), late));
  shutdown(listening.get(), SHUT_WR);
  ASSERT_TRUE(speaking_first.wait_done(1));
  EXPECT_TRUE(speaking_first.received().at(0) == late) << "the late bytes did not arrive";
  setup.expect_all_freed(2);
}

TEST(Tunnel, EndsAfterIdleTimeoutWithoutTraffic) {
  scripted_origin counting("127.0.0.1", count_then_answer, 4, 9001);
  tunnel_setup setup({"CONNECT_PORTS=9001", "IDLE_TIMEOUT=1"});
  unique_fd client = open_tunnel(9001);
  auto began = std::chrono::steady_clock::now();
  // A byte after 0.6 s starts the idle second again.
  std::this_thread::sleep_for(600ms);
  EXPECT_TRUE(send_all(client.get(), "x"));
  reply got = read_reply(client.get(), 20s);
  auto waited = std::chrono::steady_clock::now() - began;
  EXPECT_EQ(got.data, "");
  EXPECT_EQ(got.end, ending::closed);
  EXPECT_GE(waited, 1300ms);
  EXPECT_LT(waited, 10s);
  ASSERT_TRUE(counting.wait_done(1));
  EXPECT_EQ(counting.received().at(0), "x");
  setup.expect_all_freed(1);
}

// A waiting room full of silent connections cannot take a quiet tunnel: it
// keeps its thread and slot, still carries bytes, and IDLE_TIMEOUT still ends it.
TEST(Tunnel, KeepsItsThreadWhenTheWaitingRoomIsFull) {
  scripted_origin echo("127.0.0.1", echo_each_byte, 4, 9002);
  tunnel_setup setup({"CONNECT_PORTS=9002", "MAX_WAITING=1", "IDLE_TIMEOUT=1"});
  unique_fd client = open_tunnel(9002, "a");
  EXPECT_EQ(read_up_to(client.get(), 1), "a");
  unique_fd silent(connect_to("127.0.0.1", 8080));  // the room's one place
  std::this_thread::sleep_for(500ms);               // quiet for longer than a tunnel takes to park
  ASSERT_TRUE(send_all(client.get(), "b"));
  EXPECT_EQ(read_up_to(client.get(), 1), "b");
  reply got = read_reply(client.get(), 10s);
  EXPECT_EQ(got.data, "");
  EXPECT_EQ(got.end, ending::closed);
  EXPECT_GE(setup.ferry.thread_count(), setup.threads);
  silent.reset();
  setup.expect_all_freed(1);
}
