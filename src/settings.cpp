#include "settings.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

#include "text.h"
#include "via.h"

namespace ferry {

const char* value_for(const char* name, const char* entry) {
  while (*name != '\0' && *name == *entry) {
    ++name;
    ++entry;
  }
  if (*name == '\0' && *entry == '=') return entry + 1;
  return "";
}

namespace {

// Decimal digits only, leading zeros allowed, `lowest` to `highest`. Sets
// `number` only on success.
bool read_number(std::string_view value, std::int64_t lowest, std::int64_t highest,
                 std::int64_t& number, std::string& problem) {
  std::uint64_t read = 0;
  if (!read_decimal(value, static_cast<std::uint64_t>(highest), leading_zeros::allowed, read) ||
      read < static_cast<std::uint64_t>(lowest)) {
    problem = "not a whole number " + std::to_string(lowest) + " to " + std::to_string(highest);
    return false;
  }
  number = static_cast<std::int64_t>(read);
  return true;
}

bool read_seconds(std::string_view value, std::uint16_t& seconds, std::string& problem) {
  std::int64_t number = 0;
  if (!read_number(value, 0, 65535, number, problem)) {
    problem = "not a whole number of seconds 0 to 65535";
    return false;
  }
  seconds = static_cast<std::uint16_t>(number);
  return true;
}

// A setting that `parse` reads straight into its member.
template <auto member, auto parse>
bool read_into(std::string_view value, settings& values, std::string& problem) {
  return parse(value, values.*member, problem);
}

// A number setting, `lowest` to `highest`.
template <auto member, std::int64_t lowest, std::int64_t highest>
bool read_count(std::string_view value, settings& values, std::string& problem) {
  return read_number(value, lowest, highest, values.*member, problem);
}

// Each reader sets its setting only when the whole value parses.
bool read_listen_port(std::string_view value, settings& values, std::string& problem) {
  std::int64_t port = 0;
  if (!read_number(value, 0, 65535, port, problem)) return false;
  values.listen_port = static_cast<std::uint16_t>(port);
  return true;
}
// Checked, then dropped: nothing uses a cache size.
bool read_cache_size(std::string_view value, settings&, std::string& problem) {
  std::int64_t unused = 0;
  return read_number(value, 0, INT64_MAX, unused, problem);
}
bool read_listen_address(std::string_view value, settings& values, std::string& problem) {
  if (parse_ip_address(value, values.listen_address)) return true;
  problem = "not an IPv4 or IPv6 address";
  return false;
}
bool read_allowed_clients(std::string_view value, settings& values, std::string& problem) {
  return parse_address_list(value, values.allowed_clients, problem);
}
bool read_denied_destinations(std::string_view value, settings& values, std::string& problem) {
  return parse_address_list(value, values.denied_destinations, problem, true);
}
bool read_balancers(std::string_view value, settings& values, std::string& problem) {
  return parse_address_list(value, values.balancers, problem);
}
bool read_log(std::string_view value, settings& values, std::string& problem) {
  constexpr std::pair<std::string_view, log_mode> modes[] = {
      {"trace", log_mode::trace}, {"access", log_mode::access}, {"off", log_mode::off}};
  for (const auto& [name, mode] : modes) {
    if (value == name) {
      values.log = mode;
      return true;
    }
  }
  problem = "not one of trace, access, off";
  return false;
}

bool read_auth_file(std::string_view value, settings& values, std::string& problem) {
  user_file file = load_user_file(std::string(value));
  if (!file.problem.empty()) {
    problem = file.problem;
    return false;
  }
  values.auth_file = value;
  values.users = std::move(file);
  return true;
}
// The realm goes between quotes in a field: no quote, backslash or control byte.
bool read_auth_realm(std::string_view value, settings& values, std::string& problem) {
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
      problem = "a quote, backslash or control byte in the realm";
      return false;
    }
  }
  values.auth_realm = value;
  return true;
}
bool read_allowed_hosts(std::string_view value, settings& values, std::string& problem) {
  host_list list;
  if (!load_host_list(value, list, problem)) return false;
  values.allowed_hosts_value = value;
  values.hosts.allowed = std::move(list);
  return true;
}
bool read_denied_hosts(std::string_view value, settings& values, std::string& problem) {
  if (!load_host_list(value, values.hosts.denied, problem)) return false;
  values.denied_hosts_value = value;
  return true;
}
bool read_tunnel_check(std::string_view value, settings& values, std::string& problem) {
  if (value != "off" && value != "sni") {
    problem = "not one of off, sni";
    return false;
  }
  values.tunnel_check_sni = value == "sni";
  return true;
}

