// Checks the PROXY header reader on any bytes. Fed the input's prefixes from
// the empty one up, it says incomplete until some length and never changes
// its answer after it; a complete answer comes exactly at the header's size.
// A text TCP4 line is accepted in one spelling only, so it must hold the
// source exactly as printed here; a TCP6 line's source word reads as the
// address taken.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "proxy_protocol.h"

using namespace ferry;

namespace {

using result = proxy_header::result;

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

bool same(const proxy_header& a, const proxy_header& b) {
  return a.size == b.size && a.has_address == b.has_address && a.address == b.address &&
         a.port == b.port;
}

void check_tcp4_spelling(std::string_view line, const proxy_header& header) {
  require(is_ipv4(header.address), "TCP4 source is not IPv4");
  std::uint32_t a = ipv4_of(header.address);
  char source[20];
  std::snprintf(source, sizeof source, "%u.%u.%u.%u ", a >> 24, a >> 16 & 255, a >> 8 & 255,
                a & 255);
  require(line.substr(11).starts_with(source), "TCP4 source not in its one spelling");
  std::size_t last_space = line.rfind(' ');
  std::size_t port_space = line.rfind(' ', last_space - 1);
  require(line.substr(port_space + 1, last_space - port_space - 1) == std::to_string(header.port),
          "TCP4 port not in its one spelling");
}

void check_complete(std::string_view bytes, const proxy_header& header) {
  require(header.size > 0 && header.size <= bytes.size(), "size outside the input");
  std::string_view taken = bytes.substr(0, header.size);
  if (taken.starts_with("PROXY ")) {
    require(taken.size() <= proxy_v1_max_size && taken.ends_with("\r\n"), "text line shape");
    if (taken.starts_with("PROXY TCP4 ")) check_tcp4_spelling(taken, header);
    if (taken.starts_with("PROXY TCP6 ")) {
      std::string_view word = taken.substr(11, taken.find(' ', 11) - 11);
      ip_address source;
      require(parse_ip_address(word, source) && source == header.address, "TCP6 source misread");
    }
  } else {
    require(taken.size() >= 16, "binary header shorter than its start");
    auto length = static_cast<std::size_t>(static_cast<unsigned char>(taken[14]) << 8 |
                                           static_cast<unsigned char>(taken[15]));
    require(taken.size() == 16 + length, "binary header size is not its length");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  result settled = result::incomplete;
  proxy_header first;
  for (std::size_t length = 0; length <= size; ++length) {
    proxy_header header;
    result now = parse_proxy_header(bytes.substr(0, length), header);
    if (settled == result::incomplete && now != result::incomplete) {
      settled = now;
      first = header;
      if (now == result::complete) {
        check_complete(bytes, header);
        require(header.size == length, "complete before or after the header's last byte");
      }
      continue;
    }
    require(now == settled, "answer changed as bytes were added");
    if (now == result::complete) require(same(header, first), "header changed as bytes were added");
  }
  return 0;
}
