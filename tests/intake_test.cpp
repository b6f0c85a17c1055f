// Start-up, connection intake and the stop on a signal, through the real
// process.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>
#include <sstream>

#include "harness.h"
#include "origin_servers.h"

using namespace harness;
using namespace harness::access_lines;
using ferry::unique_fd;
using system_clock = std::chrono::system_clock;
using steady_clock = std::chrono::steady_clock;
using temp_files::temp_folder;

namespace {

const std::string bind_hint = "try another port with `LISTEN_PORT' env variable\n";

std::string reserved_at(int slot) { return "thread reserved at " + std::to_string(slot) + "\n\n"; }
// Whole only while no other request thread can print between its lines.
std::string reserved(int slot) { return reserved_at(slot) + "here\n"; }
std::string freed(int slot) { return "thread " + std::to_string(slot) + " freed\n"; }

const std::string to_origin = "GET http://origin.test/ HTTP/1.1\r\n\r\n";
const std::string origin_answer = "HTTP/1.0 200 OK\r\n\r\nok";

bool has_input(int fd) {
  pollfd waited{fd, POLLIN, 0};
  return poll(&waited, 1, 0) > 0;
}

// A client connection that is closed when it goes out of scope. It sends
// `first` at once: a connection takes a slot once its first bytes arrive.
class client {
 public:
  explicit client(std::uint16_t port, const std::string& first = "G")
      : fd_(connect_to("127.0.0.1", port)) {
    if (!first.empty()) send_all(fd_, first);
  }
  client(const client&) = delete;
  client& operator=(const client&) = delete;
  ~client() { reset(); }
  int fd() const { return fd_; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  // True when the peer closes without sending anything.
  bool sees_close() {
    reply got = read_reply(fd_, 5s);
    return got.ended() && got.data.empty();
  }

 private:
  int fd_;
};

// Ports of the sockets listening in this namespace.
std::vector<std::uint16_t> listening_ports() {
  std::vector<std::uint16_t> ports;
  for (const auto& entry : tcp_table()) {
    if (entry.state == 10) ports.push_back(entry.local_port);
  }
  return ports;
}

// Starts a shell script, kept in `folder`, that sets `limits` and then becomes ferry.
ferry_options limited_ferry(const temp_folder& folder, const std::string& limits) {
  std::string path = folder / "limited-ferry";
  EXPECT_TRUE(temp_files::write_file(path, "#!/bin/sh\n" + limits + "\nexec " FERRY_BINARY "\n"));
  chmod(path.c_str(), 0700);
  return {.binary = path};
}

}  // namespace

TEST(Intake, ReservesSlotTwoAndFreesIt) {
  ferry_process ferry({"LISTEN_PORT=8080"});
  ASSERT_TRUE(ferry.wait_listening(8080));
  int fd = connect_to("127.0.0.1", 8080);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(ferry.wait_output("thread reserved at", 1, 300ms)) << "a slot before a byte came";
  ASSERT_TRUE(send_all(fd, "G"));
  EXPECT_TRUE(ferry.wait_output("thread reserved at 2\n\nhere\n"));
  close(fd);
  EXPECT_TRUE(ferry.wait_output("thread 2 freed\n"));
  // Where it listens, in every log mode but off.
  EXPECT_TRUE(ferry.startup_line().starts_with(
      "ferry listening on [::]:8080 with 256 slots; LOG=trace ALLOW=127.0.0.0/8,::1 "
      "DENY_TO=0.0.0.0/8,127.0.0.0/8,169.254.0.0/16,224.0.0.0/3,self,::,::1,fe80::/10,ff00::/8 "))
      << ferry.startup_line();
  EXPECT_TRUE(ferry.startup_line().ends_with(
      " MAX_WAITING=10000 MAX_WAITING_PER_CLIENT=1000 STOP_TIMEOUT=30 AUTH=off ALLOW_HOSTS=none "
      "DENY_HOSTS=none TUNNEL_CHECK=off METRICS=off VIA_NAME=off PARENT=none SERVER_POOL=1000 "
      "(trace mode; LOG=access logs one line per request)"))
      << ferry.startup_line();
}

// Where the kernel has no IPv6, ferry says so once and listens on IPv4. A
// seccomp filter fails socket(AF_INET6, ...) as such a kernel does.
TEST(Intake, WithoutIpv6ListensOnIpv4) {
  const std::string without_ipv6 = R"(
import ctypes, os, struct, sys
op = lambda code, k, jt=0, jf=0: struct.pack("HBBI", code, jt, jf, k)
program = b"".join([
    op(0x20, 4), op(0x15, 0xC000003E, 0, 5),  # x86_64, or allow
    op(0x20, 0), op(0x15, 41, 0, 3),  # socket(), or allow
    op(0x20, 16), op(0x15, 10, 0, 1),  # AF_INET6, or allow
    op(0x06, 0x50000 | 97), op(0x06, 0x7FFF0000)])  # EAFNOSUPPORT; allow
filters = ctypes.create_string_buffer(program)
libc = ctypes.CDLL(None, use_errno=True)
# No new privileges, then the filter.
if libc.prctl(38, 1, 0, 0, 0) or libc.prctl(
        22, 2, struct.pack("HxxxxxxQ", len(program) // 8, ctypes.addressof(filters)), 0, 0):
    sys.exit(os.strerror(ctypes.get_errno()))
os.execv(sys.argv[1], sys.argv[1:])
)";
  set_hosts("127.0.0.1 origin.test\n");
  scripted_origin origin("127.0.0.1", answer_and_drain(origin_answer), 4);
  ferry_process ferry({"LISTEN_PORT=8080"}, {.prefix = {"python3", "-c", without_ipv6}});
  ASSERT_TRUE(ferry.wait_listening(8080)) << ferry.errors();
  EXPECT_TRUE(ferry.wait_errors("instead\n"));
  EXPECT_EQ(ferry.errors(),
            "ferry: IPv6 is not available (Address family not supported by protocol); "
            "listening on 0.0.0.0 instead\n");
  EXPECT_TRUE(ferry.startup_line().starts_with("ferry listening on 0.0.0.0:8080 "))
      << ferry.startup_line();
  EXPECT_EQ(exchange(to_origin).data, relayed(origin_answer));
  EXPECT_EQ(connect_to("::1", 8080), -1);
}

// A failed bind names the address and port, with advice that fits the error.
TEST(Intake, FailedBindSaysWhereAndWhatToChange) {
  int taken = listen_on("0.0.0.0", 8080);
  ASSERT_GE(taken, 0);
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "bind: Address already in use\nferry cannot listen on [::]:8080\n" + bind_hint},
      {{"LISTEN_ADDR=203.0.113.9"},
       "bind: Cannot assign requested address\nferry cannot listen on 203.0.113.9:8080\n"
       "203.0.113.9 is not an address of this machine: try another with `LISTEN_ADDR' env "
       "variable\n"}};
  for (const auto& [environment, expected] : cases) {
    ferry_process ferry(environment);
    EXPECT_EQ(ferry.wait_exit(), 129);
    EXPECT_EQ(ferry.errors(), expected);
    EXPECT_EQ(ferry.output(), "");
  }
  close(taken);
}

