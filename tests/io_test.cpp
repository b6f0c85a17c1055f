// The one wait and the single reads and writes, on socket pairs and a pipe,
// in each state a peer can leave them in.
#include "io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <tuple>

#include "harness.h"
#include "unique_fd.h"

using namespace ferry;
using namespace std::chrono_literals;

namespace {

// A wait for nothing still wakes on a hang-up; a read never waits (-1 is
// EAGAIN) and a write to a closed peer fails (-1) without a signal.
TEST(Io, WaitsReadsAndWritesSeeWhatThePeerLeft) {
  struct row {
    const char* name;
    void (*peer)(unique_fd&);
    io_result wait_read, wait_nothing;
    ssize_t read, write;
  };
  const row rows[] = {
      {"nothing yet", [](unique_fd&) {}, io_result::timed_out, io_result::timed_out, -1, 1},
      {"a byte", [](unique_fd& fd) { send(fd.get(), "x", 1, 0); }, io_result::done,
       io_result::timed_out, 1, 1},
      {"shut down", [](unique_fd& fd) { shutdown(fd.get(), SHUT_WR); }, io_result::done,
       io_result::timed_out, 0, 1},
      {"closed", [](unique_fd& fd) { fd.reset(); }, io_result::done, io_result::done, 0, -1},
  };
  for (const row& r : rows) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    unique_fd near(ends[0]), far(ends[1]);
    r.peer(far);
    char byte = 0;
    // Braces: the calls run in this order.
    EXPECT_EQ((std::tuple{wait_ready(near.get(), POLLIN, deadline::in(10ms)),
                          wait_ready(near.get(), 0, deadline::in(10ms)),
                          read_once(near.get(), &byte, 1), write_once(near.get(), "y", 1)}),
              std::tuple(r.wait_read, r.wait_nothing, r.read, r.write))
        << r.name;
  }
  // Descriptors that are no socket: never open, or a pipe in blocking mode.
  ASSERT_EQ(fcntl(900, F_GETFD), -1);
  for (int fd : {-1, 900}) {
    EXPECT_EQ(wait_ready(fd, POLLIN, deadline::never()), io_result::failed);
    EXPECT_EQ(errno, EBADF);
  }
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  unique_fd reader(pipe_ends[0]), writer(pipe_ends[1]);
  char byte = 0;
  EXPECT_EQ(read_once(reader.get(), &byte, 1), -1);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_FALSE(harness::is_nonblocking(reader.get()));
}

}  // namespace
