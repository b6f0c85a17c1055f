#include "config.h"

#include <cstdio>
#include <iterator>
#include <string_view>
#include <utility>

std::uint16_t LISTEN_PORT = 8080;
std::int64_t MAX_RAM_CACHE = 100;
std::int64_t MAX_HDD_CACHE = 20000;
std::uint16_t CON_TIMEOUT = 10;
std::int64_t BACKLOG = 256;

namespace {

// The defaults are written as a user would write them; they always parse.
address_list default_list(std::string_view text) {
  address_list list;
  std::string unused;
  parse_address_list(text, list, unused, true);
  return list;
}

}  // namespace

std::uint32_t LISTEN_ADDR = 0;  // 0.0.0.0
address_list ALLOW = default_list("127.0.0.0/8");
address_list DENY_TO = default_list("0.0.0.0/8,127.0.0.0/8,169.254.0.0/16,224.0.0.0/3,self");
port_list CONNECT_PORTS = {{443, 443}};
std::uint16_t HEAD_TIMEOUT = 30;
std::uint16_t IDLE_TIMEOUT = 300;
address_list PROXY_FROM;
std::uint16_t NAME_CACHE = 5;
std::string conf_problem;

const char* envcmp(const char* name, const char* entry) {
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
  std::int64_t read = 0;
  bool fits = !value.empty();
  for (char c : value) {
    fits = fits && c >= '0' && c <= '9' && read <= (highest - (c - '0')) / 10;
    if (!fits) break;
    read = read * 10 + (c - '0');
  }
  if (!fits || read < lowest) {
    problem = "not a whole number " + std::to_string(lowest) + " to " + std::to_string(highest);
    return false;
  }
  number = read;
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

// Each reader sets its setting only when the whole value parses.
bool read_listen_port(std::string_view value, std::string& problem) {
  std::int64_t port = 0;
  if (!read_number(value, 0, 65535, port, problem)) return false;
  LISTEN_PORT = static_cast<std::uint16_t>(port);
  return true;
}
bool read_con_timeout(std::string_view value, std::string& problem) {
  return read_seconds(value, CON_TIMEOUT, problem);
}
bool read_backlog(std::string_view value, std::string& problem) {
  return read_number(value, 1, max_backlog, BACKLOG, problem);
}
bool read_max_ram_cache(std::string_view value, std::string& problem) {
  return read_number(value, 0, INT64_MAX, MAX_RAM_CACHE, problem);
}
bool read_max_hdd_cache(std::string_view value, std::string& problem) {
  return read_number(value, 0, INT64_MAX, MAX_HDD_CACHE, problem);
}
bool read_listen_addr(std::string_view value, std::string& problem) {
  if (parse_ipv4(value, LISTEN_ADDR)) return true;
  problem = "not an address of four numbers 0 to 255";
  return false;
}
bool read_allow(std::string_view value, std::string& problem) {
  return parse_address_list(value, ALLOW, problem);
}
bool read_deny_to(std::string_view value, std::string& problem) {
  return parse_address_list(value, DENY_TO, problem, true);
}
bool read_connect_ports(std::string_view value, std::string& problem) {
  return parse_port_list(value, CONNECT_PORTS, problem);
}
bool read_head_timeout(std::string_view value, std::string& problem) {
  return read_seconds(value, HEAD_TIMEOUT, problem);
}
bool read_idle_timeout(std::string_view value, std::string& problem) {
  return read_seconds(value, IDLE_TIMEOUT, problem);
}
bool read_name_cache(std::string_view value, std::string& problem) {
  return read_seconds(value, NAME_CACHE, problem);
}
bool read_proxy_from(std::string_view value, std::string& problem) {
  return parse_address_list(value, PROXY_FROM, problem);
}
bool read_log(std::string_view value, std::string& problem) {
  constexpr std::pair<std::string_view, log_mode> modes[] = {
      {"trace", log_mode::trace}, {"access", log_mode::access}, {"off", log_mode::off}};
  for (const auto& [name, mode] : modes) {
    if (value == name) {
      LOG = mode;
      return true;
    }
  }
  problem = "not one of trace, access, off";
  return false;
}

struct checked_setting {
  const char* name;
  bool (*read)(std::string_view value, std::string& problem);
};
constexpr checked_setting checked_settings[] = {
    {"LISTEN_PORT", read_listen_port},   {"CON_TIMEOUT", read_con_timeout},
    {"BACKLOG", read_backlog},           {"MAX_RAM_CACHE", read_max_ram_cache},
    {"MAX_HDD_CACHE", read_max_hdd_cache},
    {"LISTEN_ADDR", read_listen_addr},   {"ALLOW", read_allow},
    {"DENY_TO", read_deny_to},           {"CONNECT_PORTS", read_connect_ports},
    {"HEAD_TIMEOUT", read_head_timeout}, {"IDLE_TIMEOUT", read_idle_timeout},
    {"PROXY_FROM", read_proxy_from},     {"LOG", read_log},
    {"NAME_CACHE", read_name_cache},
};
constexpr std::size_t checked_count = std::size(checked_settings);

// Bytes outside printable ASCII become \xNN, so that the report stays one
// line and cannot drive a terminal.
std::string printable(std::string_view text) {
  std::string result;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f) {
      result += static_cast<char>(c);
      continue;
    }
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
    result += escaped;
  }
  return result;
}

// Only the first bad setting is reported; every bad one keeps its default.
void apply_checked(const checked_setting& setting, const char* value) {
  std::string problem;
  if (setting.read(value, problem) || !conf_problem.empty()) return;
  // A value of any length is shown by its start, so the line stays readable.
  constexpr std::size_t shown_length = 100;
  std::string shown(value);
  if (shown.size() > shown_length) {
    shown = shown.substr(0, shown_length) + "...(" + std::to_string(shown.size()) + " bytes)";
  }
  std::string line = std::string(setting.name) + "=\"" + shown + "\" is not valid: ";
  if (problem.size() > 2 * shown_length) problem = problem.substr(0, 2 * shown_length) + "...";
  conf_problem = printable(line + problem);
}

}  // namespace

int rchk_conf(char** env) {
  conf_problem.clear();
  // Only the last value of a checked setting is parsed: a bad value that a
  // later entry replaces does no harm.
  const char* last_values[checked_count] = {};
  for (; *env != nullptr; ++env) {
    for (std::size_t i = 0; i < checked_count; ++i) {
      const char* value = envcmp(checked_settings[i].name, *env);
      if (*value != '\0') last_values[i] = value;
    }
  }
  for (std::size_t i = 0; i < checked_count; ++i) {
    if (last_values[i] != nullptr) apply_checked(checked_settings[i], last_values[i]);
  }
  return 0;
}
