// The live counters that the other units only add to, the page that a
// scrape reads them as (the Prometheus text format), and the answer to a
// scrape's request. Uses no other unit; the one global is the registry.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ferry {

// The words of the access log's last field (log.h's request_ending), in the
// order the page lists them.
inline constexpr std::array<std::string_view, 17> request_endings = {
    "done",         "client-closed", "client-timeout", "server-failed",    "server-timeout",
    "idle-timeout", "refused",       "bad-request",    "bad-proxy-header", "not-http",
    "no-slot",      "no-thread",     "stopped",        "parent-refused",   "auth-required",
    "denied-host",  "tunnel-refused"};

// Upper bounds of the duration buckets in microseconds, 1 ms to 60 s; one
// more bucket, +Inf, takes the rest.
inline constexpr std::array<std::uint64_t, 15> duration_bounds_microseconds = {
    1'000,   2'500,     5'000,     10'000,    25'000,     50'000,     100'000,   250'000,
    500'000, 1'000'000, 2'500'000, 5'000'000, 10'000'000, 30'000'000, 60'000'000};

enum class counter : std::size_t {
  client_bytes_sent,      // to clients
  client_bytes_received,  // from clients, heads included
  name_cache_hits,
  name_cache_misses,
  auth_failures,
  count
};

enum class gauge : std::size_t {
  requests_in_flight,
  slots_in_use,
  slots,
  connections_waiting_kept,
  connections_waiting_new,
  tunnels_open,
  count
};

// One request as its access line tells it.
struct finished_request {
  std::string_view ending;  // one of request_endings; another counts by status alone
  int status = 0;           // 0: none; a tunnel ferry opened counts as 200
  std::uint64_t to_client = 0;
  std::uint64_t from_client = 0;
  std::chrono::microseconds took{0};
  bool tunnel = false;  // tunnels stay out of the duration histogram
};

// Every value at one moment; buckets each hold their own count, not the
// running total the page shows.
struct metrics_snapshot {
  std::array<std::uint64_t, request_endings.size()> requests_by_ending{};
  std::array<std::uint64_t, 5> requests_by_status_class{};  // 1xx to 5xx
  std::array<std::uint64_t, static_cast<std::size_t>(counter::count)> counters{};
  std::array<std::int64_t, static_cast<std::size_t>(gauge::count)> gauges{};
  std::array<std::uint64_t, duration_bounds_microseconds.size() + 1> duration_buckets{};
  std::uint64_t duration_sum_microseconds = 0;
  std::uint64_t duration_count = 0;
};

// Counters any thread may add to without a lock.
class metrics {
 public:
  void count_request(const finished_request& request);
  void add(counter which, std::uint64_t amount);
  void add(gauge which, std::int64_t amount);  // negative to take away
  void set(gauge which, std::int64_t value);
  // Values read one by one: a scrape may see a request half counted.
  metrics_snapshot snapshot() const;

 private:
  template <std::size_t size>
  using values = std::array<std::atomic<std::uint64_t>, size>;
  values<request_endings.size()> requests_by_ending_{};
  values<5> requests_by_status_class_{};
  values<static_cast<std::size_t>(counter::count)> counters_{};
  std::array<std::atomic<std::int64_t>, static_cast<std::size_t>(gauge::count)> gauges_{};
  values<duration_bounds_microseconds.size() + 1> duration_buckets_{};
  std::atomic<std::uint64_t> duration_sum_microseconds_{0};
};

// The process's one registry.
metrics& process_metrics();

// The bucket of duration_buckets that `took` falls in: the first whose bound
// it does not pass, or the last (+Inf).
std::size_t duration_bucket(std::chrono::microseconds took);

// The page in the Prometheus text format 0.0.4, HELP and TYPE lines included.
std::string render_metrics(const metrics_snapshot& snapshot);

// The whole answer to a scrape connection's request head: the page for
// "GET /metrics" (HTTP/1.0 or 1.1), 404 for anything else; either closes
// the connection.
std::string answer_scrape(std::string_view head, const metrics_snapshot& snapshot);

}  // namespace ferry
