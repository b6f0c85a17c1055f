// Checks the settings reader against a model of its own. The input's lines
// are the environment's entries. An entry sets a setting only when it is
// exactly the setting's name, '=' and a value that is not empty; the value
// converts the way strtol reads a decimal (white space, a sign, digits,
// saturating at the long range); the last such entry wins; CON_TIMEOUT keeps
// its low 16 bits. envcmp never returns null and points just past the '='
// exactly when the entry begins with the name and '='.
// The checked settings take only their last value, whole or not at all: an
// address is four numbers 0 to 255 without leading zeros; a list is "none" or
// comma-separated items, each an address with an optional /0 to /32 and no
// host bits; a port item is 1 to 65535 or a rising range of them; a timeout
// is digits worth 0 to 65535. A refused value keeps the default, and
// conf_problem names the first refused setting, on one printable line.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "config.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

struct settings {
  std::int64_t listen_port = 8080, max_ram_cache = 100, max_hdd_cache = 20000, backlog = 30;
  std::int16_t con_timeout = 10;
  std::uint32_t listen_addr = 0;
  address_list allow = {{0x7f000000, 0xff000000}};
  address_list deny_to = {{0, 0xff000000},
                          {0x7f000000, 0xff000000},
                          {0xa9fe0000, 0xffff0000},
                          {0xe0000000, 0xe0000000}};
  port_list connect_ports = {{443, 443}};
  std::uint16_t head_timeout = 30, idle_timeout = 300;
  std::string first_refused;  // the name conf_problem must begin with
};

const char* const checked_names[] = {"LISTEN_ADDR",   "ALLOW",        "DENY_TO",
                                     "CONNECT_PORTS", "HEAD_TIMEOUT", "IDLE_TIMEOUT"};

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::int64_t model_strtol(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size() && is_space(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  std::uint64_t value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    std::uint64_t digit = static_cast<std::uint64_t>(text[at] - '0');
    value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
  }
  if (!negative) return static_cast<std::int64_t>(value);
  return value == limit ? INT64_MIN : -static_cast<std::int64_t>(value);
}

std::optional<std::uint32_t> model_ipv4(const std::string& text) {
  static const std::regex quad(
      R"(((25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)\.){3}(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d))");
  if (text.size() > 15 || !std::regex_match(text, quad)) return std::nullopt;
  unsigned a, b, c, d;
  std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
  return a << 24 | b << 16 | c << 8 | d;
}

