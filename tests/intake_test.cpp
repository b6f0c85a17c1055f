// Start-up and connection intake, through the real process.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "harness.h"

using namespace harness;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

const std::string bind_hint = "try another port with `LISTEN_PORT' env variable\n";
const std::string queue_full = "thread quee is full";

std::string reserved_at(int slot) { return "thread reserved at " + std::to_string(slot) + "\n\n"; }
// Whole only while no other request thread can print between its lines.
std::string reserved(int slot) { return reserved_at(slot) + "here\n"; }
std::string freed(int slot) { return "thread " + std::to_string(slot) + " freed\n"; }

int count_of(const std::string& haystack, const std::string& needle) {
  int count = 0;
  for (auto at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// A client connection that is closed when it goes out of scope.
class client {
 public:
  explicit client(std::uint16_t port) : fd_(connect_to("127.0.0.1", port)) {}
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
    bool closed = false;
    std::string data = read_until_close(fd_, 5s, &closed);
    return closed && data.empty();
  }

 private:
  int fd_;
};

// Ports of the sockets listening in this namespace, from /proc/net/tcp.
std::vector<std::uint16_t> listening_ports() {
  std::vector<std::uint16_t> ports;
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local_address, remote_address, state;
    fields >> slot >> local_address >> remote_address >> state;
    if (state != "0A") continue;
    auto colon = local_address.find(':');
    ports.push_back(
        static_cast<std::uint16_t>(std::stoul(local_address.substr(colon + 1), nullptr, 16)));
  }
  return ports;
}

// Open descriptor numbers of `pid`.
std::vector<int> descriptor_numbers(pid_t pid) {
  std::vector<int> numbers;
  DIR* folder = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (folder == nullptr) return numbers;
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] != '.') numbers.push_back(std::atoi(entry->d_name));
  }
  closedir(folder);
  return numbers;
}

// Polls more often than wait_counts, for loops that wait on every round.
bool wait_thread_count(ferry_process& ferry, int threads) {
  for (int i = 0; i < 10000; ++i) {
    if (ferry.thread_count() <= threads) return true;
    usleep(1000);
  }
  return false;
}

