// The PROXY protocol header, fed as bytes whole, byte by byte and cut short;
// and through the real process, the client a balancer's header names.
#include "proxy_protocol.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <string>
#include <tuple>
#include <utility>

#include "answers.h"
#include "harness.h"
#include "origin_servers.h"
#include "policy.h"

using namespace ferry;

namespace {

using result = proxy_header::result;

// A version 2 header with its length filled in from `block`.
std::string v2(char command, char family, const std::string& block) {
  std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
  return header + command + family + char(block.size() >> 8) + char(block.size() & 255) + block;
}
const std::string tcp4_block("\xc0\xa8\x00\x01\x0a\x00\x00\x02\xdc\x04\x01\xbb", 12);
const std::string tcp6_block(36, '\x01');
const std::string padding(91, 'x');  // makes the longest line: 107 bytes

auto fields(const proxy_header& header) {
  return std::tuple(header.size, header.has_address, format_ip_address(header.address),
                    header.port);
}

proxy_header named(const char* address, std::uint16_t port) {
  proxy_header header{0, true, {}, port};
  parse_ip_address(address, header.address);
  return header;
}

TEST(ProxyProtocol, ReadsGoodHeadersAndTakesExactlyTheirBytes) {
  const proxy_header tcp4 = named("192.168.0.1", 56324), none{};
  const std::pair<std::string, proxy_header> cases[] = {
      {"PROXY TCP4 192.168.0.1 10.0.0.2 56324 443\r\n", tcp4},
      {"PROXY TCP4 0.0.0.0 255.255.255.255 0 65535\r\n", named("0.0.0.0", 0)},
      {"PROXY TCP6 2001:db8::1 ::ffff:10.0.0.2 4000 443\r\n", named("2001:db8::1", 4000)},
      {"PROXY TCP6 ::ffff:10.0.0.7 ::1 4000 443\r\n", named("10.0.0.7", 4000)},
      {"PROXY UNKNOWN\r\n", none},
      {"PROXY UNKNOWN ffff::1 ::1 1 2\r\n", none},
      {"PROXY UNKNOWN " + padding + "\r\n", none},
      {v2('\x21', '\x11', tcp4_block), tcp4},
      {v2('\x21', '\x11', tcp4_block + std::string("\x04\x00\x01\x00", 4)), tcp4},
      {v2('\x21', '\x21', tcp6_block), named("101:101:101:101:101:101:101:101", 257)},
      {v2('\x21', '\x00', ""), none},
      {v2('\x20', '\x00', ""), none},
      {v2('\x20', '\x12', "abc"), none}};
  for (auto [bytes, expected] : cases) {
    proxy_header header;
    ASSERT_EQ(parse_proxy_header(bytes + "GET / HTTP/1.1\r\n", header), result::complete) << bytes;
    expected.size = bytes.size();
    EXPECT_EQ(fields(header), fields(expected)) << bytes;
    for (std::size_t size = 0; size < bytes.size(); ++size) {
      EXPECT_EQ(parse_proxy_header(bytes.substr(0, size), header), result::incomplete)
          << bytes << " cut at " << size;
    }
  }
}

TEST(ProxyProtocol, TellsBadFromUnfinishedAsSoonAsItCan) {
  const std::string tcp6_word(44, '1');  // two of them leave no room for the ports
  const std::pair<std::string, result> cases[] = {
      {"PRO", result::incomplete},
      {std::string("\r\n\r\n\0\r", 6), result::incomplete},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2\r", result::incomplete},
      {v2('\x21', '\x11', tcp4_block).substr(0, 25), result::incomplete},
      {"GET / HTTP/1.1\r\n", result::bad},
      {"proxy TCP4 1.2.3.4 5.6.7.8 1 2\r\n", result::bad},
      {"PROXY  TCP4", result::bad},
      {"PROXY TCP4 1.2.3.4  5", result::bad},
      {"PROXY TCP4 01", result::bad},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 01", result::bad},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 65536", result::bad},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1\r", result::bad},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2 \r\n", result::bad},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n", result::bad},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2\rx", result::bad},
      {"PROXY TCP4 ::1", result::bad},
      {"PROXY TCP6 ::g", result::bad},
      {"PROXY TCP6 1::2::3 ::1 1 2\r\n", result::bad},
      {"PROXY TCP6 fe80::1%lo", result::bad},
      {"PROXY TCP5", result::bad},
      {"PROXY UNKNOWNX", result::bad},
      {"PROXY UNKNOWN " + padding + "x", result::bad},
      {"PROXY TCP6 " + tcp6_word + ": " + tcp6_word + ":", result::bad},
      {std::string("\r\n\r\n\0\r\nQUIX", 11), result::bad},
      {v2('\x11', '\x11', tcp4_block), result::bad},
      {v2('\x31', '\x11', tcp4_block), result::bad},
      {v2('\x22', '\x11', tcp4_block), result::bad},
      {v2('\x21', '\x12', tcp4_block), result::bad},
      {v2('\x21', '\x31', std::string(216, 'u')), result::bad},
      {v2('\x21', '\x11', tcp4_block.substr(0, 11)), result::bad},
      {v2('\x21', '\x21', tcp6_block.substr(0, 35)), result::bad}};
  for (const auto& [bytes, expected] : cases) {
    proxy_header header;
    EXPECT_EQ(parse_proxy_header(bytes, header), expected) << bytes;
  }
}

}  // namespace

