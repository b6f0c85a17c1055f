// Real clients (curl, wget, Python's urllib) through ferry to a real nginx.
#include <gtest/gtest.h>

#include "harness.h"
#include "origin_servers.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

using namespace harness;

namespace {

using temp_files::read_file;
using temp_files::temp_folder;
using temp_files::write_file;

constexpr char proxy[] = "http://127.0.0.1:8080";

// The origin with its two files, and ferry in front of it.
struct proxy_setup {
  explicit proxy_setup(const std::string& keepalive_timeout = "0",
                       const std::string& origin_ip = "127.0.0.1",
                       const std::vector<std::string>& environment = {"LISTEN_PORT=8080"})
      : origin(origin_ip, keepalive_timeout), ferry(environment) {
    set_hosts("127.0.0.1 localhost\n127.0.0.1 origin.test\n");
    write_file(origin.www() + "/small.txt", small);
    write_file(origin.www() + "/big.bin", big);
    EXPECT_TRUE(origin.wait_ready()) << "nginx did not start: " << origin.diagnostics();
    EXPECT_TRUE(ferry.wait_listening(8080));
    idle_descriptors = ferry.open_descriptors();
    idle_threads = ferry.thread_count();
  }

  // Where a client puts what it fetched.
  std::string out(const std::string& name) const { return downloads / name; }

  // Every request served, every slot freed, nothing left open.
  void expect_all_freed(int requests) {
    EXPECT_TRUE(ferry.wait_output(" freed\n", requests));
    EXPECT_EQ(ferry.errors().find("connection faild"), std::string::npos);
    EXPECT_TRUE(ferry.wait_counts(idle_descriptors, idle_threads));
  }

  const std::string small = "small text file\nsecond line\r\nthird line without end";
  const std::string big = random_bytes((2 << 20) + 123, 5);
  temp_folder downloads;
  nginx_origin origin;
  ferry_process ferry;
  int idle_descriptors = 0;
  int idle_threads = 0;
};

}  // namespace

TEST(Clients, CurlFetchesFilesByteForByte) {
  proxy_setup setup;
  // Two files in one run: curl opens a new connection after ferry closes the first.
  command_result fetched =
      run_client({"curl", "-q", "-sS", "-x", proxy, "http://origin.test/small.txt", "-o",
                  setup.out("small.txt"), "http://origin.test/big.bin", "-o", setup.out("big.bin")});
  EXPECT_EQ(fetched.status, 0) << fetched.errors;
  EXPECT_EQ(read_file(setup.out("small.txt")), setup.small);
  EXPECT_TRUE(read_file(setup.out("big.bin")) == setup.big) << "big.bin differs";

  command_result missing = run_client({"curl", "-q", "-sS", "-x", proxy, "-o", "/dev/null", "-w",
                                       "%{http_code}", "http://origin.test/missing"});
  EXPECT_EQ(missing.status, 0) << missing.errors;
  EXPECT_EQ(missing.output, "404");

  setup.expect_all_freed(3);
  // curl asks for Keep-Alive; nginx saw the path alone and Close.
  std::string log = setup.origin.access_log();
  EXPECT_NE(log.find("GET /small.txt HTTP/1.1|Close|200\n"), std::string::npos) << log;
  EXPECT_NE(log.find("GET /missing HTTP/1.1|Close|404\n"), std::string::npos) << log;
}

TEST(Clients, WgetFetchesBinaryFile) {
  proxy_setup setup;
  command_result fetched =
      run_client({"wget", "--no-config", "--tries=1", "-q", "-O", setup.out("big.bin"),
                  "http://origin.test/big.bin"},
                 {std::string("http_proxy=") + proxy});
  EXPECT_EQ(fetched.status, 0) << fetched.errors;
  EXPECT_TRUE(read_file(setup.out("big.bin")) == setup.big) << "big.bin differs";
  setup.expect_all_freed(1);
  EXPECT_NE(setup.origin.access_log().find("GET /big.bin HTTP/1.1|"),
            std::string::npos);
}

