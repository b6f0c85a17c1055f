// CONNECT tunnels end to end: real TLS clients through ferry to nginx, and
// raw tunnels to scripted servers that keep every byte they receive.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "origin_servers.h"
#include "temp_files.h"

using namespace harness;

namespace {

using temp_files::read_file;
using temp_files::temp_folder;
using temp_files::write_file;

constexpr char proxy[] = "http://127.0.0.1:8080";
const std::string established = "HTTP/1.1 200 Connection established\r\n\r\n";

std::string connect_head(const std::string& target) {
  return "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
}

std::string port_refused(int port) {
  return ferry_answer(403, "Forbidden",
                      "CONNECT to port " + std::to_string(port) + " is refused by CONNECT_PORTS");
}

// ferry on 8080 with `settings`, and its idle descriptor and thread counts.
struct tunnel_setup {
  explicit tunnel_setup(std::vector<std::string> settings = {}) : ferry(with_port(settings)) {
    EXPECT_TRUE(ferry.wait_listening(8080));
    idle_descriptors = ferry.open_descriptors();
    idle_threads = ferry.thread_count();
  }

  static std::vector<std::string> with_port(std::vector<std::string> settings) {
    settings.push_back("LISTEN_PORT=8080");
    return settings;
  }

  // Every connection ended, every slot freed, nothing left open.
  void expect_all_freed(int connections) {
    EXPECT_TRUE(ferry.wait_output(" freed\n", connections));
    EXPECT_TRUE(ferry.wait_counts(idle_descriptors, idle_threads));
  }

  ferry_process ferry;
  int idle_descriptors = 0;
  int idle_threads = 0;
};

// A tunnel asked for with `first` in the same send as the head, and the bytes
// ferry answered, as many as the 200 line has.
struct tunnel {
  tunnel(const std::string& target, std::string_view first = {})
      : fd(open_request(connect_head(target) + std::string(first))),
        answer(read_up_to(fd, established.size())) {}
  tunnel(const tunnel&) = delete;
  tunnel& operator=(const tunnel&) = delete;
  ~tunnel() { close(fd); }

  int fd;
  std::string answer;
};

// The far end of a tunnel: reads until the end of stream, answers how many
// bytes came, and keeps them as its record.
std::string count_then_answer(int fd) {
  reply got = read_reply(fd, 30s);
  send_within(fd, "received " + std::to_string(got.data.size()) + " bytes\n");
  return got.data;
}

// nginx with TLS on origin.test:443 holding two files, and ferry in front.
struct https_setup {
  https_setup() {
    set_hosts("127.0.0.1 localhost\n127.0.0.1 origin.test\n");
    write_file(origin.www() + "/small.txt", small);
    write_file(origin.www() + "/big.bin", big);
    EXPECT_TRUE(origin.wait_ready()) << "nginx did not start: " << origin.diagnostics();
  }
  std::string out(const std::string& name) const { return downloads / name; }

  const std::string small = "small page\n";
  const std::string big = random_bytes(16 << 20, 16);
  temp_folder downloads;
  nginx_origin origin{"127.0.0.1", "0", scheme::https};
  tunnel_setup proxied;
};

}  // namespace