// A shell script that sets `limits` and then becomes ferry; removed on scope exit.
class limited_ferry {
 public:
  explicit limited_ferry(const std::string& limits) {
    char name[] = "/tmp/ferry-limited-XXXXXX";
    int fd = mkostemp(name, O_CLOEXEC);
    std::string script = "#!/bin/sh\n" + limits + "\nexec " FERRY_BINARY "\n";
    EXPECT_EQ(write(fd, script.data(), script.size()), static_cast<ssize_t>(script.size()));
    fchmod(fd, 0700);
    close(fd);
    path_ = name;
  }
  ~limited_ferry() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

TEST(Intake, ReservesSlotTwoAndFreesIt) {
  ferry_process ferry({"LISTEN_PORT=8080"});
  ASSERT_TRUE(ferry.wait_listening(8080));
  int fd = connect_to("127.0.0.1", 8080);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(ferry.wait_output("thread reserved at 2\n\nhere\n"));
  close(fd);
  EXPECT_TRUE(ferry.wait_output("thread 2 freed\n"));
}

TEST(Intake, PortInUseReportsBindAndEndsWithItsCode) {
  int taken = listen_on("0.0.0.0", 8080);
  ASSERT_GE(taken, 0);
  ferry_process ferry({});  // the default port
  EXPECT_EQ(ferry.wait_exit(), 129);
  ASSERT_TRUE(ferry.wait_errors(bind_hint));
  EXPECT_EQ(ferry.errors(), "bind: Address already in use\n" + bind_hint);
  EXPECT_EQ(ferry.output(), "");
  close(taken);
}

TEST(Intake, RefusesBacklogOutsideTheTableRange) {
  // Holding the port shows that ferry stops before it even binds.
  int taken = listen_on("0.0.0.0", 8086);
  ASSERT_GE(taken, 0);
  for (const std::string value : {"-1", "2147483646", "-9223372036854775808"}) {
    ferry_process ferry({"LISTEN_PORT=8086", "BACKLOG=" + value});
    EXPECT_EQ(ferry.wait_exit(), 255) << value;
    ASSERT_TRUE(ferry.wait_errors("\n")) << value;
    std::string errors = ferry.errors();
    EXPECT_EQ(count_of(errors, "\n"), 1) << errors;
    EXPECT_EQ(errors.back(), '\n') << errors;
    EXPECT_NE(errors.find("BACKLOG"), std::string::npos) << errors;
    EXPECT_NE(errors.find(value), std::string::npos) << errors;
    EXPECT_EQ(ferry.output(), "");
  }
  close(taken);
}

TEST(Intake, SlotsFillUpRefuseTheSurplusAndComeBack) {
  ferry_process ferry({"LISTEN_PORT=8082", "BACKLOG=2"});
  ASSERT_TRUE(ferry.wait_listening(8082));
  int descriptors = ferry.open_descriptors();
  int threads = ferry.thread_count();

  client first(8082);
  ASSERT_TRUE(ferry.wait_output(reserved(2)));
  client second(8082);
  ASSERT_TRUE(ferry.wait_output(reserved_at(3)));

  client surplus(8082);
  ASSERT_GE(surplus.fd(), 0);
  EXPECT_TRUE(ferry.wait_errors(queue_full));
  EXPECT_TRUE(surplus.sees_close());
  EXPECT_EQ(ferry.errors(), queue_full);

  first.reset();
  ASSERT_TRUE(ferry.wait_output(freed(2)));
  ASSERT_TRUE(wait_thread_count(ferry, threads + 1));
  client again(8082);
  EXPECT_TRUE(ferry.wait_output(reserved_at(2), 2));
  // Slot 3 is still held, so the table is full again.
  client another_surplus(8082);
  EXPECT_TRUE(ferry.wait_errors(queue_full, 2));
  EXPECT_TRUE(another_surplus.sees_close());

  second.reset();
  again.reset();
  EXPECT_TRUE(ferry.wait_output(freed(3)));
  EXPECT_TRUE(ferry.wait_output(freed(2), 2));
  std::string output = ferry.output();
  EXPECT_EQ(count_of(output, "thread reserved at"), 3) << output;
  EXPECT_EQ(count_of(output, " freed\n"), 3) << output;
  EXPECT_TRUE(ferry.wait_counts(descriptors, threads));
  std::string errors = ferry.errors();
  EXPECT_EQ(count_of(errors, queue_full), 2) << errors;
  EXPECT_EQ(errors.find(queue_full + "\n"), std::string::npos) << errors;
}

TEST(Intake, ZeroBacklogRefusesEveryConnection) {
  ferry_process ferry({"LISTEN_PORT=8083", "BACKLOG=0"});
  ASSERT_TRUE(ferry.wait_listening(8083));
  for (int i = 1; i <= 3; ++i) {
    client refused(8083);
    ASSERT_GE(refused.fd(), 0);
    EXPECT_TRUE(ferry.wait_errors(queue_full, i));
    EXPECT_TRUE(refused.sees_close());
  }
  EXPECT_EQ(ferry.errors(), queue_full + queue_full + queue_full);
  EXPECT_EQ(ferry.output(), "");
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
    ASSERT_TRUE(wait_thread_count(ferry, threads)) << "round " << i;
  }
  std::string output = ferry.output();
  EXPECT_EQ(count_of(output, reserved(2)), rounds);
  EXPECT_EQ(output.find("thread reserved at 3"), std::string::npos);
  EXPECT_EQ(output.find("thread 3 freed"), std::string::npos);
  EXPECT_EQ(ferry.errors().find(queue_full), std::string::npos);
  EXPECT_TRUE(ferry.wait_counts(descriptors, threads));
}

