// Destinations by name: lists of exact names and domains, as ALLOW_HOSTS and
// DENY_HOSTS write them, and the judgement of a request's host against them.
// Pure but for read_host_list_file: no sockets, no globals.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferry {

// One item: "example.com" names that host alone, ".example.com" the name and
// every name under it. Held in lower case without a trailing dot; an address
// is held in its canonical spelling, "10.0.0.1" or "[2001:db8::1]".
struct host_entry {
  std::string name;
  bool with_subdomains = false;
  friend bool operator==(const host_entry&, const host_entry&) = default;
};
using host_list = std::vector<host_entry>;

// Reads a comma-separated list; blanks around items are allowed. An empty
// item, a name with a bad character or an empty label, a domain of an
// address, or an address not in its canonical spelling fails the whole list.
// On failure returns false and leaves `list` unchanged, with `problem` saying
// what is wrong.
bool parse_host_list(std::string_view text, host_list& list, std::string& problem);

// The same for a file's text: one item a line, `#` comments and blank lines
// allowed. A problem names the line by its number.
bool parse_host_lines(std::string_view text, host_list& list, std::string& problem);

// The whole file at `path` into `text`; false with `problem` when it cannot
// be read (or is over a mebibyte, which no list needs).
bool read_host_list_file(const std::string& path, std::string& text, std::string& problem);

// A setting's value: "@/path" reads that file's lines, anything else is a
// comma-separated list. Same failure contract as parse_host_list, the
// problem naming the file when there is one.
bool load_host_list(std::string_view value, host_list& list, std::string& problem);

// Whether `host` is an IPv4 or IPv6 address, in any spelling that a request
// could carry: bracketed or bare IPv6, a dotted quad, or anything else made
// of digits and dots only (which a resolver might read as an address).
bool is_address_literal(std::string_view host);

// Whether `list` names `host`: names compare without case and without one
// trailing dot; an address is named only by an item in its canonical
// spelling, and never by a domain.
bool host_list_names(const host_list& list, std::string_view host);

// The same host, spelt two ways: no case, one trailing dot dropped from each.
bool same_host(std::string_view a, std::string_view b);

struct host_lists {
  std::optional<host_list> allowed;  // ALLOW_HOSTS; unset: every name
  host_list denied;                  // DENY_HOSTS
};

enum class host_verdict { allowed, denied };

// Denied when `denied` names the host, or `allowed` is set and does not; a
// host in both lists is denied.
host_verdict judge_host(const host_lists& lists, std::string_view host);

}  // namespace ferry
