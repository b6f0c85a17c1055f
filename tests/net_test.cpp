// Names and connections: resolving through the private hosts file,
// connecting with fallback, this machine's addresses.
#include "net.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "harness.h"

using namespace ferry;

namespace {

using namespace std::chrono_literals;
using harness::capture;
using harness::is_nonblocking;
using harness::trace;

ip_address address_of(const char* text) {
  ip_address address;
  EXPECT_TRUE(parse_ip_address(text, address)) << text;
  return address;
}

TEST(Net, MachineAddressesShowOnesAddedSinceStart) {
  harness::add_local_address("10.9.9.9");
  std::vector<ip_address> found = read_machine_addresses();
  for (const char* text : {"127.0.0.1", "10.9.9.9"}) {
    EXPECT_NE(std::find(found.begin(), found.end(), address_of(text)), found.end()) << text;
  }
}

// Resolving a name and connecting to the first address that accepts.
class TcpConnect : public testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    // A connect that never returns ends the test instead of hanging it.
    alarm(60);
  }
  void TearDown() override { alarm(0); }

  static int tcp_connect(const char* host, const char* service, connect_report* report = nullptr) {
    std::vector<ip_address> addresses = resolve(host, service);
    return connect_first(addresses, 80, std::chrono::milliseconds(0), nullptr, report).release();
  }
};

TEST_F(TcpConnect, RefusedAddressFallsThroughToTheNext) {
  harness::set_hosts("127.0.0.1 localhost\n127.0.0.3 two.test\n127.0.0.2 two.test\n");
  unique_fd listener(harness::listen_on("127.0.0.2", 80));
  ASSERT_GE(listener.get(), 0);
  connect_report report;
  int fd = -1;
  trace connected = capture([&] { fd = tcp_connect("two.test", "http", &report); });
  unique_fd upstream(fd);
  ASSERT_GE(fd, 0);
  // It says nothing itself: its report tells the relay what to trace.
  EXPECT_EQ(connected.errors + connected.output, "");
  EXPECT_EQ(report.failures, std::vector<int>{ECONNREFUSED});
  EXPECT_TRUE(report.connected && report.connected_to == address_of("127.0.0.2"));
  EXPECT_TRUE(is_nonblocking(fd));
  // The connection is established, so it is waiting to be accepted.
  pollfd pending{listener.get(), POLLIN, 0};
  EXPECT_EQ(poll(&pending, 1, 5000), 1);
}

TEST_F(TcpConnect, UnresolvableNamesFail) {
  harness::set_hosts("127.0.0.1 localhost\n127.0.0.2 a.test\n");
  unique_fd listener(harness::listen_on("127.0.0.2", 80));
  int before = harness::count_descriptors();
  for (const char* name : {"nothere.test", "a.test:8080"}) {
    int fd = 0;
    trace failed = capture([&] { fd = tcp_connect(name, "http"); });
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(failed.output, std::string("getaddrinfo problem for host: `") + name + "'\n");
  }
  EXPECT_EQ(harness::count_descriptors(), before);
}

TEST_F(TcpConnect, EveryAddressRefusingLeavesNoDescriptor) {
  harness::set_hosts("127.0.0.1 localhost\n127.0.0.3 none.test\n127.0.0.4 none.test\n");
  int before = harness::count_descriptors();
  connect_report report;
  EXPECT_EQ(tcp_connect("none.test", "http", &report), -1);
  EXPECT_EQ(report.failures, (std::vector<int>{ECONNREFUSED, ECONNREFUSED}));
  EXPECT_TRUE(report.tried && !report.connected);
  EXPECT_EQ(report.last_error, ECONNREFUSED);
  EXPECT_EQ(harness::count_descriptors(), before);
}

}  // namespace