TEST(Clients, PythonUrllibFetchesFiles) {
  proxy_setup setup;
  const std::string script =
      "import sys, urllib.request\n"
      "opener = urllib.request.build_opener(urllib.request.ProxyHandler({'http': sys.argv[1]}))\n"
      "for url, path in zip(sys.argv[2::2], sys.argv[3::2]):\n"
      "    with opener.open(url, timeout=30) as answer, open(path, 'wb') as out:\n"
      "        out.write(answer.read())\n";
  command_result fetched = run_client(
      {"/usr/bin/python3", "-I", "-c", script, proxy, "http://origin.test/small.txt",
       setup.out("small.txt"), "http://origin.test/big.bin", setup.out("big.bin")});
  EXPECT_EQ(fetched.status, 0) << fetched.errors;
  EXPECT_EQ(read_file(setup.out("small.txt")), setup.small);
  EXPECT_TRUE(read_file(setup.out("big.bin")) == setup.big) << "big.bin differs";
  setup.expect_all_freed(2);
}

// nginx on an IPv6 address alone, by a name with only that address and by
// its literal; ferry's one default socket takes clients at ::1 and 127.0.0.1.
TEST(Clients, ReachAnOriginOnIpv6Only) {
  add_local_address("2001:db8::2");
  proxy_setup setup("0", "2001:db8::2");
  set_hosts("2001:db8::2 v6only.test\n");
  const std::string python =
      "import sys, urllib.request\n"
      "opener = urllib.request.build_opener(urllib.request.ProxyHandler({'http': sys.argv[1]}))\n"
      "sys.stdout.buffer.write(opener.open(sys.argv[2], timeout=30).read())\n";
  for (const std::string ferry_at : {"http://[::1]:8080", proxy}) {
    for (const std::string url :
         {"http://v6only.test/small.txt", "http://[2001:db8::2]/small.txt"}) {
      const std::vector<std::string> clients[] = {
          {"curl", "-q", "-sS", "-x", ferry_at, url},
          {"wget", "--no-config", "--tries=1", "-q", "-O", "-", url},
          {"python3", "-I", "-c", python, ferry_at, url}};
      for (const auto& argv : clients) {
        command_result fetched = run_client(argv, {"http_proxy=" + ferry_at});
        EXPECT_EQ(fetched.status, 0)
            << argv[0] << " " << url << " via " << ferry_at << ": " << fetched.errors;
        EXPECT_EQ(fetched.output, setup.small) << argv[0] << " " << url << " via " << ferry_at;
      }
    }
  }
  setup.expect_all_freed(12);
  EXPECT_EQ(count_of(setup.ferry.output(), "Connected to 2001:db8::2\n"), 12);
  EXPECT_EQ(count_of(setup.origin.access_log(), "GET /small.txt "), 12);
}

TEST(Clients, CurlInARowThroughAKeepAliveOriginNeverFillsTheSlots) {
  // nginx's default keep-alive: before, each request held its slot for 75 s.
  proxy_setup setup("75");
  int answered = 0;
  for (int i = 0; i < 200; ++i) {
    command_result fetched = run_client({"curl", "-q", "-sS", "-x", proxy, "-o", "/dev/null",
                                         "-w", "%{http_code}", "http://origin.test/small.txt"});
    if (fetched.status == 0 && fetched.output == "200") ++answered;
  }
  EXPECT_EQ(answered, 200);
  EXPECT_EQ(setup.ferry.error_count(queue_full), 0);
  // The slot is free by the time the next curl connects: never more than two in use.
  EXPECT_EQ(count_of(setup.ferry.output(), "thread reserved at 4"), 0);
  setup.expect_all_freed(200);
}

