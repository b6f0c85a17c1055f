// The live counters: what a known mix of requests adds, where durations
// fall, the page a scrape reads and the answer to other requests.
#include "metrics.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace ferry;
using std::chrono::microseconds;

// Two 200s, a 403, a 502, a tunnel, a client gone without a status, and an
// ending no list knows.
metrics_snapshot known_mix() {
  metrics counted;
  const finished_request requests[] = {
      {"done", 200, 100, 50, microseconds(1'000), false},
      {"done", 204, 10, 5, microseconds(2'501), false},
      {"refused", 403, 300, 40, microseconds(0), false},
      {"server-failed", 502, 200, 60, microseconds(61'000'000), false},
      {"done", 200, 5000, 700, microseconds(9'000'000), true},
      {"client-closed", 0, 0, 0, microseconds(30), false},
      {"unheard-of", 404, 1, 1, microseconds(30), false}};
  for (const finished_request& request : requests) counted.count_request(request);
  counted.add(gauge::tunnels_open, 2);
  counted.add(gauge::tunnels_open, -1);
  counted.set(gauge::slots, 32);
  counted.add(gauge::connections_waiting_new, 3);
  counted.add(counter::name_cache_misses, 4);
  return counted.snapshot();
}

TEST(Metrics, CountsAKnownMixIntoExactLines) {
  const std::string page = render_metrics(known_mix());
  for (const char* line :
       {"# HELP ferry_requests_total Requests by how they ended, as the access log's last field "
        "names it.\n# TYPE ferry_requests_total counter\nferry_requests_total{ending=\"done\"} 3\n",
        "\nferry_requests_total{ending=\"parent-refused\"} 0\n",
        "\nferry_requests_by_status_total{class=\"1xx\"} 0\n"
        "ferry_requests_by_status_total{class=\"2xx\"} 3\n"
        "ferry_requests_by_status_total{class=\"3xx\"} 0\n"
        "ferry_requests_by_status_total{class=\"4xx\"} 2\n"
        "ferry_requests_by_status_total{class=\"5xx\"} 1\n",
        "\nferry_client_bytes_sent_total 5611\n", "\nferry_client_bytes_received_total 856\n",
        "\nferry_tunnels_open 1\n", "\nferry_slots 32\n", "\nferry_name_cache_misses_total 4\n",
        "\nferry_connections_waiting{kind=\"kept\"} 0\nferry_connections_waiting{kind=\"new\"} 3\n",
        "# TYPE ferry_request_duration_seconds histogram\n"
        "ferry_request_duration_seconds_bucket{le=\"0.001\"} 4\n"
        "ferry_request_duration_seconds_bucket{le=\"0.0025\"} 4\n"
        "ferry_request_duration_seconds_bucket{le=\"0.005\"} 5\n",
        "_bucket{le=\"60\"} 5\nferry_request_duration_seconds_bucket{le=\"+Inf\"} 6\n"
        "ferry_request_duration_seconds_sum 61.003561\n"
        "ferry_request_duration_seconds_count 6\n"}) {
    EXPECT_NE(page.find(line), std::string::npos) << line << "\nnot in:\n" << page;
  }
}

TEST(Metrics, PlacesDurationsInTheFirstBucketTheyDoNotPass) {
  const std::pair<long, std::size_t> rows[] = {{-5, 0},        {0, 0},           {1'000, 0},
                                               {1'001, 1},     {2'500, 1},       {999'999, 9},
                                               {1'000'000, 9}, {60'000'000, 14}, {60'000'001, 15}};
  for (const auto& [took, bucket] : rows)
    EXPECT_EQ(duration_bucket(microseconds(took)), bucket) << took;
}

TEST(Metrics, CountsFromManyThreadsWithoutLoss) {
  metrics counted;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&counted] {
      for (int i = 0; i < 10'000; ++i)
        counted.count_request({"done", 200, 1, 2, microseconds(5), false});
    });
  }
  for (std::thread& thread : threads) thread.join();
  const metrics_snapshot taken = counted.snapshot();
  EXPECT_EQ(taken.requests_by_ending[0], 40'000u);
  EXPECT_EQ(taken.duration_count, 40'000u);
}

TEST(Metrics, AnswersOnlyGetMetricsAndAlwaysCloses) {
  const metrics_snapshot taken = known_mix();
  const std::string page = render_metrics(taken);
  EXPECT_EQ(answer_scrape("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", taken),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\nContent-Length: " +
                std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page);
  EXPECT_EQ(answer_scrape("GET /metrics HTTP/1.0\n\n", taken).substr(0, 15), "HTTP/1.1 200 OK");
  for (const char* head : {"HEAD /metrics HTTP/1.1\r\n\r\n", "GET /metrics/ HTTP/1.1\r\n\r\n",
                           "GET http://x/metrics HTTP/1.1\r\n\r\n", "GET /metrics HTTP/1.1x\r\n",
                           "", "\x16\x03\x01"}) {
    EXPECT_EQ(answer_scrape(head, taken),
              "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n"
              "Connection: close\r\n\r\nnot found\n")
        << head;
  }
}

}  // namespace
