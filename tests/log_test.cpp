// What ferry writes about its work: the access log and LOG=off, through the
// real process.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <climits>
#include <set>
#include <string_view>

#include "harness.h"
#include "origin_servers.h"
#include "log.h"
#include "unique_fd.h"

using namespace harness;
using namespace harness::access_lines;
using system_clock = std::chrono::system_clock;
using steady_clock = std::chrono::steady_clock;

using namespace ferry;
using namespace std::string_literals;

namespace {

const std::string no_host = "GET /x HTTP/1.1\r\n\r\n";

}  // namespace

TEST(AccessLog, OneLinePerRequestForEveryEnding) {
  set_hosts("127.0.0.1 origin.test\n127.0.0.4 big.test\n127.0.0.6 large.test\n");
  add_local_address("10.0.0.9");
  scripted_origin origin("127.0.0.1", answer_and_drain(short_answer));
  // A quarter of a long answer, then nothing until ferry lets go.
  const std::string big_part =
      "HTTP/1.1 200 OK\r\nContent-Length: 4194304\r\n\r\n" + random_bytes(1 << 20, 7);
  scripted_origin big("127.0.0.4", [&](int fd) {
    read_head(fd);
    send_within(fd, big_part);
    return read_reply(fd, 20s).data;
  });
  scripted_origin tunnel_end("127.0.0.1", answer_and_drain("tunnelled"), 4, 9443);
  // Long bodies both ways: an upload of a Content-Length echoed to the
  // close, and a tunnel's bytes each way to a half-close.
  const std::string upload = random_bytes(3 << 20, 8), download = random_bytes(3 << 20, 9);
  const std::string echoed = "HTTP/1.1 200 OK\r\n\r\n" + upload;
  scripted_origin large("127.0.0.6", [&](int fd) {
    std::string got = read_head(fd);
    std::size_t body_start = got.find("\r\n\r\n") + 4;
    got += read_up_to(fd, body_start + upload.size() - got.size());
    send_within(fd, "HTTP/1.1 200 OK\r\n\r\n" + got.substr(body_start));
    return ""s;
  });
  scripted_origin sink("127.0.0.6", [&](int fd) {
    bool intact = read_reply(fd).data == upload;
    send_within(fd, download);
    return intact ? "intact"s : "damaged"s;
  }, 4, 9443);
  auto half_closing_tunnel = [&] {
    auto [fd, client] = open_client();
    client.sent = "CONNECT large.test:9443 HTTP/1.1\r\n\r\n" + upload;
    send_all(fd.get(), client.sent);
    shutdown(fd.get(), SHUT_WR);
    client.got = read_reply(fd.get());
    EXPECT_TRUE(client.got.data == established + download);
    return client;
  };
  auto long_upload = [&] {
    client_side client = ask("POST http://large.test/ HTTP/1.1\r\nHost: large.test\r\n"
                             "Content-Length: 3145728\r\n\r\n" + upload);
    EXPECT_TRUE(client.got.data == relayed(echoed)) << client.got.data.size();
    return client;
  };
  // A full accept queue takes no connection: a connect there times out.
  unique_fd full(listen_on("127.0.0.5", 80, 0)), filler(connect_to("127.0.0.5", 80));
  ferry_process ferry({"LISTEN_PORT=8080", "LOG=access", "CON_TIMEOUT=1", "CONNECT_PORTS=9443"});
  ASSERT_TRUE(ferry.wait_listening(8080));

  auto leave_mid_answer = [&] {
    auto [fd, client] = open_client();
    client.sent = "GET http://big.test/ HTTP/1.1\r\nHost: big.test\r\n\r\n";
    send_all(fd.get(), client.sent);
    client.got.data = read_up_to(fd.get(), relayed(big_part).size());
    EXPECT_EQ(client.got.data, relayed(big_part));
    reset_on_close(fd.get());
    return client;
  };
  auto tunnel = [] {
    client_side client = ask("CONNECT 127.0.0.1:9443 HTTP/1.1\r\n\r\nhello\r\n\r\n");
    EXPECT_EQ(client.got.data, established + "tunnelled");
    return client;
  };
  auto not_http = [](std::string bytes, std::string answer) {
    return [=] {
      client_side client = ask(bytes);
      EXPECT_EQ(client.got.data, answer);
      return client;
    };
  };
  const std::string backslash = "GET http://origin.test/a\\b HTTP/1.1\r\nHost: origin.test\r\n\r\n";
  const std::string timing_out = "GET http://127.0.0.5/x HTTP/1.1\r\n\r\n";
  expect_lines(
      ferry,
      {
          {"done", [&] { return ask(backslash); }, "GET http://origin.test/a\\x5cb 200 2 done"},
          {"not in ALLOW", [] { return ask("", "10.0.0.9"); }, "- - 403 - refused"},
          {"bad head", [&] { return ask(no_host); }, "- - 400 2 bad-request"},
          {"unreachable", [&] { return ask(unreachable); },
           "GET http://127.0.0.1:9/x 502 2 server-failed"},
          {"connect timed out", [&] { return ask(timing_out); },
           "GET http://127.0.0.5/x 504 2 server-timeout", about_a_second},
          {"client gone", leave_mid_answer, "GET http://big.test/ 200 2 client-closed"},
          {"tunnel", tunnel, "CONNECT 127.0.0.1:9443 200 2 done"},
          {"long upload, answer to the close", long_upload, "POST http://large.test/ 200 2 done"},
          {"long tunnel", half_closing_tunnel, "CONNECT large.test:9443 200 2 done"},
          {"TLS", not_http("\x16\x03\x01\x00\x05\x01\x00\x00\x01\x03"s, ""), "- - - 2 not-http"},
          {"SOCKS 4", not_http("\x04\x01\x00\x50\x7f\x00\x00\x01u\x00"s, ""), "- - - 2 not-http"},
          {"SOCKS 5", not_http("\x05\x02\x00\x02"s, "\x05\xff"), "- - - 2 not-http"},
      });
  // A client set up for TLS or SOCKS: ended at once, not after HEAD_TIMEOUT (30 s).
  for (std::string scheme : {"https", "socks4", "socks5"}) {
    auto started = steady_clock::now();
    EXPECT_NE(run_client({"curl", "-q", "-sS", "-x", scheme + "://127.0.0.1:8080",
                          "http://127.0.0.1:9/"}).status, 0);
    EXPECT_LT(steady_clock::now() - started, 2s) << scheme;
  }
  EXPECT_EQ(sink.count("intact"), 1);
  // Standard error holds the start-up line alone.
  EXPECT_EQ(ferry.errors(), "");
  EXPECT_TRUE(ferry.startup_line().starts_with(
      "ferry listening on [::]:8080 with 256 slots; LOG=access ALLOW=127.0.0.0/8,::1 "))
      << ferry.startup_line();
}

