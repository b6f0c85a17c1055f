#include "parse_header.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr std::size_t max_head = 4096;
constexpr char keep_alive_line[] = "Proxy-Connection: Keep-Alive\r\n";
constexpr char close_line[] = "Proxy-Connection: Close\r\n";

enum class scan_state { none, host, proxy_connection, cache_control };

// Copies `token` into the field of `size` bytes, cut to size - 1 characters.
template <std::size_t size>
void store_token(char (&field)[size], std::string_view token) {
  std::size_t length = token.size() < size ? token.size() : size - 1;
  std::memcpy(field, token.data(), length);
  field[length] = '\0';
}

bool is_keyword(std::string_view token, std::string_view keyword) {
  return token.size() == keyword.size() &&
         strncasecmp(token.data(), keyword.data(), keyword.size()) == 0;
}

scan_state state_after(std::string_view token) {
  if (is_keyword(token, "Host:")) return scan_state::host;
  if (is_keyword(token, "Proxy-Connection:")) return scan_state::proxy_connection;
  if (is_keyword(token, "Cache-Control:")) return scan_state::cache_control;
  return scan_state::none;
}

bool is_separator(char c) { return c == ' ' || c == '\r' || c == '\n'; }

// Tokens are runs of anything but space, CR and LF. Line breaks do not reset
// the state, so a keyword at the end of a line takes the next line's first token.
void scan(std::string_view text, http_header* hpp) {
  scan_state state = scan_state::none;
  std::size_t position = 0;
  while (position < text.size()) {
    if (is_separator(text[position])) {
      ++position;
      continue;
    }
    std::size_t end = position;
    while (end < text.size() && !is_separator(text[end])) ++end;
    std::string_view token = text.substr(position, end - position);
    switch (state) {
      case scan_state::host: store_token(hpp->hostname, token); break;
      case scan_state::proxy_connection: store_token(hpp->proxycon, token); break;
      case scan_state::cache_control: store_token(hpp->cache_control, token); break;
      case scan_state::none: break;
    }
    state = state_after(token);
    position = end;
  }
}

}  // namespace

char* strrep(const char* from, const char* find, const char* replace) {
  std::string_view text(from);
  std::string_view needle(find);
  std::string_view replacement(replace);

  std::size_t matches = 0;
  for (std::size_t at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + needle.size())) {
    ++matches;
  }
  std::size_t size = text.size() - matches * needle.size() + matches * replacement.size() + 1;
  char* result = static_cast<char*>(std::malloc(size));
  if (result == nullptr) return nullptr;

  char* out = result;
  std::size_t copied = 0;
  for (std::size_t at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, copied)) {
    std::memcpy(out, text.data() + copied, at - copied);
    out += at - copied;
    std::memcpy(out, replacement.data(), replacement.size());
    out += replacement.size();
    copied = at + needle.size();
  }
  std::memcpy(out, text.data() + copied, text.size() - copied);
  out[text.size() - copied] = '\0';
  return result;
}

int parse_header(char* buff, http_header* hpp) {
  // The scan sees the head as received, before the rewrite.
  char received[max_head + 1];
  std::size_t length = strnlen(buff, max_head);
  std::memcpy(received, buff, length);
  received[length] = '\0';

  // Without memory the head goes out as received; the scan is unaffected.
  if (char* rewritten = strrep(buff, keep_alive_line, close_line)) {
    std::strcpy(buff, rewritten);
    std::free(rewritten);
  }

  hpp->hostname[0] = '\0';
  hpp->proxycon[0] = '\0';
  hpp->cache_control[0] = '\0';
  scan(std::string_view(received, length), hpp);
  return 0;
}
