#include "via.h"

#include <unistd.h>

#include <climits>

#include "text.h"

namespace ferry {

namespace {

constexpr std::size_t longest_via_name = 255;



// The length of the entry at the start of `values`: up to the first comma
// outside a comment. Comments nest and take backslash escapes; an unclosed
// one runs to the end.
std::size_t entry_length(std::string_view values) {
  int depth = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    char c = values[i];
    if (depth > 0 && c == '\\') {
      ++i;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')' && depth > 0) {
      --depth;
    } else if (c == ',' && depth == 0) {
      return i;
    }
  }
  return values.size();
}

// The received-by token of one entry: what follows the protocol and its
// blanks, up to a blank or a comment.
std::string_view received_by(std::string_view entry) {
  entry = trim_blanks(entry);
  std::size_t at = 0;
  while (at < entry.size() && !is_blank(entry[at])) ++at;
  while (at < entry.size() && is_blank(entry[at])) ++at;
  std::size_t end = at;
  while (end < entry.size() && !is_blank(entry[end]) && entry[end] != '(') ++end;
  return entry.substr(at, end - at);
}

}  // namespace

bool via_names(std::string_view via_values, std::string_view own_name) {
  if (own_name.empty()) return false;
  for (;;) {
    std::size_t length = entry_length(via_values);
    if (equals_ignoring_case(received_by(via_values.substr(0, length)), own_name)) return true;
    if (length == via_values.size()) return false;
    via_values.remove_prefix(length + 1);
  }
}

std::string via_field_line(const std::vector<std::string_view>& via_values,
                           std::string_view own_name) {
  std::string line = "Via: ";
  for (std::string_view value : via_values) {
    value = trim_blanks(value);
    if (!value.empty()) line.append(value).append(", ");
  }
  line.append("1.1 ").append(own_name).append("\r\n");
  return line;
}

std::string default_via_name() {
  char name[HOST_NAME_MAX + 1] = {};
  // A name as long as the buffer may come back without its terminator.
  if (gethostname(name, sizeof name - 1) != 0) return "ferry";
  std::string_view found(name);
  return is_token(found) && found.size() <= longest_via_name ? std::string(found) : "ferry";
}

bool parse_via_name(std::string_view value, std::string& name, std::string& problem) {
  if (value == "off") {
    name.clear();
    return true;
  }
  if (!is_token(value)) {
    problem = "not a token (letters, digits and !#$%&'*+-.^_`|~ only), or off";
    return false;
  }
  if (value.size() > longest_via_name) {
    problem = "longer than 255 bytes";
    return false;
  }
  name = value;
  return true;
}

}  // namespace ferry
