#include "head_scan.h"

#include <algorithm>

#include "text.h"

namespace ferry {

namespace {

// Unlike strncasecmp, this does not stop at a NUL byte.
bool less_ignoring_case(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return lower_case(x) < lower_case(y); });
}

// Empty lines before the start line are ignored, as HTTP/1.1 recipients may.
std::size_t leading_empty_lines_size(std::string_view bytes) {
  std::size_t position = 0;
  while (true) {
    std::string_view rest = bytes.substr(position);
    if (rest.starts_with('\n')) {
      position += 1;
    } else if (rest.starts_with(crlf)) {
      position += 2;
    } else {
      return position;
    }
  }
}

// The names listed by the Connection fields, sorted for lookup.
std::vector<std::string_view> connection_options(std::string_view fields) {
  std::vector<std::string_view> names;
  bool in_connection = false;
  while (!fields.empty()) {
    std::string_view line = take_line(&fields, line_ending::dropped);
    if (!is_continuation(line)) {
      in_connection = equals_ignoring_case(field_name(line), "Connection");
    }
    if (!in_connection) continue;
    std::string_view list = is_continuation(line) ? line : field_value(line);
    for_each_item(list, [&names](std::string_view name) {
      // The body's framing is never hop-by-hop: dropping it would make the
      // body read as a second request.
      if (!name.empty() && !equals_ignoring_case(name, "Content-Length") &&
          !equals_ignoring_case(name, "Transfer-Encoding")) {
        names.push_back(name);
      }
      return true;
    });
  }
  // Sorted, so a head of many fields and many options costs n log n, not n * m.
  std::sort(names.begin(), names.end(), less_ignoring_case);
  return names;
}

}  // namespace

std::string_view without_line_ending(std::string_view line) {
  return take_line(&line, line_ending::dropped);
}

bool is_continuation(std::string_view line) { return !line.empty() && is_blank(line.front()); }

std::string_view field_name(std::string_view line) {
  std::size_t colon = line.find(':');
  return colon == std::string_view::npos ? std::string_view() : line.substr(0, colon);
}

std::string_view field_value(std::string_view line) {
  std::size_t colon = line.find(':');
  return colon == std::string_view::npos ? std::string_view() : trim_blanks(line.substr(colon + 1));
}

std::size_t empty_line_end(std::string_view bytes, std::size_t from) {
  for (std::size_t at = bytes.find('\n', from); at != std::string_view::npos;
       at = bytes.find('\n', at + 1)) {
    if (at >= 1 && bytes[at - 1] == '\n') return at + 1;
    if (at >= 2 && bytes[at - 1] == '\r' && bytes[at - 2] == '\n') return at + 1;
  }
  return 0;
}

head_parts split_head(std::string_view bytes) {
  std::size_t length = head_length(bytes);
  std::string_view head = length == 0 ? bytes : bytes.substr(0, length);
  head_parts parts;
  if (length != 0) {
    parts.end = head.substr(head.size() - (head[head.size() - 2] == '\n' ? 1 : 2));
    head.remove_suffix(parts.end.size());
  }
  head.remove_prefix(leading_empty_lines_size(head));
  std::string_view rest = head;
  parts.start_line = take_line(&rest, line_ending::kept);
  parts.fields = rest;
  return parts;
}

void append_end_to_end_fields(std::string_view fields, std::span<const std::string_view> dropped,
                              std::string* out) {
  const std::vector<std::string_view> options = connection_options(fields);
  bool dropping = false;
  while (!fields.empty()) {
    std::string_view line = take_line(&fields, line_ending::kept);
    std::string_view content = without_line_ending(line);
    if (!is_continuation(content)) {
      std::string_view name = field_name(content);
      dropping =
          !name.empty() &&
          (std::any_of(dropped.begin(), dropped.end(),
                       [name](std::string_view d) { return equals_ignoring_case(name, d); }) ||
           std::binary_search(options.begin(), options.end(), name, less_ignoring_case));
    }
    if (!dropping) out->append(line);
  }
}

std::vector<std::string_view> field_values(std::string_view fields, std::string_view name) {
  std::vector<std::string_view> values;
  bool in_field = false;
  while (!fields.empty()) {
    std::string_view line = take_line(&fields, line_ending::dropped);
    if (!is_continuation(line)) in_field = equals_ignoring_case(field_name(line), name);
    if (in_field) values.push_back(is_continuation(line) ? trim_blanks(line) : field_value(line));
  }
  return values;
}

std::size_t head_length(std::string_view bytes) {
  std::size_t start = leading_empty_lines_size(bytes);
  std::size_t end = empty_line_end(bytes.substr(start), 0);
  return end == 0 ? 0 : start + end;
}

}  // namespace ferry