TEST(Intake, PortIsTheLowSixteenBitsOrChosenBySystem) {
  {
    ferry_process ferry({"LISTEN_PORT=73617"});  // 65536 + 8081
    ASSERT_TRUE(ferry.wait_listening(8081));
    EXPECT_EQ(listening_ports(), std::vector<std::uint16_t>{8081});
    client served(8081);
    EXPECT_TRUE(ferry.wait_output(reserved(2)));
  }
  ferry_process ferry({"LISTEN_PORT=abc"});
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

// Lowers the descriptor limit of the running ferry so that a waiting
// connection cannot be accepted until a request thread gives its one back.
TEST(Intake, KeepsServingAfterRunningOutOfDescriptors) {
  ferry_process ferry({"LISTEN_PORT=8085", "BACKLOG=4"});
  ASSERT_TRUE(ferry.wait_listening(8085));
  int descriptors = ferry.open_descriptors();
  int threads = ferry.thread_count();
  // Descriptors above the limit stay usable; only new ones must fit below it.
  std::vector<int> numbers = descriptor_numbers(ferry.pid());
  constexpr int room = 2;
  int limit = 0;
  for (int free_numbers = 0; free_numbers < room; ++limit) {
    if (std::find(numbers.begin(), numbers.end(), limit) == numbers.end()) ++free_numbers;
  }
  rlimit lowered{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
  ASSERT_EQ(prlimit(ferry.pid(), RLIMIT_NOFILE, &lowered, nullptr), 0);

  std::vector<std::unique_ptr<client>> held;
  for (int i = 0; i < room; ++i) {
    held.push_back(std::make_unique<client>(8085));
    ASSERT_TRUE(ferry.wait_output(reserved_at(2 + i)));
  }
  client waiting(8085);
  ASSERT_GE(waiting.fd(), 0);
  EXPECT_TRUE(ferry.wait_errors("accept: Too many open files\n"));

  // The waiting one may be taken before slot 2 is cleared; a spare slot serves it then.
  held.front()->reset();
  EXPECT_TRUE(ferry.wait_output(freed(2)));
  EXPECT_TRUE(ferry.wait_output("thread reserved at", room + 1));
  EXPECT_EQ(ferry.wait_exit(0ms), -1);

  held.clear();
  waiting.reset();
  EXPECT_TRUE(ferry.wait_output(" freed\n", room + 1));
  EXPECT_TRUE(ferry.wait_counts(descriptors, threads));
  EXPECT_EQ(ferry.errors().find(queue_full), std::string::npos);
}

// Limits on address space cannot be combined with sanitizer shadow memory.
TEST(Intake, StartUpFailuresEndWithStatus255) {
  if (sanitized) GTEST_SKIP() << "address space limits break sanitizer builds";
  {
    // A 4 GiB default stack cannot fit in 1 GiB of address space.
    limited_ferry limits("ulimit -v 1048576 && ulimit -s 4194304 || exit 3");
    ferry_process ferry({"LISTEN_PORT=8087"}, limits.path());
    EXPECT_EQ(ferry.wait_exit(), 255);
    ASSERT_TRUE(ferry.wait_errors("\n"));
    EXPECT_EQ(ferry.errors().rfind("can't create listen thread: ", 0), 0u) << ferry.errors();
    EXPECT_EQ(ferry.output(), "");
  }
  // A valid BACKLOG whose 16 GiB table cannot be allocated.
  limited_ferry limits("ulimit -v 1048576 || exit 3");
  ferry_process ferry({"LISTEN_PORT=8087", "BACKLOG=2147483645"}, limits.path());
  EXPECT_EQ(ferry.wait_exit(), 255);
  ASSERT_TRUE(ferry.wait_errors("\n"));
  std::string errors = ferry.errors();
  EXPECT_EQ(count_of(errors, "\n"), 1) << errors;
  EXPECT_NE(errors.find("BACKLOG"), std::string::npos) << errors;
  EXPECT_NE(errors.find("2147483645"), std::string::npos) << errors;
  EXPECT_EQ(ferry.output(), "");
}

TEST(Intake, RequestThreadThatCannotStartEndsTheService) {
  if (sanitized) GTEST_SKIP() << "address space limits break sanitizer builds";
  ferry_process ferry({"LISTEN_PORT=8088", "BACKLOG=4"});
  ASSERT_TRUE(ferry.wait_listening(8088));
  int threads = ferry.thread_count();
  {
    // Lets the listener set up its allocations while memory is plentiful.
    client warm_up(8088);
    ASSERT_TRUE(ferry.wait_output(reserved(2)));
  }
  ASSERT_TRUE(ferry.wait_output(freed(2)));
  ASSERT_TRUE(wait_thread_count(ferry, threads));

  // Leaves too little address space for a new 256 KiB request stack.
  std::ifstream status("/proc/" + std::to_string(ferry.pid()) + "/status");
  std::string line;
  rlim_t size = 0;
  while (std::getline(status, line)) {
    if (line.rfind("VmSize:", 0) == 0) size = std::strtoull(line.c_str() + 7, nullptr, 10) * 1024;
  }
  ASSERT_GT(size, 0u);
  rlimit lowered{size + 64 * 1024, size + 64 * 1024};
  ASSERT_EQ(prlimit(ferry.pid(), RLIMIT_AS, &lowered, nullptr), 0);

  // The first may still run on the stack its predecessor left behind.
  client first(8088);
  client second(8088);
  EXPECT_EQ(ferry.wait_exit(), 131);
  ASSERT_TRUE(ferry.wait_errors("can't create request thread"));
  std::string errors = ferry.errors();
  EXPECT_EQ(errors.substr(errors.size() - 27), "can't create request thread") << errors;
}
