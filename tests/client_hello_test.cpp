// The ClientHello reader, fed hellos built here, whole, cut short and split
// into records of every size, and bytes that are not a hello.
#include "client_hello.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace ferry;

std::string number(std::size_t value, int size) {
  std::string out;
  for (int shift = 8 * (size - 1); shift >= 0; shift -= 8) out += char(value >> shift & 255);
  return out;
}

std::string extension(int type, const std::string& body) {
  return number(type, 2) + number(body.size(), 2) + body;
}

// A server_name extension of (name type, name) pairs.
std::string server_names(std::initializer_list<std::pair<int, std::string>> names) {
  std::string list;
  for (const auto& [type, name] : names) list += char(type) + number(name.size(), 2) + name;
  return extension(0, number(list.size(), 2) + list);
}

const std::string sni = server_names({{0, "example.com"}});
const std::string alpn = extension(16, std::string("\x00\x03\x02h2", 5));

// A handshake message: a TLS 1.3 ClientHello with `extensions`, or none.
std::string hello(const std::string& extensions, bool with_extensions = true) {
  std::string body = "\x03\x03" + std::string(32, 'r') + char(32) + std::string(32, 's') +
                     number(4, 2) + "\x13\x01\x13\x02" + "\x01" + std::string(1, '\0');
  if (with_extensions) body += number(extensions.size(), 2) + extensions;
  return "\x01" + number(body.size(), 3) + body;
}

// `message` in handshake records of at most `piece` bytes each.
std::string records(const std::string& message, std::size_t piece = 16384, char type = 22) {
  std::string out;
  for (std::size_t at = 0; at < message.size(); at += piece) {
    std::string part = message.substr(at, piece);
    out += type + std::string("\x03\x01") + number(part.size(), 2) + part;
  }
  return out;
}

TEST(ClientHello, ReadsTheServerNameOnlyOnceTheWholeHelloIsThere) {
  const std::pair<std::string, std::string> hellos[] = {
      {records(hello(alpn + sni + alpn)), "example.com"},
      {records(hello(alpn + sni), 1), "example.com"},
      {records(hello(server_names({{1, "x"}, {0, "Example.COM."}}))), "Example.COM."},
      {records(hello(alpn)), ""},
      {records(hello("", false)), ""},
      {records(hello(extension(21, std::string(16000, '\0')) + sni)), "example.com"}};
  for (const auto& [bytes, name] : hellos) {
    std::string found = "left over";
    EXPECT_EQ(read_client_hello(bytes + "\x17\x03\x03", found), hello_result::hello) << name;
    EXPECT_EQ(found, name);
    for (std::size_t size = 0; size < bytes.size(); size += size < 64 ? 1 : 61) {
      EXPECT_EQ(read_client_hello(bytes.substr(0, size), found), hello_result::need_more) << size;
      EXPECT_EQ(found, "");
    }
  }
}

TEST(ClientHello, RefusesWhatIsNotAHelloAsSoonAsItCannotBeOne) {
  const std::string whole = hello(sni);
  const std::string bad[] = {
      "GET / HTTP/1.1\r\n", "\x16\x02", "\x16\x04",  // record versions other than 3.x
      std::string("\x16\x03\x01\x00\x00", 5) + records(whole),
      std::string("\x16\x03\x01\x40\x01", 5),  // a record over 2^14 bytes
      records(whole, 16384, 21),
      records("\x02" + whole.substr(1)),  // a ServerHello
      records(hello(sni + sni)), records(hello(server_names({{0, "a.example"}, {0, "b.example"}}))),
      records(hello(server_names({{0, ""}}))),
      records(hello(server_names({{0, std::string("a\0b", 3)}}))),
      records(hello(server_names({{0, std::string(256, 'a')}}))), records(hello(extension(0, ""))),
      records(whole.substr(0, whole.size() - 1)) + records("\x01"),
      records(whole).substr(0, 5 + 40) + records(whole.substr(40), 16384, 23),
      records(hello(extension(21, std::string(16400, '\0')))),
      // Record headers count towards the bound.
      records(hello(extension(21, std::string(3000, '\0')) + sni), 1)};
  for (const std::string& bytes : bad) {
    std::string found = "left over";
    EXPECT_EQ(read_client_hello(bytes, found), hello_result::not_tls) << bytes.size();
    EXPECT_EQ(found, "");
  }
}

}  // namespace
