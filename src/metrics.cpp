#include "metrics.h"

#include <algorithm>
#include <cstdio>

namespace ferry {

// Every access below is relaxed: each value is a count of its own, no other
// memory is published through it, and a scrape needs no order between them.

namespace {

template <typename Enum>
constexpr std::size_t index(Enum which) {
  return static_cast<std::size_t>(which);
}

// Microseconds as seconds, without trailing zeros: 2500 is "0.0025".
std::string seconds_text(std::uint64_t microseconds) {
  std::string text = std::to_string(microseconds / 1'000'000);
  std::uint64_t fraction = microseconds % 1'000'000;
  if (fraction == 0) return text;
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06llu", static_cast<unsigned long long>(fraction));
  std::string_view shown(digits);
  return text.append(".").append(shown.substr(0, shown.find_last_not_of('0') + 1));
}

void describe(std::string& page, std::string_view name, std::string_view type,
              std::string_view help) {
  page.append("# HELP ").append(name).append(" ").append(help).append("\n");
  page.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

template <typename Number>
void sample(std::string& page, std::string_view name, std::string_view labels, Number value) {
  page.append(name).append(labels).append(" ").append(std::to_string(value)).append("\n");
}

std::string label(std::string_view name, std::string_view value) {
  // Appended piece by piece: "literal" + std::string trips g++ 12's -Wrestrict at -O3.
  std::string text(1, '{');
  text.append(name).append("=\"").append(value).append("\"}");
  return text;
}

void render_requests(std::string& page, const metrics_snapshot& snapshot) {
  describe(page, "ferry_requests_total", "counter",
           "Requests by how they ended, as the access log's last field names it.");
  for (std::size_t i = 0; i < request_endings.size(); ++i) {
    sample(page, "ferry_requests_total", label("ending", request_endings[i]),
           snapshot.requests_by_ending[i]);
  }
  describe(page, "ferry_requests_by_status_total", "counter",
           "Requests by the class of their status; a tunnel counts as 2xx.");
  for (std::size_t i = 0; i < snapshot.requests_by_status_class.size(); ++i) {
    sample(page, "ferry_requests_by_status_total", label("class", std::to_string(i + 1) + "xx"),
           snapshot.requests_by_status_class[i]);
  }
}

struct plain_metric {
  std::string_view name;
  std::string_view type;
  std::string_view help;
  bool is_gauge;
  std::size_t index;
};

constexpr plain_metric plain_metrics[] = {
    {"ferry_client_bytes_sent_total", "counter", "Bytes sent to clients.", false,
     index(counter::client_bytes_sent)},
    {"ferry_client_bytes_received_total", "counter", "Bytes received from clients, heads included.",
     false, index(counter::client_bytes_received)},
    {"ferry_requests_in_flight", "gauge", "Requests being served.", true,
     index(gauge::requests_in_flight)},
    {"ferry_slots_in_use", "gauge", "Request slots taken.", true, index(gauge::slots_in_use)},
    {"ferry_slots", "gauge", "Request slots in all.", true, index(gauge::slots)},
    {"ferry_name_cache_hits_total", "counter", "Names answered from the name cache.", false,
     index(counter::name_cache_hits)},
    {"ferry_name_cache_misses_total", "counter", "Names the resolver was asked for.", false,
     index(counter::name_cache_misses)},
    {"ferry_auth_failures_total", "counter", "Requests refused for missing or wrong credentials.",
     false, index(counter::auth_failures)},
    {"ferry_tunnels_open", "gauge", "CONNECT tunnels open.", true, index(gauge::tunnels_open)}};

void render_plain(std::string& page, const metrics_snapshot& snapshot) {
  for (const plain_metric& metric : plain_metrics) {
    describe(page, metric.name, metric.type, metric.help);
    if (metric.is_gauge) {
      sample(page, metric.name, "", snapshot.gauges[metric.index]);
    } else {
      sample(page, metric.name, "", snapshot.counters[metric.index]);
    }
  }
  describe(page, "ferry_connections_waiting", "gauge",
           "Client connections waiting without a thread: kept between requests, or new.");
  sample(page, "ferry_connections_waiting", label("kind", "kept"),
         snapshot.gauges[index(gauge::connections_waiting_kept)]);
  sample(page, "ferry_connections_waiting", label("kind", "new"),
         snapshot.gauges[index(gauge::connections_waiting_new)]);
}

void render_durations(std::string& page, const metrics_snapshot& snapshot) {
  constexpr std::string_view name = "ferry_request_duration_seconds";
  describe(page, name, "histogram",
           "Time a request took, as the access log counts it; tunnels left out.");
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < snapshot.duration_buckets.size(); ++i) {
    total += snapshot.duration_buckets[i];
    std::string bound = i < duration_bounds_microseconds.size()
                            ? seconds_text(duration_bounds_microseconds[i])
                            : "+Inf";
    sample(page, std::string(name) + "_bucket", label("le", bound), total);
  }
  page.append(name)
      .append("_sum ")
      .append(seconds_text(snapshot.duration_sum_microseconds))
      .append("\n");
  sample(page, std::string(name) + "_count", "", total);
}

}  // namespace

void metrics::count_request(const finished_request& request) {
  auto ending = std::find(request_endings.begin(), request_endings.end(), request.ending);
  if (ending != request_endings.end()) {
    requests_by_ending_[ending - request_endings.begin()].fetch_add(1, std::memory_order_relaxed);
  }
  if (request.status >= 100 && request.status <= 599) {
    requests_by_status_class_[request.status / 100 - 1].fetch_add(1, std::memory_order_relaxed);
  }
  add(counter::client_bytes_sent, request.to_client);
  add(counter::client_bytes_received, request.from_client);
  if (request.tunnel) return;
  duration_buckets_[duration_bucket(request.took)].fetch_add(1, std::memory_order_relaxed);
  std::uint64_t took = request.took.count() > 0 ? request.took.count() : 0;
  duration_sum_microseconds_.fetch_add(took, std::memory_order_relaxed);
}

void metrics::add(counter which, std::uint64_t amount) {
  if (amount != 0) counters_[index(which)].fetch_add(amount, std::memory_order_relaxed);
}

void metrics::add(gauge which, std::int64_t amount) {
  gauges_[index(which)].fetch_add(amount, std::memory_order_relaxed);
}

void metrics::set(gauge which, std::int64_t value) {
  gauges_[index(which)].store(value, std::memory_order_relaxed);
}

metrics_snapshot metrics::snapshot() const {
  metrics_snapshot taken;
  auto copy = [](const auto& from, auto& to) {
    for (std::size_t i = 0; i < from.size(); ++i) to[i] = from[i].load(std::memory_order_relaxed);
  };
  copy(requests_by_ending_, taken.requests_by_ending);
  copy(requests_by_status_class_, taken.requests_by_status_class);
  copy(counters_, taken.counters);
  copy(gauges_, taken.gauges);
  copy(duration_buckets_, taken.duration_buckets);
  taken.duration_sum_microseconds = duration_sum_microseconds_.load(std::memory_order_relaxed);
  for (std::uint64_t count : taken.duration_buckets) taken.duration_count += count;
  return taken;
}

metrics& process_metrics() {
  static metrics registry;
  return registry;
}

std::size_t duration_bucket(std::chrono::microseconds took) {
  std::uint64_t microseconds = took.count() > 0 ? took.count() : 0;
  return std::lower_bound(duration_bounds_microseconds.begin(), duration_bounds_microseconds.end(),
                          microseconds) -
         duration_bounds_microseconds.begin();
}

std::string render_metrics(const metrics_snapshot& snapshot) {
  std::string page;
  page.reserve(4096);
  render_requests(page, snapshot);
  render_plain(page, snapshot);
  render_durations(page, snapshot);
  return page;
}

std::string answer_scrape(std::string_view head, const metrics_snapshot& snapshot) {
  std::string_view line = head.substr(0, head.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  bool scrape = line == "GET /metrics HTTP/1.1" || line == "GET /metrics HTTP/1.0";
  std::string body = scrape ? render_metrics(snapshot) : "not found\n";
  std::string answer = scrape ? "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\n"
                              : "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\n";
  answer.append("Content-Length: ").append(std::to_string(body.size()));
  answer.append("\r\nConnection: close\r\n\r\n").append(body);
  return answer;
}

}  // namespace ferry
