// Checks the settings reader against a model of its own for the numbers. The
// input's lines are the environment's entries. An entry sets a setting only
// when it is exactly the setting's name, '=' and a value that is not empty;
// the last such entry wins; it is taken when it is decimal digits only and in
// the setting's range, and otherwise leaves the default and a problem.
// value_for never returns null and points just past the '=' exactly when the
// entry begins with the name and '='.
// The checked settings are held to invariants instead: accepted ranges have
// no host bits and prefixes of at most 128 bits, port ranges rise from 1 at least,
// the problem is empty or one printable line naming a setting of the input,
// and the accepted values, written back as settings, read again the same.
// A near-miss warning is one printable line for a name that is no setting.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "settings.h"

using namespace ferry;

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

struct number_setting {
  const char* name;
  std::int64_t lowest, highest, fallback;
};
constexpr number_setting numbers[] = {{"LISTEN_PORT", 0, 65535, 8080},
                                      {"CON_TIMEOUT", 0, 65535, 10},
                                      {"BACKLOG", 1, 2147483645, 256},
                                      {"MAX_RAM_CACHE", 0, INT64_MAX, 100},
                                      {"MAX_HDD_CACHE", 0, INT64_MAX, 20000},
                                      {"MAX_WAITING", 1, 1000000, 10000},
                                      {"MAX_WAITING_PER_CLIENT", 1, 1000000, 1000},
                                      {"STOP_TIMEOUT", 0, 65535, 30},
                                      {"AUTH_CACHE", 0, 65535, 300},
                                      {"SERVER_POOL", 0, 100000, 1000}};

std::int64_t number_value(const settings& values, const char* name) {
  std::string_view n = name;
  if (n == "LISTEN_PORT") return values.listen_port;
  if (n == "CON_TIMEOUT") return values.connect_timeout_seconds;
  if (n == "BACKLOG") return values.request_slots;
  if (n == "MAX_WAITING") return values.max_waiting;
  if (n == "MAX_WAITING_PER_CLIENT") return values.max_waiting_per_client;
  if (n == "STOP_TIMEOUT") return values.stop_timeout_seconds;
  if (n == "AUTH_CACHE") return values.auth_cache_seconds;
  if (n == "SERVER_POOL") return values.server_pool;
  return -1;  // the cache sizes are checked, not kept
}

// The value a number setting must hold after `entries`; false in `good` when
// its last value is refused.
std::int64_t model_number(const number_setting& setting, const std::vector<std::string>& entries,
                          bool& good) {
  std::string last;
  for (const std::string& entry : entries) {
    std::string prefix = std::string(setting.name) + "=";
    if (entry.starts_with(prefix) && entry.size() > prefix.size()) last = entry.substr(prefix.size());
  }
  good = true;
  if (last.empty()) return setting.fallback;
  long double value = 0;
  for (char c : last) {
    good = good && c >= '0' && c <= '9';
    value = value * 10 + (c - '0');
  }
  good = good && value >= setting.lowest && value <= setting.highest;
  return good ? std::stoll(last) : setting.fallback;
}

settings_reading read(std::vector<std::string> entries) {
  std::vector<char*> env;
  for (auto& entry : entries) env.push_back(entry.data());
  env.push_back(nullptr);
  return read_settings(env.data());
}

auto fields(const settings& s) {
  return std::tie(s.listen_address, s.listen_port, s.request_slots, s.allowed_clients,
                  s.denied_destinations, s.tunnel_ports, s.balancers, s.head_timeout_seconds,
                  s.idle_timeout_seconds, s.connect_timeout_seconds, s.name_cache_seconds, s.log,
                  s.keepalive_timeout_seconds, s.max_waiting);
}

// A range as a setting would write it, in the family its network belongs to.
std::string written_range(const cidr_range& range) {
  bool ipv4 = is_ipv4(range.network);
  require(!ipv4 || range.prefix >= 96, "an IPv4 network with a prefix inside ::ffff");
  return format_ip_address(range.network) + "/" + std::to_string(range.prefix - (ipv4 ? 96 : 0));
}

void check_problem(const std::string& problem, const std::vector<std::string>& entries) {
  if (problem.empty()) return;
  for (char c : problem) require(c >= 0x20 && c < 0x7f, "problem not printable");
  const std::string named = problem.substr(0, problem.find("=\"") + 1);
  auto names = [&](const std::string& entry) { return entry.starts_with(named); };
  require(named.size() > 1 && std::any_of(entries.begin(), entries.end(), names),
          "the problem names no setting of the input");
}