TEST(Intake, RefusesBadSettingsBeforeBinding) {
  // Holding the port shows that ferry stops before it even binds.
  int taken = listen_on("0.0.0.0", 8086);
  ASSERT_GE(taken, 0);
  // One or two values a setting: the parsers' own tests cover the spellings.
  const std::pair<std::string, std::string> cases[] = {
      {"BACKLOG", "-1"},       {"BACKLOG", "2147483646"},      {"BACKLOG", "0"},
      {"LISTEN_PORT", "73617"}, {"LISTEN_PORT", "abc"},        {"CON_TIMEOUT", "ten"},
      {"ALLOW", "10.1.2.3/8"}, {"ALLOW", "10.0.0.1\n"},        {"LISTEN_ADDR", "0x7f000001"},
      {"DENY_TO", "all"},      {"CONNECT_PORTS", "9100-9000"}, {"HEAD_TIMEOUT", "65536"},
      {"IDLE_TIMEOUT", "30s"}};
  for (const auto& [name, value] : cases) {
    ferry_process ferry({"LISTEN_PORT=8086", name + "=" + value});
    EXPECT_EQ(ferry.wait_exit(), 255) << value;
    std::string errors = ferry.errors();
    EXPECT_EQ(count_of(errors, "\n"), 1) << errors;
    EXPECT_TRUE(errors.ends_with('\n')) << errors;
    EXPECT_EQ(errors.find(name + "="), 0u) << errors;
    EXPECT_NE(errors.find(value.substr(0, value.find('\n'))), std::string::npos) << errors;
    EXPECT_EQ(ferry.output(), "");
  }
  close(taken);
}

// A connection that finds every slot taken waits for the next free one, in
// the order it came; "thread quee is full" is written once for each.
TEST(Intake, SurplusWaitsForAFreedSlotInOrder) {
  ferry_process ferry({"LISTEN_PORT=8082", "BACKLOG=2"});
  ASSERT_TRUE(ferry.wait_listening(8082));
  int descriptors = ferry.open_descriptors();
  int threads = ferry.thread_count();

  client first(8082);
  ASSERT_TRUE(ferry.wait_output(reserved(2)));
  client second(8082);
  ASSERT_TRUE(ferry.wait_output(reserved_at(3)));
  client surplus(8082), later_surplus(8082);
  ASSERT_TRUE(ferry.wait_errors(queue_full, 2));
  EXPECT_FALSE(has_input(surplus.fd()));

  second.reset();
  ASSERT_TRUE(ferry.wait_output(freed(3)));
  EXPECT_TRUE(ferry.wait_output(reserved_at(3), 2));
  first.reset();
  EXPECT_TRUE(ferry.wait_output(reserved_at(2), 2));
  // The first surplus took slot 3: its close frees that one.
  surplus.reset();
  EXPECT_TRUE(ferry.wait_output(freed(3), 2));
  later_surplus.reset();
  EXPECT_TRUE(ferry.wait_output(freed(2), 2));
  std::string output = ferry.output();
  EXPECT_EQ(count_of(output, "thread reserved at"), 4) << output;
  EXPECT_TRUE(ferry.wait_counts(descriptors, threads));
  EXPECT_EQ(ferry.error_count(queue_full), 2);
}

