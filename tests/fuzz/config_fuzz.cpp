// Checks the settings reader against a model of its own. The input's lines
// are the environment's entries. An entry sets a setting only when it is
// exactly the setting's name, '=' and a value that is not empty; the value
// converts the way strtol reads a decimal (white space, a sign, digits,
// saturating at the long range); the last such entry wins; CON_TIMEOUT keeps
// its low 16 bits. envcmp never returns null and points just past the '='
// exactly when the entry begins with the name and '='.
// The checked settings are held to invariants instead: accepted ranges have
// no host bits and prefix masks, port ranges rise from 1 at least,
// conf_problem is empty or one printable line naming a setting of the input,
// and the accepted values, written back as settings, read again the same.
#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
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
};

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

settings model_read(const std::vector<std::string>& entries) {
  settings model;
  for (const std::string& entry : entries) {
    std::size_t equals = entry.find('=');
    if (equals == std::string::npos || equals + 1 == entry.size()) continue;
    std::string name = entry.substr(0, equals);
    std::int64_t value = model_strtol(entry.substr(equals + 1));
    if (name == "LISTEN_PORT") model.listen_port = value;
    if (name == "MAX_RAM_CACHE") model.max_ram_cache = value;
    if (name == "MAX_HDD_CACHE") model.max_hdd_cache = value;
    if (name == "CON_TIMEOUT") {
      model.con_timeout = static_cast<std::int16_t>(static_cast<std::uint16_t>(value & 0xffff));
    }
    if (name == "BACKLOG") model.backlog = value;
  }
  return model;
}

// The checked settings, to save, compare and restore at once.
auto checked_settings() {
  return std::tie(LISTEN_ADDR, ALLOW, DENY_TO, CONNECT_PORTS, HEAD_TIMEOUT, IDLE_TIMEOUT);
}
auto checked_values() {
  return std::apply([](auto&... s) { return std::tuple(s...); }, checked_settings());
}

std::string quad(std::uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." +
         std::to_string(a >> 8 & 255) + "." + std::to_string(a & 255);
}

void check_problem(const std::vector<std::string>& entries) {
  if (conf_problem.empty()) return;
  for (char c : conf_problem) require(c >= 0x20 && c < 0x7f, "conf_problem not printable");
  const std::string named = conf_problem.substr(0, conf_problem.find("=\"") + 1);
  auto names = [&](const std::string& entry) { return entry.starts_with(named); };
  require(named.size() > 1 && std::any_of(entries.begin(), entries.end(), names),
          "conf_problem names no setting of the input");
}

// Checks the accepted values, then writes them back as settings and reads them again.
void check_accepted() {
  std::string allow, deny_to, ports;
  for (auto [list, text] : {std::pair{&ALLOW, &allow}, std::pair{&DENY_TO, &deny_to}}) {
    for (const cidr_range& range : *list) {
      require((range.network & ~range.mask) == 0, "host bits in an accepted range");
      require((~range.mask & (~range.mask + 1)) == 0, "mask is not a prefix");
      *text += "," + quad(range.network) + "/" + std::to_string(std::popcount(range.mask));
    }
  }
  for (const port_range& range : CONNECT_PORTS) {
    require(range.first != 0 && range.first <= range.last, "bad accepted port range");
    ports += "," + std::to_string(range.first) + "-" + std::to_string(range.last);
  }
  auto listed = [](const std::string& text) { return text.empty() ? "none" : text.substr(1); };
  std::vector<std::string> entries = {"LISTEN_ADDR=" + quad(LISTEN_ADDR),
                                      "ALLOW=" + listed(allow),
                                      "DENY_TO=" + listed(deny_to),
                                      "CONNECT_PORTS=" + listed(ports),
                                      "HEAD_TIMEOUT=" + std::to_string(HEAD_TIMEOUT),
                                      "IDLE_TIMEOUT=" + std::to_string(IDLE_TIMEOUT)};
  std::vector<char*> env;
  for (auto& entry : entries) env.push_back(entry.data());
  env.push_back(nullptr);
  const auto accepted = checked_values();
  rchk_conf(env.data());
  require(conf_problem.empty(), "accepted values written back are refused");
  require(checked_values() == accepted, "accepted values written back read otherwise");
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

  LISTEN_PORT = 8080;
  MAX_RAM_CACHE = 100;
  MAX_HDD_CACHE = 20000;
  CON_TIMEOUT = 10;
  BACKLOG = 30;
  static const auto checked_defaults = checked_values();
  checked_settings() = checked_defaults;
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
  check_problem(entries);

  // The first line also serves as a name of the input's own choosing.
  for (const std::string& entry : entries) {
    for (const char* name :
         {"LISTEN_PORT", "MAX_RAM_CACHE", "MAX_HDD_CACHE", "CON_TIMEOUT", "BACKLOG", "", "L"}) {
      check_envcmp(name, entry);
    }
    check_envcmp(entries.front(), entry);
  }
  check_accepted();
  return 0;
}
