// What ferry writes about its work (the access log, LOG=off), its stop on a
// signal, the PROXY header of balancers and its command line, through the
// real process.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <functional>
#include <set>
#include <sstream>
#include <string_view>

#include "harness.h"
#include "origin_servers.h"
#include "answers.h"
#include "policy.h"
#include "log.h"
#include "temp_files.h"
#include "text.h"
#include "unique_fd.h"

using namespace harness;
using system_clock = std::chrono::system_clock;
using steady_clock = std::chrono::steady_clock;

using namespace ferry;
using namespace std::string_literals;

namespace {

const std::string short_answer = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
const std::string get_origin = "GET http://origin.test/x HTTP/1.1\r\nHost: origin.test\r\n\r\n";
const std::string no_host = "GET /x HTTP/1.1\r\n\r\n";
const std::string unreachable = "GET http://127.0.0.1:9/x HTTP/1.1\r\nHost: 127.0.0.1:9\r\n\r\n";

// A one-second limit in milliseconds, as ferry's waits may round it down a little.
constexpr long about_a_second = 990;

// A client's side of one request: its address as ferry sees it, what it sent and got.
struct client_side {
  std::string address, sent;
  reply got;
};

// A connection to ferry from `local_ip`, and its client side to fill in.
std::pair<unique_fd, client_side> open_client(const std::string& local_ip = "127.0.0.1") {
  unique_fd fd(connect_from(local_ip, "127.0.0.1", 8080));
  std::string address = local_ip + ":" + std::to_string(local_port(fd.get()));
  return {std::move(fd), client_side{address, "", {}}};
}

// Sends `bytes` and reads the reply to its end.
client_side ask(const std::string& bytes, const std::string& local_ip = "127.0.0.1") {
  auto [fd, client] = open_client(local_ip);
  client.sent = bytes;
  send_all(fd.get(), bytes);
  client.got = read_reply(fd.get());
  return client;
}

// The lines of `text`, which must end with one; or the fields of a line.
std::vector<std::string> split(const std::string& text, char separator = '\n') {
  if (separator == '\n') {
    EXPECT_TRUE(text.empty() || text.ends_with('\n')) << text;
  }
  std::vector<std::string> parts;
  std::istringstream stream(text);
  for (std::string part; std::getline(stream, part, separator);) parts.push_back(part);
  return parts;
}

// A request and its access line: `fields` are the method, target, status, slot
// and ending, `user` the last field; the client's own address and all it sent are expected unless
// `client` or `from_client` say otherwise.
struct logged_request {
  std::string name;
  std::function<client_side()> run;
  std::string fields;
  long ms_at_least = 0;
  std::string client = "";
  long from_client = -1;
  std::string user = "-";
};

// "2026-12-08T03:17:20.349Z": 9 stands for any digit. (std::regex trips
// g++ 12's uninitialised-use warning in the sanitizer builds.)
bool is_log_time(const std::string& field) {
  constexpr std::string_view pattern = "9999-99-99T99:99:99.999Z";
  if (field.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < field.size(); ++i) {
    bool digit = field[i] >= '0' && field[i] <= '9';
    if (pattern[i] == '9' ? !digit : field[i] != pattern[i]) return false;
  }
  return true;
}

// Checks `line` field by field: it started after `began` and took no longer
// than the time since.
void expect_line(const std::string& line, const logged_request& want, const client_side& client,
                 system_clock::time_point began) {
  SCOPED_TRACE(line);
  std::vector<std::string> fields = split(line, ' ');
  ASSERT_EQ(fields.size(), 11u);
  ASSERT_TRUE(is_log_time(fields[0]));
  tm parts{};
  strptime(fields[0].c_str(), "%FT%T", &parts);
  auto started = system_clock::from_time_t(timegm(&parts)) + std::stoi(fields[0].substr(20)) * 1ms;
  EXPECT_GE(started, std::chrono::floor<std::chrono::milliseconds>(began));
  EXPECT_LE(started, system_clock::now());
  // ferry times on the steady clock, which may drift a little from the wall clock.
  long taken = std::stol(fields[7]), since = (system_clock::now() - began) / 1ms;
  EXPECT_GE(taken, want.ms_at_least);
  EXPECT_LE(taken, since + 20);
  std::vector<std::string> expected = split(want.fields, ' ');
  std::size_t from_client = want.from_client < 0 ? client.sent.size() : want.from_client;
  expected.insert(expected.begin() + 3,
                  {std::to_string(client.got.data.size()), std::to_string(from_client), fields[7]});
  expected.insert(expected.begin(), want.client.empty() ? client.address : want.client);
  expected.push_back(want.user);
  EXPECT_EQ(std::vector<std::string>(fields.begin() + 1, fields.end()), expected);
}

// Runs the requests one after another, each line checked once its slot is free again.
void expect_lines(ferry_process& ferry, const std::vector<logged_request>& requests) {
  int idle_descriptors = ferry.open_descriptors();
  for (std::size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE(requests[i].name);
    auto began = system_clock::now();
    client_side client = requests[i].run();
    ASSERT_TRUE(ferry.wait_output("\n", static_cast<long>(i + 1)));
    // The thread frees its slot right after the line; threads stay for the next request.
    ASSERT_TRUE(ferry.wait_counts(idle_descriptors, INT_MAX));
    std::this_thread::sleep_for(20ms);
    std::vector<std::string> lines = split(ferry.output());
    ASSERT_EQ(lines.size(), i + 1);
    expect_line(lines.back(), requests[i], client, began);
  }
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  return done();
}

// The page's samples as Prometheus's own text parser reads them, one
// " name label=value ... value" line each; empty when it does not parse.
std::string parsed_page(const std::string& page) {
  temp_files::temp_folder folder;
  EXPECT_TRUE(temp_files::write_file(folder / "page", page));
  command_result parsed = run_command(
      {"/usr/bin/python3", "-c",
       "import sys; from prometheus_client.parser import text_string_to_metric_families as f\n"
       "for m in f(open(sys.argv[1]).read()):\n for s in m.samples: print('', s.name + ''.join("
       "' %s=%s' % l for l in sorted(s.labels.items())), '%.15g' % s.value)",
       folder / "page"});
  EXPECT_EQ(parsed.status, 0) << parsed.errors;
  return parsed.output;
}

std::string scrape(const std::string& from = "127.0.0.1") {
  unique_fd fd(connect_from(from, "127.0.0.1", 9090));
  send_all(fd.get(), "GET /metrics HTTP/1.1\r\nHost: ferry\r\n\r\n");
  return read_reply(fd.get()).data;
}

}  // namespace