// With AUTH_FILE, each client names its user its own way; the access line
// names them too. SIGHUP reads the file again, and keeps it when the new one
// is broken.
TEST(Clients, UsersLogInAndSighupReadsTheirFileAgain) {
  temp_folder folder;
  const std::string users = folder / "users";
  auto user_line = [](const std::string& name, const std::string& password) {
    return name + ":" + run_command({"openssl", "passwd", "-6", password}).output;
  };
  ASSERT_TRUE(write_file(users, user_line("ann", "secret")));
  chmod(users.c_str(), 0600);
  proxy_setup setup("0", "127.0.0.1", {"LISTEN_PORT=8080", "LOG=access", "AUTH_FILE=" + users});
  const std::string url = "http://origin.test/small.txt";
  auto curl = [&](const std::string& user) {
    return run_client({"curl", "-q", "-sS", "-x", proxy, "--proxy-user", user, "-D", "-", url});
  };
  command_result refused = run_client({"curl", "-q", "-sS", "-x", proxy, "-D", "-", url});
  EXPECT_TRUE(refused.output.starts_with("HTTP/1.1 407 Proxy Authentication Required\r\n"));
  EXPECT_EQ(count_of(refused.output, "Proxy-Authenticate: Basic realm=\"ferry\"\r\n"), 1);
  EXPECT_TRUE(curl("ann:secret").output.ends_with(setup.small));
  command_result wget =
      run_client({"wget", "--no-config", "-q", "-O", "-", "--proxy-user=ann",
                  "--proxy-password=secret", url}, {"http_proxy=" + std::string(proxy)});
  EXPECT_EQ(wget.output, setup.small) << wget.errors;
  EXPECT_TRUE(curl("ann:wrong").output.starts_with("HTTP/1.1 407 "));
  EXPECT_TRUE(setup.ferry.wait_output("\n", 4));
  EXPECT_EQ(count_of(setup.ferry.output(), " 2 done ann\n"), 2) << setup.ferry.output();
  EXPECT_EQ(count_of(setup.ferry.output(), " 407 "), 2);
  EXPECT_EQ(count_of(setup.ferry.output(), " 2 auth-required -\n"), 2);

  // Ann leaves, Bob comes; then a broken file changes nothing.
  ASSERT_TRUE(write_file(users, user_line("bob", "other")));
  kill(setup.ferry.pid(), SIGHUP);
  ASSERT_TRUE(setup.ferry.wait_errors("ferry: SIGHUP: files read again\n"));
  EXPECT_TRUE(curl("ann:secret").output.starts_with("HTTP/1.1 407 "));
  EXPECT_TRUE(curl("bob:other").output.ends_with(setup.small));
  ASSERT_TRUE(write_file(users, "bob\n"));
  kill(setup.ferry.pid(), SIGHUP);
  ASSERT_TRUE(setup.ferry.wait_errors("ferry: SIGHUP: AUTH_FILE kept as it was: " + users +
                                      ": line 1: no colon between user and hash\n"));
  EXPECT_TRUE(curl("bob:other").output.ends_with(setup.small));
}

TEST(Clients, KeepAliveClientsAskSeveralTimesOnOneConnection) {
  proxy_setup setup("75");
  const std::string script = R"(
import http.client, sys, time, requests
start = time.monotonic()
session = requests.Session()
session.proxies = {"http": "http://127.0.0.1:8080"}
for _ in range(3):
    answer = session.get("http://origin.test/small.txt", timeout=5)
    assert answer.status_code == 200 and answer.content == sys.argv[1].encode(), answer
connection = http.client.HTTPConnection("127.0.0.1", 8080, timeout=5)
for _ in range(3):
    connection.request("GET", "http://origin.test/small.txt")
    answer = connection.getresponse()
    assert answer.status == 200 and answer.read() == sys.argv[1].encode()
    assert answer.getheader("Connection") == "close"
print(round(time.monotonic() - start, 3))
)";
  command_result asked = run_client({"python3", "-c", script, setup.small});
  ASSERT_EQ(asked.status, 0) << asked.errors;
  EXPECT_LT(std::stod(asked.output), 1.0);
  setup.expect_all_freed(6);
}

// One of the Python origins in tests/origins on ip:80, once it says it is ready.
struct python_origin {
  python_origin(const std::string& script, const std::string& ip)
      : program({"python3", std::string(FERRY_SOURCE_DIR) + "/tests/origins/" + script, ip, "80"},
                folder / "origin.log") {
    for (int i = 0; i < 100 && read_file(folder / "origin.log").find("ready") == std::string::npos;
         ++i) {
      std::this_thread::sleep_for(50ms);
    }
  }
  temp_folder folder;
  background_program program;
};

// The upload origin answers each body's sha256, or echoes it as it arrives.
struct upload_setup {
  upload_setup() : ferry({"LISTEN_PORT=8080"}, {.keep_trace = false}) {
    set_hosts("127.0.0.1 localhost\n127.0.0.1 origin.test\n");
    EXPECT_TRUE(ferry.wait_listening(8080));
  }
  temp_folder folder;
  python_origin origin{"upload_origin.py", "127.0.0.1"};
  ferry_process ferry;
};

