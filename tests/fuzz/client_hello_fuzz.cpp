// Checks the ClientHello reader on any bytes. Fed the input's prefixes from
// the empty one up, it says need_more until some length and never changes
// its answer or the name after it; it never asks for more past the bound; a
// name it reads is printable and at most 255 bytes. Long inputs are cut at
// fewer lengths, so that each run stays quick.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client_hello.h"

using namespace ferry;

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  hello_result settled = hello_result::need_more;
  std::string first;
  for (std::size_t length = 0; length <= size;
       length = length == size ? size + 1 : std::min(size, length + (length < 1024 ? 1 : 97))) {
    std::string name = "left over";
    hello_result now = read_client_hello(bytes.substr(0, length), name);
    require(now != hello_result::need_more || length < max_client_hello_bytes,
            "asks for more past the bound");
    require(now == hello_result::hello || name.empty(), "a name without a hello");
    require(name.size() <= 255, "name over 255 bytes");
    for (char c : name) require(c > ' ' && c < '\x7f', "name not printable");
    if (settled == hello_result::need_more) {
      settled = now;
      first = name;
    }
    require(now == settled && name == first, "answer or name changed as bytes were added");
  }
  return 0;
}
