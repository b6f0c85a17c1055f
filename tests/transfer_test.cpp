// Traced transfers over real socket pairs and loopback TCP, with the trace
// each call writes.
#include "transfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

using namespace ferry;

namespace {

using namespace std::chrono_literals;
using harness::capture;
using harness::count_of;
using harness::is_nonblocking;
using harness::trace;

void set_nonblocking(int fd, bool on) {
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

// Waits up to `timeout` until `fd` holds at least `bytes` unread bytes.
bool wait_pending(int fd, int bytes, std::chrono::milliseconds timeout = 5s) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int pending = 0;
    ioctl(fd, FIONREAD, &pending);
    if (pending >= bytes) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
}

enum class link_kind { socket_pair, loopback_tcp };

constexpr link_kind both_kinds[] = {link_kind::socket_pair, link_kind::loopback_tcp};

// Two connected ends: `near_fd` is handed to the code under test, `far_fd`
// plays the peer. Over TCP a non-zero `buffer_size` keeps the kernel buffers
// small, so a stalled peer fills them quickly.
struct connection {
  int near_fd = -1;
  int far_fd = -1;

  explicit connection(link_kind kind, int buffer_size = 0) {
    if (kind == link_kind::socket_pair) {
      int ends[2];
      socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends);
      near_fd = ends[0];
      far_fd = ends[1];
      return;
    }
    int listen_fd = harness::listen_on("127.0.0.1", 0);
    if (buffer_size > 0) {
      setsockopt(listen_fd, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
    }
    near_fd = harness::connect_to("127.0.0.1", harness::local_port(listen_fd));
    if (buffer_size > 0) {
      setsockopt(near_fd, SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
    }
    far_fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    close(listen_fd);
  }
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;
  ~connection() {
    close_near();
    close_far();
  }
  void close_near() {
    if (near_fd >= 0) close(near_fd);
    near_fd = -1;
  }
  void close_far() {
    if (far_fd >= 0) close(far_fd);
    far_fd = -1;
  }
};

// Writes to the near end without waiting until its buffers take no more.
void fill_up(int fd) {
  std::vector<char> chunk(65536, 'f');
  while (send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
  }
}

// Reads everything the far end will get from what the near end has already
// written: until nothing is queued on either side, or `timeout` passes.
std::string drain(int near_fd, int far_fd, std::chrono::milliseconds timeout = 10s) {
  std::string received;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<char> chunk(65536);
  while (std::chrono::steady_clock::now() < deadline) {
    ssize_t got = recv(far_fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (got > 0) {
      received.append(chunk.data(), static_cast<std::size_t>(got));
      continue;
    }
    int unsent = 0;
    int unread = 0;
    ioctl(near_fd, SIOCOUTQ, &unsent);
    ioctl(far_fd, FIONREAD, &unread);
    if (unsent == 0 && unread == 0) break;
    std::this_thread::sleep_for(1ms);
  }
  return received;
}

std::string pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return text;
}

// A transfer as one word and its bytes, so that a check reads as what it expects.
std::string outcome(const transfer& moved) {
  switch (moved.result) {
    case io_result::done: return "done " + std::to_string(moved.bytes);
    case io_result::would_block: return "would_block";
    case io_result::timed_out: return "timed_out";
    case io_result::peer_closed: return "peer_closed";
    case io_result::failed: return "failed";
  }
  return "?";
}

std::string descriptor_line(int fd) { return "descriptor number is " + std::to_string(fd) + "\n"; }

class Transfer : public testing::Test {
 protected:
  void SetUp() override {
    // As in the process: a write to a closed peer fails instead of killing us.
    signal(SIGPIPE, SIG_IGN);
    // A transfer that never returns ends the test instead of hanging it.
    alarm(60);
  }
  void TearDown() override { alarm(0); }

