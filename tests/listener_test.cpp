// The listening socket: one for both families, and a failed bind that
// leaves nothing behind.
#include "listener.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>

#include "harness.h"
#include "net.h"

using namespace ferry;

namespace {

using namespace std::chrono_literals;

ip_address address_of(const char* text) {
  ip_address address;
  EXPECT_TRUE(parse_ip_address(text, address)) << text;
  return address;
}

// A listener on :: takes IPv4 clients; a bind on its live port fails at the
// bind step and leaves no descriptor behind.
TEST(Listener, TakesBothFamiliesAndAFailedBindLeavesNothing) {
  bind_step failed = bind_step::socket;
  unique_fd listener = bind_listener(address_of("::"), 0, failed);
  ASSERT_EQ(failed, bind_step::none);
  ASSERT_EQ(listen(listener.get(), 4), 0);
  std::uint16_t port = local_port(listener.get());
  EXPECT_GE(connect_first({address_of("127.0.0.1")}, port, 1000ms).get(), 0);
  EXPECT_EQ(connect_first({}, port, 1000ms).get(), -1);
  int before = harness::count_descriptors();
  EXPECT_EQ(bind_listener(address_of("127.0.0.1"), port, failed).get(), -1);
  EXPECT_EQ(failed, bind_step::bind);
  EXPECT_EQ(errno, EADDRINUSE);
  EXPECT_EQ(harness::count_descriptors(), before);
}

}  // namespace