// Checks the accepted values, then writes them back as settings and reads them again.
void check_accepted(const settings& values) {
  std::string allow, deny_to, proxy_from, ports;
  for (auto [list, text] : {std::pair{&values.allowed_clients, &allow},
                            std::pair{&values.denied_destinations, &deny_to},
                            std::pair{&values.balancers, &proxy_from}}) {
    for (const cidr_range& range : *list) {
      if (range == self_range) {
        *text += ",self";
        continue;
      }
      require(range.prefix <= 128, "prefix beyond 128 bits");
      for (int bit = range.prefix; bit < 128; ++bit) {
        require((range.network.bytes[bit / 8] & (0x80 >> (bit % 8))) == 0,
                "host bits in an accepted range");
      }
      *text += "," + written_range(range);
    }
  }
  for (const port_range& range : values.tunnel_ports) {
    require(range.first != 0 && range.first <= range.last, "bad accepted port range");
    ports += "," + std::to_string(range.first) + "-" + std::to_string(range.last);
  }
  auto listed = [](const std::string& text) { return text.empty() ? "none" : text.substr(1); };
  std::vector<std::string> entries = {"LISTEN_ADDR=" + format_ip_address(values.listen_address),
                                      "ALLOW=" + listed(allow),
                                      "DENY_TO=" + listed(deny_to),
                                      "PROXY_FROM=" + listed(proxy_from),
                                      "CONNECT_PORTS=" + listed(ports),
                                      "HEAD_TIMEOUT=" + std::to_string(values.head_timeout_seconds),
                                      "IDLE_TIMEOUT=" + std::to_string(values.idle_timeout_seconds),
                                      "NAME_CACHE=" + std::to_string(values.name_cache_seconds),
                                      "KEEPALIVE_TIMEOUT=" +
                                          std::to_string(values.keepalive_timeout_seconds)};
  for (const number_setting& number : numbers) {
    std::int64_t value = number_value(values, number.name);
    if (value >= 0) entries.push_back(std::string(number.name) + "=" + std::to_string(value));
  }
  settings_reading again = read(entries);
  require(again.problem.empty(), "accepted values written back are refused");
  require(fields(again.values) == fields(values), "accepted values written back read otherwise");
}

void check_value_for(const std::string& name, const std::string& entry) {
  const char* result = value_for(name.c_str(), entry.c_str());
  require(result != nullptr, "value_for returned null");
  bool match = entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
               entry[name.size()] == '=';
  if (match) {
    require(result == entry.c_str() + name.size() + 1, "value_for missed the value");
  } else {
    require(*result == '\0', "value_for matched what is not name=");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Lines, each cut at its first zero byte as the C string it becomes.
  std::vector<std::string> entries;
  std::string text(reinterpret_cast<const char*>(data), size);
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    entries.push_back(line.substr(0, line.find('\0')));
    start = end + 1;
  }

  settings_reading reading = read(entries);
  bool all_good = true;
  for (const number_setting& number : numbers) {
    bool good = true;
    std::int64_t expected = model_number(number, entries, good);
    all_good = all_good && good;
    std::int64_t value = number_value(reading.values, number.name);
    if (reading.problem.empty() && value >= 0) require(value == expected, number.name);
  }
  require(all_good || !reading.problem.empty(), "a refused number left no problem");
  check_problem(reading.problem, entries);

  // The first line also serves as a name of the input's own choosing.
  for (const std::string& entry : entries) {
    for (const char* name :
         {"LISTEN_PORT", "MAX_RAM_CACHE", "MAX_HDD_CACHE", "CON_TIMEOUT", "BACKLOG", "", "L"}) {
      check_value_for(name, entry);
    }
    check_value_for(entries.front(), entry);
  }
  if (reading.problem.empty()) check_accepted(reading.values);
  std::vector<const char*> env;
  for (const std::string& entry : entries) env.push_back(entry.c_str());
  env.push_back(nullptr);
  for (const std::string& line : near_miss_warnings(env.data())) {
    require(line.starts_with("ferry: ") && line.ends_with("?"), "a warning is one sentence");
    for (char c : line) require(c >= 0x20 && c < 0x7f, "warning not printable");
  }
  return 0;
}