  // How long each write may wait for room, as IDLE_TIMEOUT sets it.
  int wait_ms = 10000;
};

TEST_F(Transfer, ReadsOnceAndReportsEndOfStream) {
  for (link_kind kind : both_kinds) {
    SCOPED_TRACE(kind == link_kind::socket_pair ? "socket pair" : "loopback TCP");
    connection link(kind);
    ASSERT_TRUE(harness::send_all(link.far_fd, "hello world"));
    ASSERT_TRUE(wait_pending(link.near_fd, 11));

    char buffer[64] = {};
    transfer got;
    trace first = capture([&] { got = wait_and_read(link.near_fd, buffer, 5, deadline::never()); });
    EXPECT_EQ(outcome(got), "done 5");
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(first.output, descriptor_line(link.near_fd) +
                                "busy\nselstat: 1\n"
                                "read blocked with count = 5 and left = 5\n"
                                "after read c = 5\nread unblocked\n");
    EXPECT_TRUE(first.errors.starts_with("select for read: ")) << first.errors;
    EXPECT_EQ(count_of(first.errors, "\n"), 1) << first.errors;
    EXPECT_FALSE(is_nonblocking(link.near_fd));

    // The rest stayed for the next call, which also leaves non-blocking mode on.
    set_nonblocking(link.near_fd, true);
    trace second = capture([&] { got = wait_and_read(link.near_fd, buffer, sizeof buffer, deadline::never()); });
    EXPECT_EQ(outcome(got), "done 6");
    EXPECT_EQ(std::string(buffer, 6), " world");
    EXPECT_NE(second.output.find("read blocked with count = 64 and left = 64\nafter read c = 6\n"),
              std::string::npos)
        << second.output;
    EXPECT_TRUE(is_nonblocking(link.near_fd));
    set_nonblocking(link.near_fd, false);

    link.close_far();
    trace closed = capture([&] { got = wait_and_read(link.near_fd, buffer, sizeof buffer, deadline::never()); });
    EXPECT_EQ(outcome(got), "peer_closed");
    EXPECT_EQ(closed.output, descriptor_line(link.near_fd) +
                                 "busy\nselstat: 1\n"
                                 "read blocked with count = 64 and left = 64\n"
                                 "after read c = 0\nconnection closed\n");
    EXPECT_FALSE(is_nonblocking(link.near_fd));
  }
}

TEST_F(Transfer, FailedReadsAndWaitsFail) {
  connection link(link_kind::loopback_tcp);
  linger abort_on_close{1, 0};
  setsockopt(link.far_fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  link.close_far();
  pollfd waited{link.near_fd, POLLIN, 0};
  ASSERT_EQ(poll(&waited, 1, 5000), 1);

  char buffer[16];
  transfer got;
  int read_errno = 0;
  trace reset = capture([&] {
    got = wait_and_read(link.near_fd, buffer, sizeof buffer, deadline::never());
    read_errno = errno;
  });
  EXPECT_EQ(outcome(got), "failed");
  EXPECT_EQ(read_errno, ECONNRESET);
  EXPECT_NE(reset.output.find("after read c = -1\nread unblocked\n"), std::string::npos)
      << reset.output;
  EXPECT_FALSE(is_nonblocking(link.near_fd));

  // A descriptor number that is not open fails the wait for good: no spinning.
  // It is well above what the capture's own files take, so it stays closed.
  const int closed_fd = 900;
  ASSERT_EQ(fcntl(closed_fd, F_GETFD), -1);
  transfer written;
  capture([&] {
    got = wait_and_read(closed_fd, buffer, sizeof buffer, deadline::never());
    written = write_all(closed_fd, "abc", 3, std::chrono::milliseconds(wait_ms));
  });
  EXPECT_EQ(outcome(got), "failed");
  EXPECT_EQ(outcome(written), "failed");
}

TEST_F(Transfer, WritesEverythingAndKeepsTheFlags) {
  for (link_kind kind : both_kinds) {
    for (bool nonblocking : {false, true}) {
      SCOPED_TRACE(std::string(kind == link_kind::socket_pair ? "socket pair" : "loopback TCP") +
                   (nonblocking ? ", non-blocking" : ", blocking"));
      connection link(kind);
      set_nonblocking(link.near_fd, nonblocking);
      transfer written;
      trace small = capture([&] { written = write_all(link.near_fd, "abc", 3, std::chrono::milliseconds(wait_ms)); });
      EXPECT_EQ(outcome(written), "done 3");
      EXPECT_EQ(small.output, descriptor_line(link.near_fd) + "write blocked\nwrite unblocked\n");
      EXPECT_TRUE(small.errors.starts_with("select for write: ")) << small.errors;
      EXPECT_EQ(count_of(small.errors, "\n"), 1) << small.errors;
      EXPECT_EQ(is_nonblocking(link.near_fd), nonblocking);
      ASSERT_TRUE(wait_pending(link.far_fd, 3));
      char got[4] = {};
      EXPECT_EQ(recv(link.far_fd, got, sizeof got, 0), 3);
      EXPECT_STREQ(got, "abc");
    }
  }
}

TEST_F(Transfer, LargeWriteArrivesWholeAndInOrder) {
  connection link(link_kind::loopback_tcp, 16384);
  const std::string sent = pattern(1 << 20);
  std::string received;
  std::thread reader([&] { received = harness::read_reply(link.far_fd, 20s).data; });
  transfer written;
  trace big = capture([&] { written = write_all(link.near_fd, sent.data(), sent.size(), std::chrono::milliseconds(wait_ms)); });
  link.close_near();
  reader.join();
  EXPECT_EQ(outcome(written), "done " + std::to_string(sent.size()));
  EXPECT_TRUE(received == sent) << "received " << received.size() << " bytes";
  // Every write call follows a wait of its own.
  EXPECT_GT(count_of(big.output, "write blocked\n"), 1);
  EXPECT_EQ(count_of(big.output, "write blocked\n"), count_of(big.errors, "select for write: "));
  EXPECT_EQ(count_of(big.output, "write unblocked\n"), 1);
}

TEST_F(Transfer, StalledPeerTimesOutKeepingWhatWasWritten) {
  wait_ms = 1000;
  connection link(link_kind::loopback_tcp, 16384);
  const std::string sent = pattern(4 << 20);
  transfer written;
  auto start = std::chrono::steady_clock::now();
  trace stalled = capture([&] { written = write_all(link.near_fd, sent.data(), sent.size(), std::chrono::milliseconds(wait_ms)); });
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(outcome(written), "timed_out");
  EXPECT_GE(waited, 900ms);
  EXPECT_LT(waited, 30s);
  EXPECT_TRUE(stalled.output.starts_with(descriptor_line(link.near_fd))) << stalled.output;
  EXPECT_EQ(stalled.output.find("write unblocked"), std::string::npos);
  // The last wait timed out silently after its report: one more wait than writes.
  EXPECT_EQ(count_of(stalled.errors, "select for write: "),
            count_of(stalled.output, "write blocked\n") + 1);
  EXPECT_EQ(count_of("\n" + stalled.errors, "\nwrite: "), 0) << stalled.errors;
  EXPECT_FALSE(is_nonblocking(link.near_fd));

  std::string received = drain(link.near_fd, link.far_fd);
  EXPECT_GT(received.size(), 0u);
  EXPECT_LT(received.size(), sent.size());
  EXPECT_TRUE(sent.compare(0, received.size(), received) == 0);
}

TEST_F(Transfer, ZeroTimeoutOnlyPollsAndEmptyWritesDoNotWait) {
  wait_ms = 0;
  connection link(link_kind::socket_pair);
  transfer written;
  capture([&] { written = write_all(link.near_fd, "abc", 3, std::chrono::milliseconds(wait_ms)); });
  EXPECT_EQ(outcome(written), "done 3");

  fill_up(link.near_fd);
  trace full = capture([&] { written = write_all(link.near_fd, "x", 1, std::chrono::milliseconds(wait_ms)); });
  EXPECT_EQ(outcome(written), "timed_out");
  EXPECT_EQ(full.output, descriptor_line(link.near_fd));
  EXPECT_TRUE(full.errors.starts_with("select for write: ")) << full.errors;
  EXPECT_EQ(count_of(full.errors, "\n"), 1) << full.errors;

  // Nothing to write: no wait at all, so no -2 either.
  trace nothing = capture([&] { written = write_all(link.near_fd, "", 0, std::chrono::milliseconds(wait_ms)); });
  EXPECT_EQ(outcome(written), "done 0");
  EXPECT_EQ(nothing.output, descriptor_line(link.near_fd) + "write unblocked\n");
  EXPECT_EQ(nothing.errors, "");
}

TEST_F(Transfer, ClosedPeerFailsTheWrite) {
  connection pair(link_kind::socket_pair);
  pair.close_far();
  transfer written;
  trace broken = capture([&] { written = write_all(pair.near_fd, "abc", 3, std::chrono::milliseconds(wait_ms)); });
  EXPECT_EQ(outcome(written), "failed");
  EXPECT_EQ(broken.output, descriptor_line(pair.near_fd) + "write blocked\n");
  EXPECT_TRUE(broken.errors.ends_with("write: Broken pipe\n")) << broken.errors;

  // Over TCP the first bytes may still go out; the reset fails a later write.
  connection tcp(link_kind::loopback_tcp, 16384);
  tcp.close_far();
  const std::string sent = pattern(1 << 20);
  trace reset = capture([&] { written = write_all(tcp.near_fd, sent.data(), sent.size(), std::chrono::milliseconds(wait_ms)); });
  EXPECT_EQ(outcome(written), "failed");
  EXPECT_TRUE(reset.errors.ends_with("write: Broken pipe\n") ||
              reset.errors.ends_with("write: Connection reset by peer\n"))
      << reset.errors;
  EXPECT_FALSE(is_nonblocking(tcp.near_fd));
}

TEST_F(Transfer, DescriptorsAboveTheSelectLimitWork) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 1600 && limit.rlim_max >= 1600) {
    limit.rlim_cur = 1600;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  connection link(link_kind::loopback_tcp);
  ASSERT_EQ(dup2(link.near_fd, 1500), 1500);
  ASSERT_EQ(dup2(link.far_fd, 1501), 1501);
  unique_fd high_near(1500);
  unique_fd high_far(1501);

  transfer written;
  trace write_trace = capture([&] { written = write_all(high_near.get(), "ping", 4, std::chrono::milliseconds(wait_ms)); });
  EXPECT_EQ(outcome(written), "done 4");
  EXPECT_EQ(write_trace.output, descriptor_line(1500) + "write blocked\nwrite unblocked\n");

  char buffer[8] = {};
  transfer got;
  trace read_trace = capture([&] { got = wait_and_read(high_far.get(), buffer, sizeof buffer, deadline::never()); });
  EXPECT_EQ(outcome(got), "done 4");
  EXPECT_STREQ(buffer, "ping");
  EXPECT_TRUE(read_trace.output.starts_with(descriptor_line(1501) + "busy\nselstat: 1\n"))
      << read_trace.output;
}

bool in_poll(pid_t thread_id) {
  std::ifstream wchan("/proc/self/task/" + std::to_string(thread_id) + "/wchan");
  std::string where;
  wchan >> where;
  return where.find("poll") != std::string::npos;
}

// Both readers wake for one byte; the one that loses the race must wait again
// rather than fail, and get the next byte. The race is not always lost, so it
// runs a few rounds.
TEST_F(Transfer, ReaderThatLosesTheRaceWaitsAgain) {
  connection link(link_kind::socket_pair);
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::atomic<pid_t> thread_ids[2] = {0, 0};
    std::atomic<int> finished = 0;
    transfer results[2];
    char bytes[2] = {0, 0};
    bool both_waited = false;
    capture([&] {
      std::vector<std::thread> readers;
      for (int i = 0; i < 2; ++i) {
        readers.emplace_back([&, i] {
          thread_ids[i] = gettid();
          results[i] = wait_and_read(link.near_fd, &bytes[i], 1, deadline::never());
          ++finished;
        });
      }
      auto deadline = std::chrono::steady_clock::now() + 10s;
      while (std::chrono::steady_clock::now() < deadline && !both_waited && finished == 0) {
        both_waited = thread_ids[0] != 0 && thread_ids[1] != 0 && in_poll(thread_ids[0]) &&
                      in_poll(thread_ids[1]);
        std::this_thread::sleep_for(1ms);
      }
      harness::send_all(link.far_fd, "a");
      std::this_thread::sleep_for(20ms);
      harness::send_all(link.far_fd, "b");
      for (auto& reader : readers) reader.join();
    });
    EXPECT_TRUE(both_waited);
    EXPECT_EQ(outcome(results[0]), "done 1");
    EXPECT_EQ(outcome(results[1]), "done 1");
    std::string got{bytes[0], bytes[1]};
    EXPECT_TRUE(got == "ab" || got == "ba") << got;
    EXPECT_FALSE(is_nonblocking(link.near_fd));
    if (HasFailure()) break;
  }
}

}  // namespace