std::string trim(const std::string& text) {
  std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

// The trimmed items of a list, none for "none"; nullopt for an empty item.
std::optional<std::vector<std::string>> model_items(const std::string& value) {
  std::vector<std::string> items;
  if (trim(value) == "none") return items;
  std::size_t start = 0;
  for (std::size_t comma; (comma = value.find(',', start)) != std::string::npos;
       start = comma + 1) {
    items.push_back(trim(value.substr(start, comma - start)));
  }
  items.push_back(trim(value.substr(start)));
  for (const std::string& item : items) {
    if (item.empty()) return std::nullopt;
  }
  return items;
}

std::optional<address_list> model_address_list(const std::string& value) {
  static const std::regex range(R"(([0-9.]*)(/(3[0-2]|[12]?\d))?)");
  auto items = model_items(value);
  if (!items) return std::nullopt;
  address_list list;
  for (const std::string& item : *items) {
    std::smatch parts;
    if (item.size() > 18 || !std::regex_match(item, parts, range)) return std::nullopt;
    auto address = model_ipv4(parts[1]);
    int length = parts[3].matched ? std::stoi(parts[3]) : 32;
    auto mask = static_cast<std::uint32_t>(0xffffffff00000000u >> length);
    if (!address || (*address & ~mask) != 0) return std::nullopt;
    list.push_back({*address, mask});
  }
  return list;
}

std::optional<port_list> model_port_list(const std::string& value) {
  static const std::regex range(R"(([1-9]\d{0,4})(-([1-9]\d{0,4}))?)");
  auto items = model_items(value);
  if (!items) return std::nullopt;
  port_list list;
  for (const std::string& item : *items) {
    std::smatch parts;
    if (item.size() > 11 || !std::regex_match(item, parts, range)) return std::nullopt;
    unsigned first = std::stoul(parts[1]), last = parts[3].matched ? std::stoul(parts[3]) : first;
    if (first > 65535 || last > 65535 || first > last) return std::nullopt;
    list.push_back({static_cast<std::uint16_t>(first), static_cast<std::uint16_t>(last)});
  }
  return list;
}

std::optional<std::uint16_t> model_seconds(const std::string& value) {
  if (!std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::string digits = value.substr(std::min(value.find_first_not_of('0'), value.size()));
  if (digits.size() > 5 || (!digits.empty() && std::stoul(digits) > 65535)) return std::nullopt;
  return static_cast<std::uint16_t>(digits.empty() ? 0 : std::stoul(digits));
}

// Sets `field` to the model's reading of `value`, or notes the refusal.
template <typename Field, typename Reading>
void model_checked(const char* name, const Reading& reading, Field& field, settings& model) {
  if (reading) {
    field = *reading;
  } else if (model.first_refused.empty()) {
    model.first_refused = name;
  }
}

void model_read_checked(const std::map<std::string, std::string>& last, settings& model) {
  for (const char* name : checked_names) {
    auto found = last.find(name);
    if (found == last.end()) continue;
    const std::string& value = found->second;
    std::string_view which = name;
    if (which == "LISTEN_ADDR") model_checked(name, model_ipv4(value), model.listen_addr, model);
    if (which == "ALLOW") model_checked(name, model_address_list(value), model.allow, model);
    if (which == "DENY_TO") model_checked(name, model_address_list(value), model.deny_to, model);
    if (which == "CONNECT_PORTS") {
      model_checked(name, model_port_list(value), model.connect_ports, model);
    }
    if (which == "HEAD_TIMEOUT")
      model_checked(name, model_seconds(value), model.head_timeout, model);
    if (which == "IDLE_TIMEOUT")
      model_checked(name, model_seconds(value), model.idle_timeout, model);
  }
}

settings model_read(const std::vector<std::string>& entries) {
  settings model;
  std::map<std::string, std::string> last_checked;
  for (const std::string& entry : entries) {
    std::size_t equals = entry.find('=');
    if (equals == std::string::npos || equals + 1 == entry.size()) continue;
    std::string name = entry.substr(0, equals);
    for (const char* checked : checked_names) {
      if (name == checked) last_checked[name] = entry.substr(equals + 1);
    }
    std::int64_t value = model_strtol(entry.substr(equals + 1));
    if (name == "LISTEN_PORT") model.listen_port = value;
    if (name == "MAX_RAM_CACHE") model.max_ram_cache = value;
    if (name == "MAX_HDD_CACHE") model.max_hdd_cache = value;
    if (name == "CON_TIMEOUT") {
      model.con_timeout = static_cast<std::int16_t>(static_cast<std::uint16_t>(value & 0xffff));
    }
    if (name == "BACKLOG") model.backlog = value;
  }
  model_read_checked(last_checked, model);
  return model;
}

// Whatever the model says, an accepted range has no host bits, a prefix mask
// and holds both its ends.
void check_ranges(const address_list& list) {
  for (const cidr_range& range : list) {
    require((range.network & ~range.mask) == 0, "host bits in an accepted range");
    require((~range.mask & (~range.mask + 1)) == 0, "mask is not a prefix");
    require(list_contains(list, range.network), "range misses its network");
    require(list_contains(list, range.network | ~range.mask), "range misses its last address");
  }
}

void check_problem(const std::string& first_refused) {
  if (first_refused.empty()) {
    require(conf_problem.empty(), "conf_problem without a refused setting");
    return;
  }
  require(conf_problem.rfind(first_refused + "=\"", 0) == 0, "conf_problem names another");
  for (char c : conf_problem) require(c >= 0x20 && c < 0x7f, "conf_problem not printable");
}

void check_envcmp(const std::string& name, const std::string& entry) {
  const char* result = envcmp(name.c_str(), entry.c_str());
  require(result != nullptr, "envcmp returned null");
  bool match = entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
               entry[name.size()] == '=';
  if (match) {
    require(result == entry.c_str() + name.size() + 1, "envcmp missed the value");
  } else {
    require(*result == '\0', "envcmp matched what is not name=");
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

  const settings defaults;
  LISTEN_PORT = defaults.listen_port;
  MAX_RAM_CACHE = defaults.max_ram_cache;
  MAX_HDD_CACHE = defaults.max_hdd_cache;
  CON_TIMEOUT = defaults.con_timeout;
  BACKLOG = defaults.backlog;
  LISTEN_ADDR = defaults.listen_addr;
  ALLOW = defaults.allow;
  DENY_TO = defaults.deny_to;
  CONNECT_PORTS = defaults.connect_ports;
  HEAD_TIMEOUT = defaults.head_timeout;
  IDLE_TIMEOUT = defaults.idle_timeout;
  std::vector<char*> env;
  for (auto& entry : entries) env.push_back(entry.data());
  env.push_back(nullptr);
  require(rchk_conf(env.data()) == 0, "rchk_conf result");

  settings model = model_read(entries);
  require(LISTEN_PORT == model.listen_port, "LISTEN_PORT");
  require(MAX_RAM_CACHE == model.max_ram_cache, "MAX_RAM_CACHE");
  require(MAX_HDD_CACHE == model.max_hdd_cache, "MAX_HDD_CACHE");
  require(CON_TIMEOUT == model.con_timeout, "CON_TIMEOUT");
  require(BACKLOG == model.backlog, "BACKLOG");
  require(LISTEN_ADDR == model.listen_addr, "LISTEN_ADDR");
  require(ALLOW == model.allow, "ALLOW");
  require(DENY_TO == model.deny_to, "DENY_TO");
  require(CONNECT_PORTS == model.connect_ports, "CONNECT_PORTS");
  require(HEAD_TIMEOUT == model.head_timeout, "HEAD_TIMEOUT");
  require(IDLE_TIMEOUT == model.idle_timeout, "IDLE_TIMEOUT");
  check_ranges(ALLOW);
  check_ranges(DENY_TO);
  check_problem(model.first_refused);

  // The first line also serves as a name of the input's own choosing.
  for (const std::string& entry : entries) {
    for (const char* name :
         {"LISTEN_PORT", "MAX_RAM_CACHE", "MAX_HDD_CACHE", "CON_TIMEOUT", "BACKLOG", "", "L"}) {
      check_envcmp(name, entry);
    }
    check_envcmp(entries.front(), entry);
  }
  return 0;
}