TEST(Clients, UploadsReachTheOriginByteExact) {
  upload_setup setup;
  for (std::size_t size : {std::size_t{5000}, std::size_t{1} << 20, std::size_t{64} << 20}) {
    std::string body = random_bytes(size, static_cast<unsigned>(size));
    write_file(setup.folder / "body", body);
    command_result digest = run_command({"sha256sum", setup.folder / "body"});
    std::string expected = digest.output.substr(0, 64);
    for (bool chunked : {false, true}) {
      std::vector<std::string> curl{"curl", "-q", "-sS", "-x", proxy, "--data-binary",
                                    "@" + setup.folder / "body", "http://origin.test/sha256"};
      if (chunked) curl.insert(curl.end(), {"-H", "Transfer-Encoding: chunked"});
      command_result posted = run_client(curl);
      EXPECT_EQ(posted.status, 0) << size << " chunked " << chunked << ": " << posted.errors;
      EXPECT_EQ(posted.output, expected) << size << " chunked " << chunked;
    }
  }
  command_result wget = run_client({"wget", "--no-config", "-q", "-O", "-",
                                    "--post-file=" + setup.folder / "body",
                                    "http://origin.test/sha256"},
                                   {"http_proxy=" + std::string(proxy)});
  EXPECT_EQ(wget.status, 0) << wget.errors;
  EXPECT_EQ(wget.output, run_command({"sha256sum", setup.folder / "body"}).output.substr(0, 64));
}

TEST(Clients, PythonHttpServerOnAnotherPortAsOrigin) {
  temp_folder folder;
  write_file(folder / "page.txt", "from the standard library\n");
  background_program origin({"python3", "-m", "http.server", "8081", "--bind", "127.0.0.1",
                             "--directory", folder.path()},
                            folder / "origin.log");
  ferry_process ferry({"LISTEN_PORT=8080"});
  set_hosts("127.0.0.1 localhost\n127.0.0.1 origin.test\n");
  ASSERT_TRUE(ferry.wait_listening(8080));
  int probe = -1;
  for (int tries = 0; tries < 200 && (probe = connect_to("127.0.0.1", 8081)) < 0; ++tries) {
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_GE(probe, 0) << "origin did not start";
  close(probe);
  // It closes without saying so; ferry's Connection: close keeps http.client
  // from sending its second request into the closing connection.
  const std::string script = R"(
import http.client
connection = http.client.HTTPConnection("127.0.0.1", 8080, timeout=5)
for _ in range(2):
    connection.request("GET", "http://origin.test:8081/page.txt")
    answer = connection.getresponse()
    print(answer.status, answer.read().decode(), end="")
)";
  command_result asked = run_client({"python3", "-c", script});
  EXPECT_EQ(asked.status, 0) << asked.errors;
  EXPECT_EQ(asked.output, "200 from the standard library\n200 from the standard library\n");
  EXPECT_TRUE(ferry.wait_output(" freed\n", 2));
}

TEST(Clients, ErrorsAreHttpAnswersAsCurlShowsThem) {
  proxy_setup setup;
  struct row {
    std::vector<std::string> extra;
    std::string url;
    std::string status;
    std::string body;
  };
  const std::vector<row> rows = {
      {{}, "http://nowhere.test/", "502", "connection to host failed\n"},
      {{}, "http://origin.test:8080/", "508", "the request names this proxy itself\n"},
      {{}, "http://[::1]:8080/", "508", "the request names this proxy itself\n"},
      {{"-H", "X-Big: " + std::string(70000, 'c')}, "http://origin.test/", "431",
       "request head larger than 65536 bytes\n"},
  };
  for (const row& each : rows) {
    std::vector<std::string> curl{"curl", "-q", "-sS", "-x", proxy, "-w", "|%{http_code}"};
    curl.insert(curl.end(), each.extra.begin(), each.extra.end());
    curl.push_back(each.url);
    command_result shown = run_client(curl);
    EXPECT_EQ(shown.status, 0) << each.url << ": " << shown.errors;
    EXPECT_EQ(shown.output, each.body + "|" + each.status) << each.url;
    curl.insert(curl.begin() + 1, "-f");
    command_result failed = run_client(curl);
    EXPECT_EQ(failed.status, 22) << each.url;
    EXPECT_NE(failed.errors.find("returned error: " + each.status), std::string::npos)
        << failed.errors;
  }
  setup.expect_all_freed(static_cast<int>(2 * rows.size()));
}