TEST(Tunnel, CarriesHttpsForRealClients) {
  https_setup setup;
  const std::string ca = setup.origin.ca_certificate();
  {
    SCOPED_TRACE("curl");
    command_result fetched = run_client(
        {"curl", "-q", "-sS", "--cacert", ca, "-x", proxy, "https://origin.test/small.txt", "-o",
         setup.out("small.txt"), "https://origin.test/big.bin", "-o", setup.out("curl.bin")});
    EXPECT_EQ(fetched.status, 0) << fetched.errors;
    EXPECT_EQ(read_file(setup.out("small.txt")), setup.small);
    EXPECT_TRUE(read_file(setup.out("curl.bin")) == setup.big) << "curl.bin differs";
  }
  {
    SCOPED_TRACE("curl upload");
    write_file(setup.out("upload.bin"), random_bytes(16 << 20, 17));
    command_result put =
        run_client({"curl", "-q", "-sS", "--cacert", ca, "-x", proxy, "-T", setup.out("upload.bin"),
                    "-o", "/dev/null", "-w", "%{http_code}", "https://origin.test/uploads/up.bin"});
    EXPECT_EQ(put.status, 0) << put.errors;
    EXPECT_EQ(put.output, "201");
    EXPECT_TRUE(read_file(setup.origin.www() + "/uploads/up.bin") ==
                read_file(setup.out("upload.bin")))
        << "the upload differs";
  }
  {
    SCOPED_TRACE("wget");
    command_result fetched =
        run_client({"wget", "--no-config", "--tries=1", "-q", "--ca-certificate=" + ca, "-O",
                    setup.out("wget.bin"), "https://origin.test/big.bin"},
                   {std::string("https_proxy=") + proxy});
    EXPECT_EQ(fetched.status, 0) << fetched.errors;
    EXPECT_TRUE(read_file(setup.out("wget.bin")) == setup.big) << "wget.bin differs";
  }
  {
    SCOPED_TRACE("python");
    const std::string script =
        "import ssl, sys, urllib.request\n"
        "context = ssl.create_default_context(cafile=sys.argv[2])\n"
        "opener = urllib.request.build_opener(\n"
        "    urllib.request.ProxyHandler({'https': sys.argv[1]}),\n"
        "    urllib.request.HTTPSHandler(context=context))\n"
        "for url, path in zip(sys.argv[3::2], sys.argv[4::2]):\n"
        "    with opener.open(url, timeout=30) as answer, open(path, 'wb') as out:\n"
        "        out.write(answer.read())\n";
    command_result fetched = run_client({"/usr/bin/python3", "-I", "-c", script, proxy, ca,
                                         "https://origin.test/small.txt", setup.out("python.txt"),
                                         "https://origin.test/big.bin", setup.out("python.bin")});
    EXPECT_EQ(fetched.status, 0) << fetched.errors;
    EXPECT_EQ(read_file(setup.out("python.txt")), setup.small);
    EXPECT_TRUE(read_file(setup.out("python.bin")) == setup.big) << "python.bin differs";
  }
  setup.proxied.expect_all_freed(6);
}

TEST(Tunnel, OnlyConnectPortsAreReached) {
  scripted_origin on_443("127.0.0.1", count_then_answer, 4, 443);
  scripted_origin on_9001("127.0.0.1", count_then_answer, 4, 9001);
  enum outcome { tunnelled, refused, unreachable };
  struct row {
    std::vector<std::string> settings;
    std::vector<std::pair<int, outcome>> ports;
  };
  // Nothing listens on 9000 nor 9100.
  const std::vector<row> rows = {
      {{}, {{443, tunnelled}, {22, refused}, {8443, refused}, {9001, refused}}},
      {{"CONNECT_PORTS=none"}, {{443, refused}, {9001, refused}}},
      {{"CONNECT_PORTS=443,9000-9100"},
       {{443, tunnelled},
        {9001, tunnelled},
        {9000, unreachable},
        {9100, unreachable},
        {8999, refused},
        {9101, refused},
        {22, refused}}},
  };
  for (const row& each : rows) {
    SCOPED_TRACE(each.settings.empty() ? "defaults" : each.settings[0]);
    tunnel_setup setup(each.settings);
    for (auto [port, expected] : each.ports) {
      const std::string target = "127.0.0.1:" + std::to_string(port);
      SCOPED_TRACE(target);
      if (expected == tunnelled) {
        tunnel asked(target);
        EXPECT_EQ(asked.answer, established);
        EXPECT_TRUE(send_all(asked.fd, "ping"));
        shutdown(asked.fd, SHUT_WR);
        reply got = read_reply(asked.fd);
        EXPECT_EQ(got.data, "received 4 bytes\n");
        EXPECT_EQ(got.end, ending::closed);
      } else {
        reply got = exchange(connect_head(target));
        EXPECT_EQ(got.data, expected == refused ? port_refused(port) : host_failed);
        EXPECT_EQ(got.end, ending::closed);
      }
    }
    setup.expect_all_freed(static_cast<int>(each.ports.size()));
  }

  // curl reports the refusal as the failed tunnel it is.
  tunnel_setup setup;
  command_result curl = run_client({"curl", "-q", "-sS", "-x", proxy, "https://127.0.0.1:22/"});
  EXPECT_EQ(curl.status, 56) << curl.errors;
  EXPECT_NE(curl.errors.find("403"), std::string::npos) << curl.errors;
}