TEST(AccessLog, OneLinePerRequestForEveryEnding) {
  set_hosts("127.0.0.1 origin.test\n127.0.0.4 big.test\n");
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

// A known mix, each request on the access log, then 50 scrapes while a slow
// request holds the one slot: the counters match the log, scrapes take no
// slot, leave no line and change no answer; ALLOW guards the page too.
TEST(MetricsPage, CountsWhatTheAccessLogShowsWithoutTakingASlot) {
  set_hosts("127.0.0.1 origin.test\n127.0.0.6 slow.test\n");
  add_local_address("10.0.0.9");
  scripted_origin origin("127.0.0.1", answer_and_drain(short_answer), 4);
  scripted_origin tunnel_end("127.0.0.1", answer_and_drain("tunnelled"), 4, 9443);
  std::atomic<bool> release{false};
  scripted_origin slow("127.0.0.6", [&](int fd) {
    read_head(fd);
    wait_until([&] { return release.load(); });
    send_within(fd, short_answer);
    return "";
  }, 2);
  ferry_process ferry({"LISTEN_PORT=8080", "LOG=access", "BACKLOG=1", "CONNECT_PORTS=9443",
                       "METRICS_ADDR=127.0.0.1:9090"});
  ASSERT_TRUE(ferry.wait_listening(8080));
  EXPECT_EQ(ask(get_origin).got.data, relayed(short_answer));
  EXPECT_EQ(ask(get_origin).got.data, relayed(short_answer));
  EXPECT_EQ(ask("", "10.0.0.9").got.data.substr(0, 22), "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(scrape("10.0.0.9").substr(0, 22), "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(ask(unreachable).got.data, host_failed);
  EXPECT_EQ(ask("CONNECT 127.0.0.1:9443 HTTP/1.1\r\n\r\nhello\r\n\r\n").got.data,
            established + "tunnelled");
  open_client();  // and gone at once
  ASSERT_TRUE(ferry.wait_output("\n", 7));
  auto [slow_fd, slow_client] = open_client();
  send_all(slow_fd.get(), "GET http://slow.test/ HTTP/1.1\r\nHost: slow.test\r\n\r\n");
  ASSERT_TRUE(wait_until([&] { return slow.accepted() == 1; }));
  for (int i = 0; i < 50; ++i) {
    std::string page = scrape();
    ASSERT_NE(page.find("\nferry_slots_in_use 1\n"), std::string::npos) << page;
    ASSERT_NE(page.find("\nferry_requests_in_flight 1\n"), std::string::npos) << page;
  }
  release = true;
  EXPECT_EQ(read_reply(slow_fd.get()).data, relayed(short_answer));
  std::string page;
  ASSERT_TRUE(wait_until([&] { return (page = scrape()).find("use 0\n") != std::string::npos; }));
  std::vector<std::string> lines = split(ferry.output());
  EXPECT_EQ(lines.size(), 8u) << ferry.output();
  long sent = 0, received = 0;
  for (const std::string& line : lines) sent += std::stol(split(line, ' ')[5]);
  for (const std::string& line : lines) received += std::stol(split(line, ' ')[6]);
  const std::string samples = parsed_page(page.substr(page.find("\r\n\r\n") + 4));
  for (const std::string& sample : std::vector<std::string>{
           "ferry_requests_total ending=done 4", "ferry_requests_total ending=refused 2",
           "ending=server-failed 1", "ending=client-closed 1", "class=2xx 4", "class=4xx 2",
           "class=5xx 1", "ferry_client_bytes_sent_total " + std::to_string(sent),
           "ferry_client_bytes_received_total " + std::to_string(received),
           "ferry_requests_in_flight 0", "ferry_slots 1", "ferry_tunnels_open 0",
           "ferry_name_cache_hits_total 1", "ferry_name_cache_misses_total 4", "kind=kept 0",
           "kind=new 0", "ferry_auth_failures_total 0", "ferry_request_duration_seconds_count 7"}) {
    EXPECT_NE(samples.find(" " + sample + "\n"), std::string::npos) << sample << samples;
  }
  // Every ending and every bucket, as the parser reads them.
  EXPECT_EQ(count_of(samples, " ferry_requests_total "), 17) << samples;
  EXPECT_EQ(count_of(samples, " ferry_request_duration_seconds_"), 18) << samples;
  EXPECT_TRUE(ferry.startup_line().ends_with(" METRICS=127.0.0.1:9090 VIA_NAME=off PARENT=none "
                                             "SERVER_POOL=1000"))
      << ferry.startup_line();
}

TEST(Stop, RequestsInFlightFinishAndNewConnectionsAreRefused) {
  set_hosts("127.0.0.1 origin.test\n");
  const std::string slow_answer = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nslow\n";
  scripted_origin origin("127.0.0.1", [&](int fd) {
    std::string got = read_head(fd);
    std::this_thread::sleep_for(500ms);
    send_within(fd, slow_answer);
    shutdown(fd, SHUT_WR);
    return got + read_reply(fd).data;
  });
  ferry_process ferry({"LISTEN_PORT=8080", "LOG=access", "STOP_TIMEOUT=5"});
  ASSERT_TRUE(ferry.wait_listening(8080));
  auto began = system_clock::now();
  std::vector<std::pair<unique_fd, client_side>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(open_client());
    clients.back().second.sent = get_origin;
    send_all(clients.back().first.get(), get_origin);
  }
  ASSERT_TRUE(wait_until([&] { return origin.accepted() == 3; }));
  auto signalled = std::chrono::steady_clock::now();
  kill(ferry.pid(), SIGTERM);
  EXPECT_TRUE(wait_until([&] { return listening_port(ferry.pid()) == 0; }));
  EXPECT_EQ(connect_to("127.0.0.1", 8080), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  for (auto& [fd, client] : clients) {
    client.got = read_reply(fd.get(), 5s);
    EXPECT_EQ(client.got.data, relayed(slow_answer));
  }
  EXPECT_EQ(ferry.wait_exit(5s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s);
  std::vector<std::string> lines = split(ferry.output());
  ASSERT_EQ(lines.size(), clients.size());
  std::set<std::string> slots;
  for (auto& [fd, client] : clients) {
    auto line = std::find_if(lines.begin(), lines.end(), [&](const std::string& text) {
      return text.find(" " + client.address + " ") != std::string::npos;
    });
    ASSERT_NE(line, lines.end()) << client.address;
    std::string slot = split(*line, ' ').at(8);
    slots.insert(slot);
    expect_line(*line, {"", {}, "GET http://origin.test/x 200 " + slot + " done", 400}, client,
                began);
  }
  EXPECT_EQ(slots, (std::set<std::string>{"2", "3", "4"}));
}

// SIGHUP, SIGUSR1 and SIGUSR2 leave ferry serving, with a line each. On
// SIGTERM ferry says it stops; a connection without a whole head closes at
// once; a request that outlasts STOP_TIMEOUT (not CON_TIMEOUT) is cut and
// logged as stopped.
TEST(Stop, ClosesUnfinishedHeadsAtOnceAndCutsWhatOutlastsTheGrace) {
  set_hosts("127.0.0.1 origin.test\n");
  const std::string some = "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\nsome";
  scripted_origin slow("127.0.0.1", [&](int fd) {
    read_head(fd);
    send_within(fd, some);
    return read_reply(fd, 30s).data;
  });
  ferry_process ferry({"LISTEN_PORT=8080", "LOG=access", "CON_TIMEOUT=1", "STOP_TIMEOUT=2"});
  ASSERT_TRUE(ferry.wait_listening(8080));
  for (int signal_number : {SIGHUP, SIGUSR1, SIGUSR2}) {
    kill(ferry.pid(), signal_number);
    ASSERT_TRUE(ferry.wait_errors(sigabbrev_np(signal_number)));
  }
  EXPECT_EQ(ferry.errors(), "ferry: SIGHUP ignored\nferry: SIGUSR1 ignored\nferry: SIGUSR2 ignored\n");
  auto [download, download_client] = open_client();
  send_all(download.get(), get_origin);
  EXPECT_EQ(read_up_to(download.get(), relayed(some).size()), relayed(some));
  auto [idle, idle_client] = open_client();
  std::this_thread::sleep_for(300ms);  // taken by a request thread

  auto signalled = steady_clock::now();
  kill(ferry.pid(), SIGTERM);
  reply idle_got = read_reply(idle.get(), 5s);
  EXPECT_TRUE(idle_got.ended() && idle_got.data.empty());
  EXPECT_LT(steady_clock::now() - signalled, 500ms);
  EXPECT_TRUE(read_reply(download.get(), 5s).ended());
  EXPECT_GE(steady_clock::now() - signalled, 1900ms);
  EXPECT_EQ(ferry.wait_exit(5s), 0);
  EXPECT_TRUE(ferry.errors().ends_with(
      "ferry: stopping; 1 request in flight, up to 2 s to finish\n"))
      << ferry.errors();
  std::vector<std::string> lines = split(ferry.output());
  ASSERT_EQ(lines.size(), 2u) << ferry.output();
  std::sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
    return a.find(" GET ") < b.find(" GET ");
  });
  EXPECT_NE(lines[0].find(" GET http://origin.test/x 200 "), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(" - - - 0 0 "), std::string::npos) << lines[1];
  for (const auto& line : lines) EXPECT_TRUE(line.ends_with(" stopped -")) << line;
}

TEST(Stop, SecondSignalEndsAtOnce) {
  set_hosts("127.0.0.1 origin.test\n");
  scripted_origin silent("127.0.0.1", [](int fd) { return read_reply(fd, 30s).data; });
  ferry_process ferry({"LISTEN_PORT=8080", "LOG=access", "STOP_TIMEOUT=30"});
  ASSERT_TRUE(ferry.wait_listening(8080));
  unique_fd client(open_request(get_origin));
  ASSERT_TRUE(wait_until([&] { return silent.accepted() == 1; }));
  kill(ferry.pid(), SIGTERM);
  // The first signal waits for the request.
  EXPECT_EQ(ferry.wait_exit(300ms), -1);
  auto second = std::chrono::steady_clock::now();
  kill(ferry.pid(), SIGTERM);
  EXPECT_EQ(ferry.wait_exit(5s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - second, 2s);
}

TEST(Stop, TraceToAFileIsWholeAfterTheStop) {
  set_hosts("127.0.0.1 origin.test\n");
  scripted_origin origin("127.0.0.1", answer_and_drain(short_answer));
  temp_files::temp_folder folder;
  // A plain file, not a terminal: the trace stays in ferry's buffer until the stop.
  ferry_process ferry({"LISTEN_PORT=8080"},
                      {.prefix = {"sh", "-c", "exec \"$0\" >" + folder / "trace"}});
  ASSERT_TRUE(ferry.wait_listening(8080));
  EXPECT_EQ(exchange(get_origin).data, relayed(short_answer));
  kill(ferry.pid(), SIGINT);
  EXPECT_EQ(ferry.wait_exit(), 0);
  std::string trace = temp_files::read_file(folder / "trace");
  EXPECT_TRUE(trace.starts_with("thread reserved at 2\n")) << trace;
  EXPECT_TRUE(trace.ends_with("thread 2 freed\n")) << trace;
}

// ferry's CPU time so far, in clock ticks.
long cpu_ticks(pid_t pid) {
  std::string stat = temp_files::read_file("/proc/" + std::to_string(pid) + "/stat");
  std::vector<std::string> fields = split(stat.substr(stat.rfind(')') + 2), ' ');
  return std::stol(fields.at(11)) + std::stol(fields.at(12));  // utime, stime
}

// Sends `bytes` one at a time, `pause` apart, until ferry closes; returns what came back.
client_side trickle(const std::string& bytes, std::chrono::milliseconds pause) {
  auto [fd, client] = open_client();
  for (char byte : bytes) {
    if (!send_all(fd.get(), std::string(1, byte))) break;
    client.sent += byte;
    pollfd closed{fd.get(), POLLIN, 0};
    if (poll(&closed, 1, static_cast<int>(pause.count())) > 0) break;
  }
  client.got = read_reply(fd.get());
  return client;
}

// From a balancer in PROXY_FROM the client is the one its header names, and
// is judged by DENY_TO even when the header names loopback; a connection
// without a good, timely header is closed unanswered.
TEST(ProxyHeader, NamesTheClientForAllowAndTheLog) {
  add_local_address("10.1.1.1");
  set_hosts("10.1.1.1 origin.test\n");
  scripted_origin origin("10.1.1.1", answer_and_drain(short_answer));
  ferry_process ferry({"LISTEN_PORT=8080", "LOG=access", "PROXY_FROM=127.0.0.1",
                       "ALLOW=10.1.2.3,127.0.0.2,2001:db8::7", "DENY_TO=127.0.0.0/8",
                       "HEAD_TIMEOUT=1"});
  ASSERT_TRUE(ferry.wait_listening(8080));
  const std::string v1 = "PROXY TCP4 10.1.2.3 127.0.0.1 5555 8080\r\n";
  const std::string v2(
      "\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x0c\x0a\x01\x02\x03\x7f\x00\x00\x01"
      "\x15\xb3\x1f\x90",
      28);
  const std::string v1_ipv6 = "PROXY TCP6 2001:db8::7 ::1 5555 8080\r\n";
  const std::string v2_ipv6 =
      std::string("\r\n\r\n\0\r\nQUIT\n\x21\x21\x00\x24\x20\x01\x0d\xb8", 20) +
      std::string(11, '\0') + "\x07" + std::string(15, '\0') +
      "\x01\x15\xb3\x1f\x90";  // 2001:db8::7 port 5555 to ::1 port 8080
  const std::string forbidden = error_answer(403, not_allowed_line);
  const std::string served = relayed(short_answer);
  // The header then `request` from `from`, answered with `expected` (for
  // ferry's own answers: answered with what starts so).
  auto proxied = [](std::string header, std::string request, std::string expected,
                    std::string from = "127.0.0.1") {
    return [=] {
      client_side client = ask(header + request, from);
      const std::string& got = client.got.data;
      EXPECT_TRUE(is_ferry_answer(got) ? got.starts_with(expected) : got == expected) << got;
      EXPECT_TRUE(client.got.ended());
      return client;
    };
  };
  const long get_size = static_cast<long>(get_origin.size());
  const std::string not_in_allow = "PROXY TCP4 10.7.7.7 127.0.0.1 5555 8080\r\n";
  const std::string malformed = "PROXY TCP4 10.1.2.3 nonsense\r\n";
  const std::string names_loopback = "PROXY TCP4 127.0.0.2 127.0.0.1 5555 8080\r\n";
  const std::string to_loopback = "GET http://127.0.0.1/x HTTP/1.1\r\n\r\n";
  auto unfinished_then_closed = [] {
    auto [fd, client] = open_client();
    client.sent = "PROXY ";
    send_all(fd.get(), client.sent);
    shutdown(fd.get(), SHUT_WR);
    auto sent = steady_clock::now();
    client.got = read_reply(fd.get());
    EXPECT_LT(steady_clock::now() - sent, 500ms);
    return client;
  };
  expect_lines(
      ferry,
      {
          {"v1", proxied(v1, get_origin, served), "GET http://origin.test/x 200 2 done", 0,
           "10.1.2.3:5555", get_size},
          {"v2", proxied(v2, get_origin, served), "GET http://origin.test/x 200 2 done", 0,
           "10.1.2.3:5555", get_size},
          {"v1 IPv6", proxied(v1_ipv6, get_origin, served), "GET http://origin.test/x 200 2 done",
           0, "[2001:db8::7]:5555", get_size},
          {"v2 IPv6", proxied(v2_ipv6, get_origin, served), "GET http://origin.test/x 200 2 done",
           0, "[2001:db8::7]:5555", get_size},
          {"outside ALLOW", proxied(not_in_allow, "", forbidden), "- - 403 2 refused", 0,
           "10.7.7.7:5555", 0},
          {"IPv6 outside ALLOW", proxied("PROXY TCP6 2001:db8::8 ::1 5555 8080\r\n", "", forbidden),
           "- - 403 2 refused", 0, "[2001:db8::8]:5555", 0},
          {"missing", proxied("", get_origin, ""), "- - - 2 bad-proxy-header", 0, "", 0},
          {"malformed", proxied(malformed, get_origin, ""), "- - - 2 bad-proxy-header", 0, "", 0},
          {"late", proxied("", "", ""), "- - - - bad-proxy-header", about_a_second, "", 0},
          {"unfinished", proxied("PROXY ", "", ""), "- - - 2 bad-proxy-header", about_a_second,
           "", 0},
          {"unfinished then closed", unfinished_then_closed, "- - - 2 bad-proxy-header", 0, "", 0},
          {"a byte at a time", [&] { return trickle(v1 + get_origin, 300ms); },
           "- - - 2 bad-proxy-header", about_a_second, "", 0},
          {"names loopback", proxied(names_loopback, to_loopback, "HTTP/1.1 403 "),
           "GET http://127.0.0.1/x 403 2 refused", 0, "127.0.0.2:5555",
           static_cast<long>(to_loopback.size())},
          {"not a balancer", proxied("", v1 + get_origin, "HTTP/1.1 400 ", "127.0.0.2"),
           "- - 400 2 bad-request"},
      });
  // Unfinished headers sleep until HEAD_TIMEOUT ends them: no CPU spent meanwhile.
  std::vector<unique_fd> unfinished;
  for (int i = 0; i < 30; ++i) {
    unfinished.push_back(open_client().first);
    send_all(unfinished.back().get(), "PROXY ");
  }
  std::this_thread::sleep_for(200ms);  // accepted, their threads started
  long ticks = cpu_ticks(ferry.pid());
  std::this_thread::sleep_for(600ms);
  EXPECT_LE(cpu_ticks(ferry.pid()) - ticks, 2);
  for (auto& fd : unfinished) EXPECT_TRUE(read_reply(fd.get(), 2s).ended());
}

TEST(Arguments, HelpVersionAndABadLogSetting) {
  command_result help = run_command({FERRY_BINARY, "--help"}, {}, 10s);
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.output.starts_with("Usage: ferry [-h | --help | --version]\n")) << help.output;
  for (const char* name : {"LISTEN_ADDR", "LISTEN_PORT", "BACKLOG", "ALLOW", "DENY_TO",
                           "CONNECT_PORTS", "PROXY_FROM", "HEAD_TIMEOUT", "IDLE_TIMEOUT",
                           "CON_TIMEOUT", "NAME_CACHE", "LOG", "MAX_RAM_CACHE", "MAX_HDD_CACHE",
                           "KEEPALIVE_TIMEOUT", "MAX_WAITING", "MAX_WAITING_PER_CLIENT",
                           "STOP_TIMEOUT", "AUTH_FILE", "AUTH_REALM", "AUTH_CACHE", "ALLOW_HOSTS",
                           "DENY_HOSTS", "TUNNEL_CHECK", "METRICS_ADDR"}) {
    EXPECT_NE(help.output.find(std::string(name) + "="), std::string::npos) << name;
  }
  command_result version = run_command({FERRY_BINARY, "--version"}, {}, 10s);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output, "ferry 0.1.0\n");
  EXPECT_EQ(help.errors + version.errors, "");
  command_result bad_log = run_command({FERRY_BINARY}, {"LOG=loud"}, 10s);
  EXPECT_EQ(bad_log.status, 255);
  EXPECT_EQ(count_of(bad_log.errors, "\n"), 1) << bad_log.errors;
  EXPECT_TRUE(bad_log.errors.starts_with("LOG=")) << bad_log.errors;
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

TEST(AccessEndings, OneWordEachAndTheWordsStillTaken) {
  EXPECT_EQ(ending_word(request_ending::bad_proxy_header), "bad-proxy-header");
  EXPECT_EQ(ending_field("no-thread"), request_ending::no_thread);
  EXPECT_EQ(ending_field("none of them"), request_ending::done);
}
