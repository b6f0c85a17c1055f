// The metrics page through the real process: what it counts against the
// access log, and that a scrape takes no request slot.
#include <gtest/gtest.h>

#include <atomic>

#include "harness.h"
#include "origin_servers.h"
#include "unique_fd.h"

using namespace harness;
using namespace harness::access_lines;
using ferry::unique_fd;

namespace {

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
