// Start-up and connection intake, through the real process.
#include <gtest/gtest.h>
#include <unistd.h>

#include "harness.h"

using namespace harness;

TEST(Intake, ReservesSlotTwoAndFreesIt) {
  ferry_process ferry({"LISTEN_PORT=8080"});
  ASSERT_TRUE(ferry.wait_listening(8080));
  int fd = connect_to("127.0.0.1", 8080);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(ferry.wait_output("thread reserved at 2\n\nhere\n"));
  close(fd);
  EXPECT_TRUE(ferry.wait_output("thread 2 freed\n"));
}