namespace {

using namespace harness;
using namespace harness::access_lines;
using steady_clock = std::chrono::steady_clock;

// ferry's CPU time so far, in clock ticks.
long cpu_ticks(pid_t pid) {
  std::string stat = temp_files::read_file("/proc/" + std::to_string(pid) + "/stat");
  std::vector<std::string> fields = split(stat.substr(stat.rfind(')') + 2), ' ');
  return std::stol(fields.at(11)) + std::stol(fields.at(12));  // utime, stime
}

// Sends `bytes` one at a time, `pause` apart, until ferry closes; returns what came back.
client_side trickle(const std::string& bytes, std::chrono::milliseconds pause) {
  auto [fd, client] = open_client();
  for (char byte : bytes) {
    if (!send_all(fd.get(), std::string(1, byte))) break;
    client.sent += byte;
    pollfd closed{fd.get(), POLLIN, 0};
    if (poll(&closed, 1, static_cast<int>(pause.count())) > 0) break;
  }
  client.got = read_reply(fd.get());
  return client;
}

}  // namespace

// From a balancer in PROXY_FROM the client is the one its header names, and
// is judged by DENY_TO even when the header names loopback; a connection
// without a good, timely header is closed unanswered.
TEST(ProxyHeader, NamesTheClientForAllowAndTheLog) {
  add_local_address("10.1.1.1");
  set_hosts("10.1.1.1 origin.test\n");
  scripted_origin origin("10.1.1.1", answer_and_drain(short_answer));
  ferry_process ferry({"LISTEN_PORT=8080", "LOG=access", "PROXY_FROM=127.0.0.1",
                       "ALLOW=10.1.2.3,127.0.0.2,2001:db8::7", "DENY_TO=127.0.0.0/8",
                       "HEAD_TIMEOUT=1"});
  ASSERT_TRUE(ferry.wait_listening(8080));
  const std::string v1 = "PROXY TCP4 10.1.2.3 127.0.0.1 5555 8080\r\n";
  const std::string v2(
      "\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x0c\x0a\x01\x02\x03\x7f\x00\x00\x01"
      "\x15\xb3\x1f\x90",
      28);
  const std::string v1_ipv6 = "PROXY TCP6 2001:db8::7 ::1 5555 8080\r\n";
  const std::string v2_ipv6 =
      std::string("\r\n\r\n\0\r\nQUIT\n\x21\x21\x00\x24\x20\x01\x0d\xb8", 20) +
      std::string(11, '\0') + "\x07" + std::string(15, '\0') +
      "\x01\x15\xb3\x1f\x90";  // 2001:db8::7 port 5555 to ::1 port 8080
  const std::string forbidden = error_answer(403, not_allowed_line);
  const std::string served = relayed(short_answer);
  // The header then `request` from `from`, answered with `expected` (for
  // ferry's own answers: answered with what starts so).
  auto proxied = [](std::string header, std::string request, std::string expected,
                    std::string from = "127.0.0.1") {
    return [=] {
      client_side client = ask(header + request, from);
      const std::string& got = client.got.data;
      EXPECT_TRUE(is_ferry_answer(got) ? got.starts_with(expected) : got == expected) << got;
      EXPECT_TRUE(client.got.ended());
      return client;
    };
  };
  const long get_size = static_cast<long>(get_origin.size());
  const std::string not_in_allow = "PROXY TCP4 10.7.7.7 127.0.0.1 5555 8080\r\n";
  const std::string malformed = "PROXY TCP4 10.1.2.3 nonsense\r\n";
  const std::string names_loopback = "PROXY TCP4 127.0.0.2 127.0.0.1 5555 8080\r\n";
  const std::string to_loopback = "GET http://127.0.0.1/x HTTP/1.1\r\n\r\n";
  auto unfinished_then_closed = [] {
    auto [fd, client] = open_client();
    client.sent = "PROXY ";
    send_all(fd.get(), client.sent);
    shutdown(fd.get(), SHUT_WR);
    auto sent = steady_clock::now();
    client.got = read_reply(fd.get());
    EXPECT_LT(steady_clock::now() - sent, 500ms);
    return client;
  };
  expect_lines(
      ferry,
      {
          {"v1", proxied(v1, get_origin, served), "GET http://origin.test/x 200 2 done", 0,
           "10.1.2.3:5555", get_size},
          {"v2", proxied(v2, get_origin, served), "GET http://origin.test/x 200 2 done", 0,
           "10.1.2.3:5555", get_size},
          {"v1 IPv6", proxied(v1_ipv6, get_origin, served), "GET http://origin.test/x 200 2 done",
           0, "[2001:db8::7]:5555", get_size},
          {"v2 IPv6", proxied(v2_ipv6, get_origin, served), "GET http://origin.test/x 200 2 done",
           0, "[2001:db8::7]:5555", get_size},
          {"outside ALLOW", proxied(not_in_allow, "", forbidden), "- - 403 2 refused", 0,
           "10.7.7.7:5555", 0},
          {"IPv6 outside ALLOW", proxied("PROXY TCP6 2001:db8::8 ::1 5555 8080\r\n", "", forbidden),
           "- - 403 2 refused", 0, "[2001:db8::8]:5555", 0},
          {"missing", proxied("", get_origin, ""), "- - - 2 bad-proxy-header", 0, "", 0},
          {"malformed", proxied(malformed, get_origin, ""), "- - - 2 bad-proxy-header", 0, "", 0},
          {"late", proxied("", "", ""), "- - - - bad-proxy-header", about_a_second, "", 0},
          {"unfinished", proxied("PROXY ", "", ""), "- - - 2 bad-proxy-header", about_a_second,
           "", 0},
          {"unfinished then closed", unfinished_then_closed, "- - - 2 bad-proxy-header", 0, "", 0},
          {"a byte at a time", [&] { return trickle(v1 + get_origin, 300ms); },
           "- - - 2 bad-proxy-header", about_a_second, "", 0},
          {"names loopback", proxied(names_loopback, to_loopback, "HTTP/1.1 403 "),
           "GET http://127.0.0.1/x 403 2 refused", 0, "127.0.0.2:5555",
           static_cast<long>(to_loopback.size())},
          {"not a balancer", proxied("", v1 + get_origin, "HTTP/1.1 400 ", "127.0.0.2"),
           "- - 400 2 bad-request"},
      });
  // Unfinished headers sleep until HEAD_TIMEOUT ends them: no CPU spent meanwhile.
  std::vector<unique_fd> unfinished;
  for (int i = 0; i < 30; ++i) {
    unfinished.push_back(open_client().first);
    send_all(unfinished.back().get(), "PROXY ");
  }
  std::this_thread::sleep_for(200ms);  // accepted, their threads started
  long ticks = cpu_ticks(ferry.pid());
  std::this_thread::sleep_for(600ms);
  EXPECT_LE(cpu_ticks(ferry.pid()) - ticks, 2);
  for (auto& fd : unfinished) EXPECT_TRUE(read_reply(fd.get(), 2s).ended());
}