TEST(AccessLog, ConcurrentRequestsWriteWholeLines) {
  set_hosts("127.0.0.1 origin.test\n");
  scripted_origin origin("127.0.0.1", answer_and_drain(short_answer));
  // Into a pipe of one page, which a line written in pieces, or past PIPE_BUF, would tear.
  temp_files::temp_folder folder;
  const std::string fifo = folder / "log";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  unique_fd log_pipe(open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
  ASSERT_GE(fcntl(log_pipe.get(), F_SETPIPE_SZ, 4096), 0);
  ferry_process ferry({"LISTEN_PORT=8080", "LOG=access", "BACKLOG=256"},
                      {.prefix = {"sh", "-c", "exec \"$0\" >" + fifo}});
  ASSERT_TRUE(ferry.wait_listening(8080));
  constexpr int requests = 200;
  // Long targets make long lines; one in five is too long and cut.
  auto target = [](int id) {
    return "http://origin.test/" + std::to_string(id) + "/" +
           std::string(id % 5 ? 1000 : 30000, 'x');
  };
  auto head = [&](int id) {
    return "GET " + target(id) + " HTTP/1.1\r\nHost: origin.test\r\n\r\n";
  };
  std::string log;
  std::thread reader([&] {
    for (auto until = steady_clock::now() + 20s;
         count_of(log, "\n") < requests && steady_clock::now() < until;) {
      char chunk[1024];
      ssize_t got = read(log_pipe.get(), chunk, sizeof chunk);
      if (got > 0) log.append(chunk, static_cast<std::size_t>(got));
      std::this_thread::sleep_for(1ms);
    }
  });
  std::vector<std::thread> clients;
  for (int id = 0; id < requests; ++id) clients.emplace_back([&, id] { exchange(head(id)); });
  for (auto& client : clients) client.join();
  reader.join();
  std::set<int> ids;
  for (const std::string& line : split(log)) {
    std::vector<std::string> fields = split(line, ' ');
    ASSERT_EQ(fields.size(), 11u) << line.substr(0, 100);
    EXPECT_TRUE(is_log_time(fields[0])) << line;
    EXPECT_EQ(fields[1].rfind("127.0.0.1:", 0), 0u) << line;
    EXPECT_LE(line.size() + 1, max_access_line);
    std::string got = fields[3];
    ASSERT_EQ(got.rfind("http://origin.test/", 0), 0u) << line;
    int id = std::stoi(got.substr(19));
    std::string sent = target(id);
    EXPECT_EQ(got, id % 5 ? sent : sent.substr(0, got.size() - 3) + "...");
    EXPECT_EQ(fields[2] + " " + fields[4] + " " + fields[9], "GET 200 done") << line;
    EXPECT_EQ(fields[5], std::to_string(relayed(short_answer).size()));
    EXPECT_EQ(fields[6], std::to_string(head(id).size()));
    EXPECT_TRUE(ids.insert(id).second) << line;
  }
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(requests));
}