TEST(Tunnel, UnreachableTargetsGetBadGatewayPortlessOnesBadRequest) {
  set_hosts("127.0.0.1 localhost\n");
  tunnel_setup setup({"CONNECT_PORTS=443,9050"});
  for (const std::string target : {"127.0.0.1:9050", "nowhere.test:443"}) {
    reply got = exchange(connect_head(target));
    EXPECT_EQ(got.data, host_failed) << target;
    EXPECT_EQ(got.end, ending::closed) << target;
  }
  // Without a port there is nothing to check against CONNECT_PORTS.
  reply got = exchange(connect_head("origin.test"));
  EXPECT_TRUE(is_ferry_answer(got.data)) << got.data;
  EXPECT_TRUE(got.data.starts_with("HTTP/1.1 400 ")) << got.data;
  setup.expect_all_freed(3);
}

TEST(Tunnel, RelaysEveryByteInOrderAndPassesHalfCloses) {
  scripted_origin counting("127.0.0.1", count_then_answer, 4, 9001);
  // Says its piece and ends its sending side, then keeps all that still comes.
  const std::string greeting = random_bytes(256 << 10, 2);
  scripted_origin speaking_first(
      "127.0.0.1",
      [&](int fd) {
        send_within(fd, greeting);
        shutdown(fd, SHUT_WR);
        return read_reply(fd, 30s).data;
      },
      4, 9002);
  tunnel_setup setup({"CONNECT_PORTS=9000-9100"});

  // The first bytes share a send with the head; more of them than one head read takes.
  const std::string payload = random_bytes(1 << 20, 1);
  const std::size_t first = 3 * head_read_size;
  {
    tunnel client("127.0.0.1:9001", std::string_view(payload).substr(0, first));
    ASSERT_EQ(client.answer, established);
    EXPECT_TRUE(send_within(client.fd, std::string_view(payload).substr(first)));
    shutdown(client.fd, SHUT_WR);
    reply got = read_reply(client.fd, 30s);
    EXPECT_EQ(got.data, "received " + std::to_string(payload.size()) + " bytes\n");
    EXPECT_EQ(got.end, ending::closed);
    ASSERT_TRUE(counting.wait_done(1));
    EXPECT_TRUE(counting.received().at(0) == payload) << "the server got other bytes";
  }
  {
    // The server's end reaches the client while the client's side stays open.
    tunnel client("127.0.0.1:9002");
    ASSERT_EQ(client.answer, established);
    reply got = read_reply(client.fd, 30s);
    EXPECT_TRUE(got.data == greeting) << got.data.size() << " bytes of the greeting";
    EXPECT_EQ(got.end, ending::closed);
    const std::string late = random_bytes(64 << 10, 3);
    EXPECT_TRUE(send_within(client.fd, late));
    shutdown(client.fd, SHUT_WR);
    ASSERT_TRUE(speaking_first.wait_done(1));
    EXPECT_TRUE(speaking_first.received().at(0) == late) << "the late bytes did not arrive";
  }
  setup.expect_all_freed(2);
}

TEST(Tunnel, EndsAfterIdleTimeoutWithoutTraffic) {
  // Records how its connection ended.
  scripted_origin silent(
      "127.0.0.1",
      [](int fd) {
        reply got = read_reply(fd, 30s);
        return got.end == ending::closed ? "closed after " + std::to_string(got.data.size())
                                         : std::string("not closed");
      },
      4, 9001);
  tunnel_setup setup({"CONNECT_PORTS=9001", "IDLE_TIMEOUT=1"});
  {
    tunnel client("127.0.0.1:9001");
    ASSERT_EQ(client.answer, established);
    auto start = std::chrono::steady_clock::now();
    reply got = read_reply(client.fd, 20s);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(got.data, "");
    EXPECT_EQ(got.end, ending::closed);
    EXPECT_GE(waited, 500ms);
    EXPECT_LT(waited, 10s);
    ASSERT_TRUE(silent.wait_done(1));
    EXPECT_EQ(silent.received().at(0), "closed after 0");
  }
  {
    // A byte every quarter second keeps the tunnel open well past one second.
    tunnel client("127.0.0.1:9001");
    ASSERT_EQ(client.answer, established);
    for (int i = 0; i < 10; ++i) {
      std::this_thread::sleep_for(250ms);
      EXPECT_TRUE(send_all(client.fd, "x"));
    }
    shutdown(client.fd, SHUT_WR);
    ASSERT_TRUE(silent.wait_done(2));
    EXPECT_EQ(silent.received().at(1), "closed after 10");
  }
  setup.expect_all_freed(2);
}