// "a.b.c.d:port" or "[v6]:port", the port 1 to 65535: a scraper must know it.
bool read_metrics_address(std::string_view value, settings& values, std::string& problem) {
  std::size_t colon = value.rfind(':');
  std::string_view host = value.substr(0, colon == std::string_view::npos ? 0 : colon);
  bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
  if (bracketed) host = host.substr(1, host.size() - 2);
  ip_address address;
  std::int64_t port = 0;
  if (colon == std::string_view::npos || !parse_ip_address(host, address) ||
      bracketed == is_ipv4(address) || !read_number(value.substr(colon + 1), 1, 65535, port, problem)) {
    problem = "not address:port (an IPv6 address in brackets, the port 1 to 65535)";
    return false;
  }
  values.metrics_on = true;
  values.metrics_address = address;
  values.metrics_port = static_cast<std::uint16_t>(port);
  return true;
}

struct setting_reader {
  const char* name;
  bool (*read)(std::string_view value, settings& values, std::string& problem);
};
// clang-format off: two short rows to a line
constexpr setting_reader setting_readers[] = {
    {"LISTEN_PORT", read_listen_port},
    {"CON_TIMEOUT", read_into<&settings::connect_timeout_seconds, read_seconds>},
    {"BACKLOG", read_count<&settings::request_slots, 1, max_request_slots>},
    {"MAX_RAM_CACHE", read_cache_size}, {"MAX_HDD_CACHE", read_cache_size},
    {"LISTEN_ADDR", read_listen_address}, {"ALLOW", read_allowed_clients},
    {"DENY_TO", read_denied_destinations},
    {"CONNECT_PORTS", read_into<&settings::tunnel_ports, parse_port_list>},
    {"HEAD_TIMEOUT", read_into<&settings::head_timeout_seconds, read_seconds>},
    {"IDLE_TIMEOUT", read_into<&settings::idle_timeout_seconds, read_seconds>},
    {"PROXY_FROM", read_balancers}, {"LOG", read_log},
    {"NAME_CACHE", read_into<&settings::name_cache_seconds, read_seconds>},
    {"KEEPALIVE_TIMEOUT", read_into<&settings::keepalive_timeout_seconds, read_seconds>},
    {"MAX_WAITING", read_count<&settings::max_waiting, 1, most_waiting>},
    {"MAX_WAITING_PER_CLIENT", read_count<&settings::max_waiting_per_client, 1, most_waiting>},
    {"STOP_TIMEOUT", read_into<&settings::stop_timeout_seconds, read_seconds>},
    {"AUTH_FILE", read_auth_file}, {"AUTH_REALM", read_auth_realm},
    {"AUTH_CACHE", read_into<&settings::auth_cache_seconds, read_seconds>},
    {"ALLOW_HOSTS", read_allowed_hosts}, {"DENY_HOSTS", read_denied_hosts},
    {"TUNNEL_CHECK", read_tunnel_check},
    {"VIA_NAME", read_into<&settings::via_name, parse_via_name>},
    {"PARENT", read_into<&settings::parent, parse_parent>},
    {"PARENT_BYPASS", read_into<&settings::direct_targets, parse_parent_bypass>},
    {"METRICS_ADDR", read_metrics_address},
    {"SERVER_POOL", read_count<&settings::server_pool, 0, most_pooled>},
};
// clang-format on
constexpr std::size_t setting_count = std::size(setting_readers);

