#include "text.h"

namespace ferry {

namespace {

bool is_kept(std::string_view text, std::size_t at, kept_bytes keep) {
  auto byte = static_cast<unsigned char>(text[at]);
  if (byte > 0x20 && byte < 0x7f && byte != '\\') return true;
  if (byte == ' ') return keep.space;
  if (byte == '\\') return keep.backslash;
  if (byte == '\n') return keep.line_breaks;
  if (byte == '\r') return keep.line_breaks && at + 1 < text.size() && text[at + 1] == '\n';
  return false;
}

}  // namespace

void append_escaped(std::string_view text, kept_bytes keep, std::string& out) {
  constexpr char digits[] = "0123456789abcdef";
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (is_kept(text, at, keep)) {
      out += text[at];
      continue;
    }
    auto byte = static_cast<unsigned char>(text[at]);
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0xf];
  }
}

std::string escape_bytes(std::string_view text, kept_bytes keep) {
  std::string out;
  append_escaped(text, keep, out);
  return out;
}

bool read_decimal(std::string_view text, std::uint64_t largest, leading_zeros zeros,
                  std::uint64_t& value) {
  if (text.empty()) return false;
  if (zeros == leading_zeros::refused && text.size() > 1 && text[0] == '0') return false;
  std::uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    auto digit = static_cast<std::uint64_t>(c - '0');
    if (digit > largest || number > (largest - digit) / 10) return false;
    number = number * 10 + digit;
  }
  value = number;
  return true;
}

bool read_port(std::string_view text, leading_zeros zeros, std::uint16_t& port) {
  std::uint64_t number = 0;
  if (!read_decimal(text, 65535, zeros, number)) return false;
  port = static_cast<std::uint16_t>(number);
  return true;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

bool is_token(std::string_view text) {
  constexpr std::string_view marks = "!#$%&'*+-.^_`|~";
  if (text.empty()) return false;
  for (char c : text) {
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && !is_digit(c) && marks.find(c) == std::string_view::npos) return false;
  }
  return true;
}

char lower_case(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lower_case(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lower_case(c);
  return out;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower_case(a[i]) != lower_case(b[i])) return false;
  }
  return true;
}

std::string_view take_line(std::string_view* text, line_ending ending) {
  std::size_t end = text->find('\n');
  std::size_t size = end == std::string_view::npos ? text->size() : end + 1;
  std::string_view line = text->substr(0, size);
  text->remove_prefix(size);
  if (ending == line_ending::dropped && line.ends_with('\n')) {
    line.remove_suffix(line.ends_with("\r\n") ? 2 : 1);
  }
  return line;
}

std::string_view trim_blanks(std::string_view text) {
  std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string format_ipv4(std::uint32_t host_order) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (shift != 24) text += '.';
    text += std::to_string((host_order >> shift) & 255);
  }
  return text;
}

}  // namespace ferry