// With connections kept, curl's three URLs and a hundred requests each from
// requests.Session and http.client go over one client connection apiece, ten
// in a row to nginx, then ten to a Python origin at another address, and so
// on; each run of ten shares one server connection. Every answer is exact.
TEST(Clients, KeptConnectionsCarryEveryRequestToEitherServer) {
  python_origin other("upload_origin.py", "127.0.0.2");
  proxy_setup setup("75", "127.0.0.1", {"LISTEN_PORT=8080", "KEEPALIVE_TIMEOUT=60", "SERVER_POOL=0"});
  command_result curl =
      run_client({"curl", "-q", "-sS", "-v", "-x", proxy, "http://origin.test/small.txt",
                  "http://127.0.0.2/sha256", "http://origin.test/big.bin"});
  EXPECT_EQ(curl.status, 0) << curl.errors;
  const std::string empty_sha256 =
      "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  EXPECT_TRUE(curl.output == setup.small + empty_sha256 + setup.big) << curl.output.size();
  EXPECT_EQ(count_of(curl.errors, "Connected to "), 1) << curl.errors;
  EXPECT_EQ(count_of(curl.errors, "Re-using existing connection"), 2) << curl.errors;
  const std::string script = R"(
import hashlib, http.client, socket, sys, requests
connects, plain_connect = [], socket.socket.connect
socket.socket.connect = lambda sock, address: connects.append(address) or plain_connect(sock, address)
session = requests.Session()
session.proxies = {"http": "http://127.0.0.1:8080"}
plain = http.client.HTTPConnection("127.0.0.1", 8080, timeout=10)
def by_session(method, url, body):
    answer = session.request(method, url, data=body, timeout=10)
    return answer.status_code, answer.content, answer.headers.get("Connection")
def by_http_client(method, url, body):
    plain.request(method, url, body=body)
    answer = plain.getresponse()
    return answer.status, answer.read(), answer.getheader("Connection")
for send in (by_session, by_http_client):
    for i in range(100):
        body, nginx = bytes([i]) * i, i // 10 % 2 == 0
        got = send("GET", "http://origin.test/small.txt", None) if nginx else send("POST", "http://127.0.0.2/sha256", body)
        want = sys.argv[1].encode() if nginx else hashlib.sha256(body).hexdigest().encode()
        assert got == (200, want, None), (send.__name__, i, got)
print(len(connects))
)";
  command_result asked = run_client({"python3", "-c", script, setup.small});
  EXPECT_EQ(asked.status, 0) << asked.errors;
  EXPECT_EQ(asked.output, "2\n");
  setup.expect_all_freed(203);
  std::string trace = setup.ferry.output();
  EXPECT_EQ(count_of(trace, "Connected to "), 3 + 2 * 10);
  EXPECT_EQ(count_of(trace, "server connection taken up again\n"), 2 * 90);
  // Proxy-Connection stays here.
  EXPECT_EQ(count_of(setup.origin.access_log(), "GET /small.txt HTTP/1.1|-|200\n"), 101);
}

// A WebSocket through ferry: the 101 comes back with Connection: upgrade,
// then bytes go both ways over the tunnel.
TEST(Clients, WebSocketUpgradeBecomesATunnel) {
  python_origin origin("websocket_echo.py", "127.0.0.2");
  ferry_process ferry({"LISTEN_PORT=8080", "KEEPALIVE_TIMEOUT=60"});
  set_hosts("127.0.0.2 ws.test\n");
  ASSERT_TRUE(ferry.wait_listening(8080));
  int fd = connect_to("127.0.0.1", 8080);
  ASSERT_TRUE(send_all(fd,
                       "GET http://ws.test/chat HTTP/1.1\r\nHost: ws.test\r\n"
                       "Connection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
                       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n"));
  EXPECT_EQ(
      read_head(fd),
      "HTTP/1.1 101 Switching Protocols\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
      "Connection: upgrade\r\nUpgrade: websocket\r\n\r\n");
  // The origin echoes, also after a quiet spell.
  for (const std::string& message : {std::string("hello"), random_bytes(3000, 8)}) {
    ASSERT_TRUE(send_all(fd, message));
    EXPECT_TRUE(read_up_to(fd, message.size()) == message);
    std::this_thread::sleep_for(1500ms);
  }
  close(fd);
  EXPECT_TRUE(ferry.wait_output(" freed\n"));
}
