#include "host_list.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "ip_address.h"
#include "text.h"
#include "unique_fd.h"

namespace ferry {

namespace {

constexpr std::size_t max_list_file_size = 1 << 20;

std::string_view without_trailing_dot(std::string_view host) {
  if (host.size() > 1 && host.back() == '.') host.remove_suffix(1);
  return host;
}

bool is_hex_digit(char c) { return is_digit(c) || (lower_case(c) >= 'a' && lower_case(c) <= 'f'); }

// A resolver reads a name whose last part is a number (decimal, octal or
// 0x hex) as an IPv4 address in one of its old spellings: "127.1", "0x7f000001".
bool ends_in_number(std::string_view host) {
  std::string_view last = host.substr(host.rfind('.') + 1);
  if (last.size() > 2 && last[0] == '0' && lower_case(last[1]) == 'x') {
    return std::all_of(last.begin() + 2, last.end(), is_hex_digit);
  }
  return !last.empty() && std::all_of(last.begin(), last.end(), is_digit);
}

// The address `host` spells, bracketed or not; none for a name.
bool parse_literal(std::string_view host, ip_address& address) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  return parse_ip_address(host, address);
}

bool is_label_character(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || c == '-' || c == '_';
}

// Letters, digits, '-' and '_' in labels of 1 to 63 bytes, at most 253 in all.
bool is_host_name(std::string_view name) {
  if (name.empty() || name.size() > 253) return false;
  std::size_t label = 0;
  for (char c : name) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
    } else if (!is_label_character(c) || ++label > 63) {
      return false;
    }
  }
  return label > 0;
}

// One item, already trimmed; empty `problem` when it reads.
host_entry read_item(std::string_view item, std::string& problem) {
  const std::string quoted = '"' + escape_bytes(item, {.space = true}) + "\": ";
  host_entry entry;
  entry.with_subdomains = item.starts_with('.');
  if (entry.with_subdomains) item.remove_prefix(1);
  entry.name = lower_case(without_trailing_dot(item));
  ip_address address;
  if (is_address_literal(entry.name)) {
    if (entry.with_subdomains) {
      problem = quoted + "an address has no domain";
    } else if (!parse_literal(entry.name, address)) {
      problem = quoted + "not an address in a spelling ferry reads";
    } else if (format_host(address) != entry.name) {
      problem = quoted + "write the address as " + format_host(address);
    }
  } else if (!is_host_name(entry.name)) {
    problem = quoted + "not a host name or .domain";
  }
  return entry;
}

// Reads `items` (trimmed, in order) into a new list, or says what is wrong.
template <typename next_item>
bool read_items(next_item next, host_list& list, std::string& problem) {
  host_list read;
  std::string_view item;
  std::string where;
  while (next(item, where)) {
    std::string item_problem;
    if (item.empty()) {
      item_problem = "empty item";
    } else {
      read.push_back(read_item(item, item_problem));
    }
    if (!item_problem.empty()) {
      problem = where + item_problem;
      return false;
    }
  }
  list = std::move(read);
  return true;
}

}  // namespace

bool parse_host_list(std::string_view text, host_list& list, std::string& problem) {
  if (trim_blanks(text).empty()) {
    problem = "no items";
    return false;
  }
  std::size_t start = 0;
  return read_items(
      [&](std::string_view& item, std::string&) {
        if (start > text.size()) return false;
        std::size_t comma = std::min(text.find(',', start), text.size());
        item = trim_blanks(text.substr(start, comma - start));
        start = comma + 1;
        return true;
      },
      list, problem);
}

bool parse_host_lines(std::string_view text, host_list& list, std::string& problem) {
  std::size_t start = 0;
  int line_number = 0;
  return read_items(
      [&](std::string_view& item, std::string& where) {
        while (start < text.size()) {
          std::size_t end = std::min(text.find('\n', start), text.size());
          std::string_view line = text.substr(start, end - start);
          start = end + 1;
          ++line_number;
          if (line.ends_with('\r')) line.remove_suffix(1);
          item = trim_blanks(line);
          if (!item.empty() && !item.starts_with('#')) {
            where = "line " + std::to_string(line_number) + ": ";
            return true;
          }
        }
        return false;
      },
      list, problem);
}

bool read_host_list_file(const std::string& path, std::string& text, std::string& problem) {
  unique_fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    problem = path + ": " + std::strerror(errno);
    return false;
  }
  std::string read;
  char buffer[8192];
  for (;;) {
    ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      problem = path + ": " + std::strerror(errno);
      return false;
    }
    if (read.size() + static_cast<std::size_t>(got) > max_list_file_size) {
      problem = path + ": over 1 MiB";
      return false;
    }
    read.append(buffer, static_cast<std::size_t>(got));
  }
  text = std::move(read);
  return true;
}

bool load_host_list(std::string_view value, host_list& list, std::string& problem) {
  if (!value.starts_with('@')) return parse_host_list(value, list, problem);
  std::string path(value.substr(1));
  std::string text;
  if (!read_host_list_file(path, text, problem)) return false;
  if (parse_host_lines(text, list, problem)) return true;
  problem = path + " " + problem;
  return false;
}

bool is_address_literal(std::string_view host) {
  ip_address address;
  host = without_trailing_dot(host);
  return parse_literal(host, address) || ends_in_number(host) || host.starts_with('[');
}

bool host_list_names(const host_list& list, std::string_view host) {
  std::string name = lower_case(without_trailing_dot(host));
  ip_address address;
  if (is_address_literal(name)) {
    if (!parse_literal(name, address)) return false;
    name = format_host(address);
  }
  return std::any_of(list.begin(), list.end(), [&](const host_entry& entry) {
    if (name == entry.name) return true;
    return entry.with_subdomains && name.size() > entry.name.size() && name.ends_with(entry.name) &&
           name[name.size() - entry.name.size() - 1] == '.';
  });
}

bool same_host(std::string_view a, std::string_view b) {
  a = without_trailing_dot(a);
  b = without_trailing_dot(b);
  return equals_ignoring_case(a, b);
}

host_verdict judge_host(const host_lists& lists, std::string_view host) {
  if (host_list_names(lists.denied, host)) return host_verdict::denied;
  if (lists.allowed && !host_list_names(*lists.allowed, host)) return host_verdict::denied;
  return host_verdict::allowed;
}

}  // namespace ferry