// While a slot is free some thread waits on the room: with every thread
// that waited a moment before now busy, a new client is still served at once.
TEST(Intake, ServesAReadyClientWhileEveryOtherThreadIsBusy) {
  ferry_process ferry({"LISTEN_PORT=8095", "BACKLOG=3"});
  ASSERT_TRUE(ferry.wait_listening(8095));
  client first(8095), second(8095);
  ASSERT_TRUE(ferry.wait_output(reserved_at(3)));
  reply got = exchange_and_end("GET / HTTP/1.1\r\n\r\n", 2s, 8095);
  EXPECT_EQ(got.data.rfind("HTTP/1.1 400 ", 0), 0u) << got.data;
  EXPECT_TRUE(ferry.wait_output(reserved_at(4)));
}

// Past the 1024 connections that may wait, a connection is told to come back.
TEST(Intake, PastTheWaitingBoundComesA503) {
  ferry_process ferry({"LISTEN_PORT=8087", "BACKLOG=1"}, {.keep_trace = false});
  ASSERT_TRUE(ferry.wait_listening(8087));
  std::vector<std::unique_ptr<client>> waiting;
  for (int i = 0; i < 1 + 1024; ++i) waiting.push_back(std::make_unique<client>(8087));
  ASSERT_TRUE(ferry.wait_errors(queue_full, 1024, 30s));
  client turned_away(8087);
  reply got = read_reply(turned_away.fd(), 10s);
  EXPECT_TRUE(got.ended());
  EXPECT_TRUE(got.data.starts_with("HTTP/1.1 503 Service Unavailable\r\n")) << got.data;
  EXPECT_NE(got.data.find("\r\nRetry-After: 1\r\n"), std::string::npos) << got.data;
  for (auto& connection : waiting) EXPECT_FALSE(has_input(connection->fd()));
}

// A request thread that ends at once must leave its slot free: a late store
// of its handle would show up as slot 3 or a full table. The slot is cleared
// after the "freed" line, so only the thread's end shows that it is free.
TEST(Intake, ConnectionsOneAfterAnotherAllGetSlotTwo) {
  ferry_process ferry({"LISTEN_PORT=8084", "BACKLOG=2"});
  ASSERT_TRUE(ferry.wait_listening(8084));
  int descriptors = ferry.open_descriptors();
  int threads = ferry.thread_count();
  constexpr int rounds = 300;
  for (int i = 1; i <= rounds; ++i) {
    {
      client brief(8084);
      ASSERT_GE(brief.fd(), 0);
    }
    ASSERT_TRUE(ferry.wait_output(freed(2), i)) << "round " << i;
    ASSERT_TRUE(wait_threads_waiting(ferry.pid())) << "round " << i;
  }
  std::string output = ferry.output();
  EXPECT_EQ(count_of(output, reserved(2)), rounds);
  EXPECT_EQ(output.find("thread reserved at 3"), std::string::npos);
  EXPECT_EQ(output.find("thread 3 freed"), std::string::npos);
  EXPECT_EQ(ferry.errors().find(queue_full), std::string::npos);
  EXPECT_TRUE(ferry.wait_counts(descriptors, threads));
}

TEST(Intake, PortZeroIsChosenBySystem) {
  ferry_process ferry({"LISTEN_PORT=0"});
  std::vector<std::uint16_t> ports;
  for (int i = 0; i < 1000 && ports.empty(); ++i) {
    ports = listening_ports();
    if (ports.empty()) usleep(5000);
  }
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_NE(ports[0], 0);
  EXPECT_NE(ports[0], 8080);
  client served(ports[0]);
  EXPECT_TRUE(ferry.wait_output(reserved(2)));
}

