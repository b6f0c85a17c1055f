// Checks the head rewrite and scan against a plain std::string model of them:
// the rewritten text, the three fields, and that nothing outside the buffers
// is read or written (the buffers are heap blocks of exactly their size).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "parse_header.h"

namespace {

constexpr std::size_t max_head = 4096;
const std::string keep_alive_line = "Proxy-Connection: Keep-Alive\r\n";
const std::string close_line = "Proxy-Connection: Close\r\n";

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// Walks the text once: a match of `find` is replaced and skipped, any other
// character is copied.
std::string replace_all(const std::string& text, const std::string& find,
                        const std::string& replace) {
  std::string result;
  std::size_t position = 0;
  while (position < text.size()) {
    if (text.compare(position, find.size(), find) == 0) {
      result += replace;
      position += find.size();
    } else {
      result += text[position++];
    }
  }
  return result;
}

bool same_keyword(const std::string& token, const std::string& keyword) {
  if (token.size() != keyword.size()) return false;
  for (std::size_t i = 0; i < token.size(); ++i) {
    char c = token[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    char k = keyword[i];
    if (k >= 'A' && k <= 'Z') k = static_cast<char>(k - 'A' + 'a');
    if (c != k) return false;
  }
  return true;
}

struct model_record {
  std::string hostname, proxycon, cache_control;
};

// Splits the text into tokens at spaces, CR and LF; the token after a keyword
// token, cut to its field's length, is that field's value. The last one wins.
model_record model_scan(const std::string& text) {
  struct keyword {
    const char* text;
    std::string model_record::*field;
    std::size_t limit;
  };
  const keyword keywords[] = {{"Host:", &model_record::hostname, 255},
                              {"Proxy-Connection:", &model_record::proxycon, 19},
                              {"Cache-Control:", &model_record::cache_control, 9}};
  model_record record;
  const keyword* previous = nullptr;
  std::string token;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    char c = i < text.size() ? text[i] : ' ';
    if (c != ' ' && c != '\r' && c != '\n') {
      token += c;
      continue;
    }
    if (token.empty()) continue;
    if (previous != nullptr) record.*(previous->field) = token.substr(0, previous->limit);
    previous = nullptr;
    for (const keyword& candidate : keywords) {
      if (same_keyword(token, candidate.text)) previous = &candidate;
    }
    token.clear();
  }
  return record;
}

void check_field(const char* field, std::size_t size, const std::string& expected,
                 const char* name) {
  require(std::memchr(field, '\0', size) != nullptr, name);
  require(expected == field, name);
}

std::unique_ptr<char[]> exact_copy(const std::string& text) {
  auto copy = std::make_unique<char[]>(text.size() + 1);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

void check_parse_header(const std::uint8_t* data, std::size_t size) {
  auto buffer = std::make_unique<char[]>(size + 1);
  std::memcpy(buffer.get(), data, size);
  buffer[size] = '\0';
  const std::string original(buffer.get(), size + 1);
  const std::string text(buffer.get());  // up to the first zero byte
  auto record = std::make_unique<http_header>();
  std::memset(record.get(), 0xA5, sizeof *record);

  require(parse_header(buffer.get(), record.get()) == 0, "parse_header result");

  const std::string expected = replace_all(text, keep_alive_line, close_line);
  require(std::strlen(buffer.get()) == expected.size(), "rewritten length");
  require(expected == buffer.get(), "rewritten text");
  std::size_t untouched = expected.size() + 1;
  require(std::memcmp(buffer.get() + untouched, original.data() + untouched,
                      original.size() - untouched) == 0,
          "bytes past the rewritten text");

  model_record fields = model_scan(text);
  check_field(record->hostname, sizeof record->hostname, fields.hostname, "hostname");
  check_field(record->proxycon, sizeof record->proxycon, fields.proxycon, "proxycon");
  check_field(record->cache_control, sizeof record->cache_control, fields.cache_control,
              "cache_control");
}

// Find and replace texts cut from the input itself, so matches are common.
void check_strrep(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const std::string text(bytes, strnlen(bytes, size));
  if (text.size() < 3) return;
  const std::string find = text.substr(static_cast<std::uint8_t>(text[0]) % text.size(),
                                       1 + static_cast<std::uint8_t>(text[1]) % 8);
  const std::string replace = text.substr(static_cast<std::uint8_t>(text[2]) % text.size(),
                                          static_cast<std::uint8_t>(text[2]) % 13);
  auto from_copy = exact_copy(text);
  auto find_copy = exact_copy(find);
  auto replace_copy = exact_copy(replace);
  char* result = strrep(from_copy.get(), find_copy.get(), replace_copy.get());
  require(result != nullptr, "strrep allocation");
  const std::string expected = replace_all(text, find, replace);
  require(std::strlen(result) == expected.size(), "strrep length");
  require(expected == result, "strrep text");
  std::free(result);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > max_head) return 0;
  check_parse_header(data, size);
  check_strrep(data, size);
  return 0;
}