// The one line that names a bad setting: a value of any length is shown by
// its start, so the line stays readable.
std::string describe_problem(const char* name, std::string_view value, std::string problem) {
  constexpr std::size_t shown_length = 100;
  std::string shown(value.substr(0, shown_length));
  if (value.size() > shown_length) shown += "...(" + std::to_string(value.size()) + " bytes)";
  std::string line = std::string(name) + "=\"" + shown + "\" is not valid: ";
  if (problem.size() > 2 * shown_length) problem = problem.substr(0, 2 * shown_length) + "...";
  // Escaped, so that the report stays one line and cannot drive a terminal.
  return escape_bytes(line + problem, kept_bytes{.space = true, .backslash = true});
}

}  // namespace

settings::settings() {
  std::string unused;
  // The defaults are written as a user would write them; they always parse.
  parse_address_list("127.0.0.0/8,::1", allowed_clients, unused);
  parse_address_list(
      "0.0.0.0/8,127.0.0.0/8,169.254.0.0/16,224.0.0.0/3,self,::,::1,fe80::/10,ff00::/8",
      denied_destinations, unused, true);
  via_name = default_via_name();
  direct_targets = default_parent_bypass();
}

std::string chain_summary(const settings& config) {
  std::string line = "VIA_NAME=" + (config.via_name.empty() ? "off" : config.via_name);
  if (config.parent.host.empty()) return line + " PARENT=none";
  return line + " PARENT=" + config.parent.host + ":" + std::to_string(config.parent.port);
}

settings_reading read_settings(const char* const* env) {
  settings_reading reading;
  // Only the last value of a setting is parsed: a bad value that a later
  // entry replaces does no harm.
  const char* last_values[setting_count] = {};
  for (; *env != nullptr; ++env) {
    for (std::size_t i = 0; i < setting_count; ++i) {
      const char* value = value_for(setting_readers[i].name, *env);
      if (*value != '\0') last_values[i] = value;
    }
  }
  for (std::size_t i = 0; i < setting_count; ++i) {
    if (last_values[i] == nullptr) continue;
    std::string problem;
    if (setting_readers[i].read(last_values[i], reading.values, problem)) continue;
    reading.problem = describe_problem(setting_readers[i].name, last_values[i], problem);
    return reading;
  }
  return reading;
}

namespace {

// Edits from `a` to `b`: inserting, deleting or replacing a byte, or
// swapping two neighbours (the commonest slip of a typing hand).
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t replaced = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, replaced});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return previous[b.size()];
}

// The setting that `name` is not but resembles: the same in another case,
// or within two edits of a name of six or more characters, one of a shorter
// one. Null when `name` is a setting or resembles none.
const char* resembled_setting(std::string_view name) {
  std::string upper(name);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  const char* closest = nullptr;
  std::size_t closest_distance = 3;
  for (const setting_reader& reader : setting_readers) {
    std::string_view setting = reader.name;
    if (name == setting) return nullptr;
    std::size_t allowed = setting.size() >= 6 ? 2 : 1;
    std::size_t apart = upper.size() > setting.size() ? upper.size() - setting.size()
                                                      : setting.size() - upper.size();
    if (apart > allowed) continue;
    std::size_t distance = edit_distance(upper, setting);
    if (distance <= allowed && distance < closest_distance) {
      closest = reader.name;
      closest_distance = distance;
    }
  }
  return closest;
}

}  // namespace

std::vector<std::string> near_miss_warnings(const char* const* env) {
  std::vector<std::string> warnings;
  std::vector<std::string_view> named;
  for (; *env != nullptr; ++env) {
    std::string_view entry = *env;
    std::string_view name = entry.substr(0, entry.find('='));
    if (name.empty() || name.size() == entry.size()) continue;
    const char* setting = resembled_setting(name);
    if (setting == nullptr || std::find(named.begin(), named.end(), name) != named.end()) continue;
    named.push_back(name);
    warnings.push_back("ferry: " + escape_bytes(name, kept_bytes{}) +
                       " is not a setting; did you mean " + setting + "?");
  }
  return warnings;
}

}  // namespace ferry