// Lowers the descriptor limit of the running ferry so that a new connection
// cannot be accepted until a request thread gives its one back: it is told
// to come back, and served once one is back.
TEST(Intake, KeepsServingAfterRunningOutOfDescriptors) {
  ferry_process ferry({"LISTEN_PORT=8085", "BACKLOG=4"});
  ASSERT_TRUE(ferry.wait_listening(8085));
  int descriptors = ferry.open_descriptors();
  int threads = ferry.thread_count();
  constexpr int room = 2;
  int limit = descriptor_limit_with_room(ferry.pid(), room);
  rlimit lowered{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
  ASSERT_EQ(prlimit(ferry.pid(), RLIMIT_NOFILE, &lowered, nullptr), 0);

  std::vector<std::unique_ptr<client>> held;
  for (int i = 0; i < room; ++i) {
    held.push_back(std::make_unique<client>(8085));
    ASSERT_TRUE(ferry.wait_output(reserved_at(2 + i)));
  }
  client turned_away(8085);
  ASSERT_GE(turned_away.fd(), 0);
  EXPECT_TRUE(ferry.wait_errors("accept: Too many open files\n"));
  reply got = read_reply(turned_away.fd());
  EXPECT_TRUE(got.data.starts_with("HTTP/1.1 503 Service Unavailable\r\n")) << got.data;
  EXPECT_TRUE(got.ended());

  // The next one may be taken before slot 2 is cleared; a spare slot serves it then.
  held.front()->reset();
  EXPECT_TRUE(ferry.wait_output(freed(2)));
  client waiting(8085);
  EXPECT_TRUE(ferry.wait_output("thread reserved at", room + 1));
  EXPECT_EQ(ferry.wait_exit(0ms), -1);

  held.clear();
  waiting.reset();
  EXPECT_TRUE(ferry.wait_output(" freed\n", room + 1));
  EXPECT_TRUE(ferry.wait_counts(descriptors, threads));
  EXPECT_EQ(ferry.errors().find(queue_full), std::string::npos);
}

// A descriptor limit too small for BACKLOG and MAX_WAITING is named at start-up.
TEST(Intake, NamesATooSmallDescriptorLimit) {
  temp_folder folder;
  ferry_options limited = limited_ferry(folder, "ulimit -n 64");
  limited.keep_trace = false;
  ferry_process ferry({"LISTEN_PORT=8094"}, limited);
  ASSERT_TRUE(ferry.wait_listening(8094));
  EXPECT_EQ(ferry.errors(),
            "ferry: the descriptor limit of 64 holds about 48 connections; BACKLOG=256 and "
            "MAX_WAITING=10000 need 10528 descriptors\n");
}

// Limits on address space cannot be combined with sanitizer shadow memory.
TEST(Intake, StartUpFailuresEndWithStatus255) {
  if (sanitized) GTEST_SKIP() << "address space limits break sanitizer builds";
  temp_folder folder;
  {
    // A 4 GiB default stack cannot fit in 1 GiB of address space.
    ferry_process ferry({"LISTEN_PORT=8087"},
                        limited_ferry(folder, "ulimit -v 1048576 && ulimit -s 4194304 || exit 3"));
    EXPECT_EQ(ferry.wait_exit(), 255);
    ASSERT_TRUE(ferry.wait_errors("\n"));
    EXPECT_EQ(ferry.errors().rfind("can't create listen thread: ", 0), 0u) << ferry.errors();
    EXPECT_EQ(ferry.output(), "");
  }
  // A valid BACKLOG whose 2 GiB table cannot be allocated.
  ferry_process ferry({"LISTEN_PORT=8087", "BACKLOG=2147483645"},
                      limited_ferry(folder, "ulimit -v 1048576 || exit 3"));
  EXPECT_EQ(ferry.wait_exit(), 255);
  ASSERT_TRUE(ferry.wait_errors("\n"));
  std::string errors = ferry.errors();
  EXPECT_EQ(count_of(errors, "\n"), 1) << errors;
  EXPECT_NE(errors.find("BACKLOG"), std::string::npos) << errors;
  EXPECT_NE(errors.find("2147483645"), std::string::npos) << errors;
  EXPECT_EQ(ferry.output(), "");
}

// A pids cgroup around one process, as a service manager or container sets
// one; empty when this machine has no writable pids controller.
class pids_cgroup {
 public:
  explicit pids_cgroup(pid_t pid) {
    for (const char* root : {"/sys/fs/cgroup/pids", "/sys/fs/cgroup/unified", "/sys/fs/cgroup"}) {
      std::string folder = std::string(root) + "/ferry-test-" + std::to_string(getpid());
      if (mkdir(folder.c_str(), 0755) != 0) continue;
      root_ = root;
      folder_ = folder;
      if (temp_files::write_file(folder_ + "/cgroup.procs", std::to_string(pid)) &&
          access((folder_ + "/pids.max").c_str(), W_OK) == 0) {
        return;
      }
      release();
    }
  }
  pids_cgroup(const pids_cgroup&) = delete;
  pids_cgroup& operator=(const pids_cgroup&) = delete;
  ~pids_cgroup() { release(); }
  bool usable() const { return !folder_.empty(); }
  bool set_max(const std::string& value) {
    return temp_files::write_file(folder_ + "/pids.max", value);
  }

 private:
  void release() {
    if (folder_.empty()) return;
    // Whatever is still inside goes back to the root, so the folder can go.
    std::istringstream procs(temp_files::read_file(folder_ + "/cgroup.procs"));
    for (std::string pid; std::getline(procs, pid);) {
      temp_files::write_file(root_ + "/cgroup.procs", pid);
    }
    rmdir(folder_.c_str());
    folder_.clear();
  }
  std::string root_;
  std::string folder_;
};

TEST(Intake, RequestThreadThatCannotStartRefusesOnlyItsConnection) {
  ferry_process ferry({"LISTEN_PORT=8088", "BACKLOG=4"});
  ASSERT_TRUE(ferry.wait_listening(8088));
  pids_cgroup limit(ferry.pid());
  if (!limit.usable()) GTEST_SKIP() << "no writable pids cgroup here";
  int threads = ferry.thread_count();
  ASSERT_TRUE(limit.set_max(std::to_string(threads)));

  for (int round = 0; round < 3; ++round) {
    client refused(8088);
    EXPECT_TRUE(refused.sees_close());
  }
  EXPECT_TRUE(ferry.wait_errors("can't create request thread", 3));
  EXPECT_TRUE(ferry.running());
  EXPECT_EQ(count_of(ferry.output(), " freed\n"), 0);

  // Once the pressure is gone, the same slot serves again.
  ASSERT_TRUE(limit.set_max("max"));
  reply served = exchange_and_end("GET / HTTP/1.1\r\n\r\n", 10s, 8088);
  EXPECT_TRUE(ferry.wait_output(reserved_at(2), 4));
  EXPECT_TRUE(ferry.wait_output(freed(2)));
  EXPECT_EQ(served.data.rfind("HTTP/1.1 400 ", 0), 0u) << served.data;
}

TEST(Intake, RestartsOnTheSamePortAtOnce) {
  {
    ferry_process first({"LISTEN_PORT=8089"});
    ASSERT_TRUE(first.wait_listening(8089));
    // ferry closes first, so its side of the connection is left in TIME_WAIT.
    EXPECT_FALSE(exchange("GET / HTTP/1.1\r\n\r\n", 10s, 8089).data.empty());
    EXPECT_TRUE(first.wait_output(freed(2)));
  }
  auto closing = [](const tcp_entry& entry) {
    return entry.local_port == 8089 && entry.state == 6;
  };
  std::vector<tcp_entry> table = tcp_table();
  ASSERT_TRUE(std::any_of(table.begin(), table.end(), closing));
  ferry_process second({"LISTEN_PORT=8089"});
  EXPECT_TRUE(second.wait_listening(8089, 1s)) << second.errors();
  // A live listener still holds its port.
  ferry_process third({"LISTEN_PORT=8089"});
  EXPECT_EQ(third.wait_exit(), 129);
  EXPECT_TRUE(third.wait_errors(bind_hint));
}

TEST(Intake, ClientsOutsideAllowAreRefusedWithoutASlot) {
  add_local_address("10.9.9.2");
  set_hosts("127.0.0.1 origin.test\n");
  scripted_origin origin("127.0.0.1", answer_and_drain(origin_answer), 4);
  // The one slot is held, so an outside client that took a slot would find the table full.
  ferry_process ferry({"LISTEN_PORT=8090", "BACKLOG=1"});
  ASSERT_TRUE(ferry.wait_listening(8090));
  const std::string request_line = to_origin.substr(0, to_origin.size() - 2);
  client inside(8090, request_line);
  ASSERT_TRUE(ferry.wait_output(reserved(2)));
  const std::string refusal = ferry_answer(
      403, "Forbidden", "this proxy serves only the clients that its ALLOW setting names");
  for (int i = 1; i <= 3; ++i) {
    reply got = exchange_from("10.9.9.2", to_origin, 10s, 8090);
    EXPECT_EQ(got.data, refusal);
    EXPECT_TRUE(got.ended());
    EXPECT_TRUE(ferry.wait_errors("client 10.9.9.2 refused: not in ALLOW\n", i));
  }
  ASSERT_TRUE(send_all(inside.fd(), "\r\n"));
  EXPECT_EQ(read_reply(inside.fd()).data, relayed(origin_answer));
  EXPECT_TRUE(ferry.wait_output(freed(2)));
  EXPECT_EQ(count_of(ferry.output(), "thread reserved at"), 1);
  EXPECT_EQ(ferry.error_count(queue_full), 0);
}

// HEAD_TIMEOUT bounds the whole head: a silent client is closed without ever
// taking a slot, a partial head gets 408 even while bytes keep coming, and
// every slot comes back.
TEST(Intake, HeadTimeoutFreesEverySlot) {
  set_hosts("127.0.0.1 origin.test\n");
  scripted_origin origin("127.0.0.1", answer_and_drain(origin_answer), 4);
  ferry_process ferry({"LISTEN_PORT=8091", "BACKLOG=30", "HEAD_TIMEOUT=1"});
  ASSERT_TRUE(ferry.wait_listening(8091));
  int descriptors = ferry.open_descriptors(), threads = ferry.thread_count();
  std::vector<std::unique_ptr<client>> held;  // in turn silent, partial, trickling
  for (int i = 0; i < 30; ++i) {
    held.push_back(
        std::make_unique<client>(8091, i % 3 == 0 ? "" : "GET http://origin.test/ HTTP/1.1\r\n"));
  }
  // Slot 21 taken means that the 20 that sent bytes were held at once.
  ASSERT_TRUE(ferry.wait_output(reserved_at(21)));
  for (int tick = 0; tick < 15; ++tick) {
    std::this_thread::sleep_for(200ms);
    for (int i = 2; i < 30; i += 3) {
      if (!has_input(held[i]->fd())) send_all(held[i]->fd(), "X");
    }
  }
  const std::string timed_out =
      ferry_answer(408, "Request Timeout", "request head not complete within HEAD_TIMEOUT seconds");
  for (int i = 0; i < 30; ++i) {
    if (i % 3 == 2) {
      EXPECT_TRUE(has_input(held[i]->fd())) << "unanswered while trickling";
    }
    reply got = read_reply(held[i]->fd());
    EXPECT_EQ(got.data, i % 3 == 0 ? "" : timed_out) << i;
    EXPECT_EQ(got.end, ending::closed) << i;
  }
  EXPECT_TRUE(ferry.wait_output(" freed\n", 20));
  EXPECT_EQ(ferry.output().find(reserved_at(22)), std::string::npos);
  held.clear();
  EXPECT_EQ(exchange(to_origin, 10s, 8091).data, relayed(origin_answer));
  EXPECT_TRUE(ferry.wait_counts(descriptors, threads));
  EXPECT_EQ(ferry.error_count(queue_full), 0);
}

// A pipelined request's HEAD_TIMEOUT counts from its turn: behind an answer
// slower than the limit, the rest of its head still gets it served.
TEST(Intake, PipelinedHeadIsTimedFromItsTurn) {
  set_hosts("127.0.0.1 origin.test\n");
  auto slow_then_fast = [](int fd) {
    for (std::string body : {"slow!", "fast!"}) {
      read_head(fd);
      if (body == "slow!") std::this_thread::sleep_for(1500ms);
      send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n" + body);
    }
    return std::string();
  };
  scripted_origin origin("127.0.0.1", slow_then_fast, 1);
  ferry_process ferry({"LISTEN_PORT=8093", "HEAD_TIMEOUT=1", "KEEPALIVE_TIMEOUT=5"});
  ASSERT_TRUE(ferry.wait_listening(8093));
  const std::string get = "GET http://origin.test/ HTTP/1.1\r\nHost: origin.test\r\n";
  int fd = open_request(get + "\r\n" + get, 8093);
  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
  EXPECT_EQ(read_up_to(fd, answer.size() + 5, 5s), answer + "slow!");
  send_all(fd, "\r\n");
  EXPECT_EQ(read_up_to(fd, answer.size() + 5, 3s), answer + "fast!");
  close(fd);
}

// Idle connections cost no thread and no slot: 2,000 kept ones, 2,000 silent
// new ones and 500 quiet tunnels wait while BACKLOG=30 still serves a new
// client at once; each tunnel carries bytes both ways when it wakes, and the
// time limits close the rest.
TEST(Intake, IdleConnectionsWaitWithoutThreadsOrSlots) {
  rlimit most{};
  getrlimit(RLIMIT_NOFILE, &most);
  most.rlim_cur = most.rlim_max;
  setrlimit(RLIMIT_NOFILE, &most);
  temp_folder folder;
  background_program echo(
      {"python3", "-c",
       "import asyncio\n"
       "async def echo(r, w):\n"
       "    while data := await r.read(65536):\n"
       "        if data.startswith(b'late'): await asyncio.sleep(0.5)\n"
       "        w.write(data); await w.drain()\n"
       "    w.close()\n"
       "async def main():\n"
       "    server = await asyncio.start_server(echo, '127.0.0.3', 443, backlog=1024)\n"
       "    await server.serve_forever()\n"
       "asyncio.run(main())\n"},
      folder / "echo.log");
  int probe = -1;
  for (int tries = 0; tries < 500 && (probe = connect_to("127.0.0.3", 443)) < 0; ++tries) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_GE(probe, 0) << "the echo server did not start";
  close(probe);
  set_hosts("127.0.0.1 origin.test\n");
  // The origin closes after each answer, so ferry keeps no server connection.
  scripted_origin origin(
      "127.0.0.1",
      answer_and_drain("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"), 8);
  ferry_process ferry({"LISTEN_PORT=8092", "BACKLOG=30", "KEEPALIVE_TIMEOUT=4", "HEAD_TIMEOUT=4",
                       "MAX_WAITING_PER_CLIENT=1000000"},
                      {.keep_trace = false});
  ASSERT_TRUE(ferry.wait_listening(8092));
  const int idle_descriptors = ferry.open_descriptors(), idle_threads = ferry.thread_count();
  const std::string kept_answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  std::vector<std::unique_ptr<client>> kept, silent, tunnels;
  // Sanitized builds are five times slower at the same count.
  const int idle = sanitized ? 400 : 2000, quiet_tunnels = sanitized ? 100 : 500;
  for (int i = 0; i < idle; ++i) {
    kept.push_back(std::make_unique<client>(8092, to_origin));
    silent.push_back(std::make_unique<client>(8092, ""));
    ASSERT_EQ(read_up_to(kept.back()->fd(), kept_answer.size()), kept_answer) << i;
  }
  const std::string established = "HTTP/1.1 200 Connection established\r\n\r\n";
  for (int i = 0; i < quiet_tunnels; ++i) {
    tunnels.push_back(std::make_unique<client>(8092, "CONNECT 127.0.0.3:443 HTTP/1.1\r\n\r\nx"));
    ASSERT_EQ(read_up_to(tunnels.back()->fd(), established.size() + 1), established + "x") << i;
  }
  // Quiet tunnels give their threads back within a moment.
  EXPECT_TRUE(ferry.wait_counts(1 << 20, idle_threads + 4, 5s)) << ferry.thread_count();
  EXPECT_EQ(exchange("GET http://origin.test/ HTTP/1.1\r\nConnection: close\r\n\r\n", 2s, 8092).data,
            "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  // All wake at once and share the 30 slots: first by the server's late
  // answer, which comes once they are quiet again, then by the client.
  for (const char* word : {"late", "ping"}) {
    for (std::size_t i = 0; i < tunnels.size(); ++i) {
      ASSERT_TRUE(send_all(tunnels[i]->fd(), word + std::to_string(i)));
    }
    for (std::size_t i = 0; i < tunnels.size(); ++i) {
      EXPECT_EQ(read_up_to(tunnels[i]->fd(), 4 + std::to_string(i).size()), word + std::to_string(i));
    }
  }
  // KEEPALIVE_TIMEOUT and HEAD_TIMEOUT close the kept and silent ones; the tunnels stay.
  for (auto* group : {&kept, &silent}) {
    for (auto& waiting : *group) EXPECT_TRUE(waiting->sees_close());
  }
  EXPECT_TRUE(ferry.wait_counts(idle_descriptors + 2 * quiet_tunnels, idle_threads + 4));
}

// MAX_WAITING bounds the waiting room, and MAX_WAITING_PER_CLIENT one
// address's share of it: the oldest kept connection (of that address) makes
// room for a new one; with none kept, a new one is told to come back. Past
// one address's share, another address still gets in.
TEST(Intake, FullWaitingRoomClosesTheOldestKeptConnectionFirst) {
  set_hosts("127.0.0.1 origin.test\n");
  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
  scripted_origin origin("127.0.0.1", answer_and_drain(answer), 4);
  for (const char* bound : {"MAX_WAITING=2", "MAX_WAITING_PER_CLIENT=2"}) {
    SCOPED_TRACE(bound);
    ferry_process ferry({"LISTEN_PORT=8093", "KEEPALIVE_TIMEOUT=60", bound});
    ASSERT_TRUE(ferry.wait_listening(8093));
    const std::string kept_answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    client oldest(8093, to_origin);
    ASSERT_EQ(read_up_to(oldest.fd(), kept_answer.size()), kept_answer);
    client newer(8093, to_origin);
    ASSERT_EQ(read_up_to(newer.fd(), kept_answer.size()), kept_answer);
    ASSERT_TRUE(ferry.wait_output("connection kept\n", 2));
    client silent(8093, "");
    EXPECT_TRUE(oldest.sees_close());
    EXPECT_FALSE(has_input(newer.fd()));
    client second_silent(8093, "");
    EXPECT_TRUE(newer.sees_close());
    client turned_away(8093, "");
    reply got = read_reply(turned_away.fd());
    EXPECT_TRUE(got.data.starts_with("HTTP/1.1 503 Service Unavailable\r\n")) << got.data;
    EXPECT_NE(got.data.find("too many connections wait; try again"), std::string::npos);
    if (bound == std::string("MAX_WAITING=2")) continue;
    int other = connect_to("::1", 8093);
    ASSERT_GE(other, 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(has_input(other));
    close(other);
  }
}

TEST(Stop, RequestsInFlightFinishAndNewConnectionsAreRefused) {
  set_hosts("127.0.0.1 origin.test\n");
  const std::string slow_answer = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nslow\n";
  scripted_origin origin("127.0.0.1", [&](int fd) {
    std::string got = read_head(fd);
    std::this_thread::sleep_for(500ms);
    send_within(fd, slow_answer);
    shutdown(fd, SHUT_WR);
    return got + read_reply(fd).data;
  });
  ferry_process ferry({"LISTEN_PORT=8080", "LOG=access", "STOP_TIMEOUT=5"});
  ASSERT_TRUE(ferry.wait_listening(8080));
  auto began = system_clock::now();
  std::vector<std::pair<unique_fd, client_side>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(open_client());
    clients.back().second.sent = get_origin;
    send_all(clients.back().first.get(), get_origin);
  }
  ASSERT_TRUE(wait_until([&] { return origin.accepted() == 3; }));
  auto signalled = std::chrono::steady_clock::now();
  kill(ferry.pid(), SIGTERM);
  EXPECT_TRUE(wait_until([&] { return listening_port(ferry.pid()) == 0; }));
  EXPECT_EQ(connect_to("127.0.0.1", 8080), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  for (auto& [fd, client] : clients) {
    client.got = read_reply(fd.get(), 5s);
    EXPECT_EQ(client.got.data, relayed(slow_answer));
  }
  EXPECT_EQ(ferry.wait_exit(5s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s);
  std::vector<std::string> lines = split(ferry.output());
  ASSERT_EQ(lines.size(), clients.size());
  std::set<std::string> slots;
  for (auto& [fd, client] : clients) {
    auto line = std::find_if(lines.begin(), lines.end(), [&](const std::string& text) {
      return text.find(" " + client.address + " ") != std::string::npos;
    });
    ASSERT_NE(line, lines.end()) << client.address;
    std::string slot = split(*line, ' ').at(8);
    slots.insert(slot);
    expect_line(*line, {"", {}, "GET http://origin.test/x 200 " + slot + " done", 400}, client,
                began);
  }
  EXPECT_EQ(slots, (std::set<std::string>{"2", "3", "4"}));
}

// SIGHUP, SIGUSR1 and SIGUSR2 leave ferry serving, with a line each. On
// SIGTERM ferry says it stops; a connection without a whole head closes at
// once; a request that outlasts STOP_TIMEOUT (not CON_TIMEOUT) is cut and
// logged as stopped.
TEST(Stop, ClosesUnfinishedHeadsAtOnceAndCutsWhatOutlastsTheGrace) {
  set_hosts("127.0.0.1 origin.test\n");
  const std::string some = "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\nsome";
  scripted_origin slow("127.0.0.1", [&](int fd) {
    read_head(fd);
    send_within(fd, some);
    return read_reply(fd, 30s).data;
  });
  ferry_process ferry({"LISTEN_PORT=8080", "LOG=access", "CON_TIMEOUT=1", "STOP_TIMEOUT=2"});
  ASSERT_TRUE(ferry.wait_listening(8080));
  for (int signal_number : {SIGHUP, SIGUSR1, SIGUSR2}) {
    kill(ferry.pid(), signal_number);
    ASSERT_TRUE(ferry.wait_errors(sigabbrev_np(signal_number)));
  }
  EXPECT_EQ(ferry.errors(), "ferry: SIGHUP ignored\nferry: SIGUSR1 ignored\nferry: SIGUSR2 ignored\n");
  auto [download, download_client] = open_client();
  send_all(download.get(), get_origin);
  EXPECT_EQ(read_up_to(download.get(), relayed(some).size()), relayed(some));
  auto [idle, idle_client] = open_client();
  std::this_thread::sleep_for(300ms);  // taken by a request thread

  auto signalled = steady_clock::now();
  kill(ferry.pid(), SIGTERM);
  reply idle_got = read_reply(idle.get(), 5s);
  EXPECT_TRUE(idle_got.ended() && idle_got.data.empty());
  EXPECT_LT(steady_clock::now() - signalled, 500ms);
  EXPECT_TRUE(read_reply(download.get(), 5s).ended());
  EXPECT_GE(steady_clock::now() - signalled, 1900ms);
  EXPECT_EQ(ferry.wait_exit(5s), 0);
  EXPECT_TRUE(ferry.errors().ends_with(
      "ferry: stopping; 1 request in flight, up to 2 s to finish\n"))
      << ferry.errors();
  std::vector<std::string> lines = split(ferry.output());
  ASSERT_EQ(lines.size(), 2u) << ferry.output();
  std::sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
    return a.find(" GET ") < b.find(" GET ");
  });
  EXPECT_NE(lines[0].find(" GET http://origin.test/x 200 "), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(" - - - 0 0 "), std::string::npos) << lines[1];
  for (const auto& line : lines) EXPECT_TRUE(line.ends_with(" stopped -")) << line;
}

TEST(Stop, SecondSignalEndsAtOnce) {
  set_hosts("127.0.0.1 origin.test\n");
  scripted_origin silent("127.0.0.1", [](int fd) { return read_reply(fd, 30s).data; });
  ferry_process ferry({"LISTEN_PORT=8080", "LOG=access", "STOP_TIMEOUT=30"});
  ASSERT_TRUE(ferry.wait_listening(8080));
  unique_fd client(open_request(get_origin));
  ASSERT_TRUE(wait_until([&] { return silent.accepted() == 1; }));
  kill(ferry.pid(), SIGTERM);
  // The first signal waits for the request.
  EXPECT_EQ(ferry.wait_exit(300ms), -1);
  auto second = std::chrono::steady_clock::now();
  kill(ferry.pid(), SIGTERM);
  EXPECT_EQ(ferry.wait_exit(5s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - second, 2s);
}

TEST(Stop, TraceToAFileIsWholeAfterTheStop) {
  set_hosts("127.0.0.1 origin.test\n");
  scripted_origin origin("127.0.0.1", answer_and_drain(short_answer));
  temp_files::temp_folder folder;
  // A plain file, not a terminal: the trace stays in ferry's buffer until the stop.
  ferry_process ferry({"LISTEN_PORT=8080"},
                      {.prefix = {"sh", "-c", "exec \"$0\" >" + folder / "trace"}});
  ASSERT_TRUE(ferry.wait_listening(8080));
  EXPECT_EQ(exchange(get_origin).data, relayed(short_answer));
  kill(ferry.pid(), SIGINT);
  EXPECT_EQ(ferry.wait_exit(), 0);
  std::string trace = temp_files::read_file(folder / "trace");
  EXPECT_TRUE(trace.starts_with("thread reserved at 2\n")) << trace;
  EXPECT_TRUE(trace.ends_with("thread 2 freed\n")) << trace;
}