// A line stays within PIPE_BUF: cut in its target (or a method as long),
// never inside an \xNN, every other field in its place.
TEST(AccessLog, LongLinesAreCutInsideTheTarget) {
  access_record record;
  // What the method and the target may take together.
  const std::size_t room = max_access_line - 1 - (format_access_record(record, {}).size() - 2);
  auto spaces = [](std::size_t count) {
    std::string text;
    while (count-- > 0) text += "\\x20";
    return text;
  };
  const std::string rows[][3] = {
      {"GET", std::string(room - 3, 'x'), "GET " + std::string(room - 3, 'x')},
      {"GET", std::string(room - 2, 'x'), "GET " + std::string(room - 6, 'x') + "..."},
      {std::string(5000, 'M'), "x", std::string(room - 6, 'M') + "... ..."},
      {"GET", std::string(3000, ' '), "GET " + spaces((room - 6) / 4) + "..."},
      {"GET", "ab" + std::string(3000, ' '), "GET ab" + spaces((room - 8) / 4) + "..."},
  };
  for (const auto& [method, target, fields] : rows) {
    record.method = method;
    record.target = target;
    std::vector<std::string> got = split(format_access_record(record, {}), ' ');
    ASSERT_EQ(got.size(), 11u);
    EXPECT_EQ(got[2] + " " + got[3], fields);
    EXPECT_EQ(got[9], "done");
  }
  record.user = std::string(500, 'u');
  EXPECT_EQ(split(format_access_record(record, {}), ' ').at(10), std::string(125, 'u') + "...");
}

// With LOG=off, a start-up line about an ignored argument is all ferry says.
TEST(AccessLog, OffSaysNothingPerRequest) {
  set_hosts("127.0.0.1 origin.test\n");
  add_local_address("10.0.0.9");
  scripted_origin origin("127.0.0.1", answer_and_drain(short_answer));
  ferry_process ferry({"LISTEN_PORT=8080", "LOG=off"},
                      {.prefix = {"sh", "-c", "exec \"$0\" -p 3128"}});
  ASSERT_TRUE(ferry.wait_listening(8080));
  int idle_descriptors = ferry.open_descriptors();
  EXPECT_EQ(ask(get_origin).got.data, relayed(short_answer));
  for (const auto& [bytes, from] : std::vector<std::pair<std::string, std::string>>{
           {no_host, "127.0.0.1"}, {unreachable, "127.0.0.1"}, {get_origin, "10.0.0.9"}}) {
    EXPECT_TRUE(is_ferry_answer(ask(bytes, from).got.data)) << bytes;
  }
  EXPECT_TRUE(ferry.wait_counts(idle_descriptors, INT_MAX));
  // An ignored signal is not worth a line either.
  kill(ferry.pid(), SIGHUP);
  EXPECT_EQ(ask(get_origin).got.data, relayed(short_answer));
  EXPECT_EQ(ferry.output(), "");
  EXPECT_EQ(ferry.startup_line(), "");
  std::string errors = ferry.errors();
  EXPECT_EQ(count_of(errors, "\n"), 1) << errors;
  EXPECT_NE(errors.find("settings from the environment"), std::string::npos) << errors;
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

TEST(AccessEndings, OneWordEach) {
  EXPECT_EQ(ending_word(request_ending::bad_proxy_header), "bad-proxy-header");
  EXPECT_EQ(ending_word(request_ending::no_thread), "no-thread");
}
