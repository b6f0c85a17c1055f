// Faults beside ordinary requests: clients that leave early or stop reading,
// origins that refuse, drop, reset or hold, bursts that fill the slot table,
// and running out of descriptors. Every ordinary request must get its own
// answer; a refusal is retried only while a burst is on. Also a short run of
// the same under valgrind's memcheck. FERRY_FAULT_ROUNDS sets the scale.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "origin_servers.h"

using namespace reliability;

namespace {

const std::string partial_with_host = "GET http://sink.test/x HTTP/1.1\r\nHost: sink.test\r\nAcc";
const std::string partial_without_host = "GET http://sink.test/x HTTP/1.";

// The origins, and ferry in front of them with a short write timeout.
struct fault_rig : proxy_rig {
  explicit fault_rig(int backlog_slots, const std::vector<std::string>& prefix = {},
                     const std::string& binary = FERRY_BINARY)
      : proxy_rig({"LISTEN_PORT=8080", "BACKLOG=" + std::to_string(backlog_slots), "CON_TIMEOUT=2",
                   "IDLE_TIMEOUT=2", "KEEPALIVE_TIMEOUT=60"},
                  16, prefix, binary),
        backlog(backlog_slots) {}

  // Fault connections come faster than ferry's threads end them, and would
  // fill the table like a burst; each waits until most slots are free.
  void throttle() { ferry.wait_counts(1 << 20, idle_threads + backlog / 4); }

  int backlog;
};

void leave(int fd, bool abortive) {
  if (abortive) reset_on_close(fd);
  close(fd);
}

std::string leave_before_head(bool abortive) {
  int fd = connect_to("127.0.0.1", 8080);
  if (fd < 0) return "unconnected";
  leave(fd, abortive);
  return "ok";
}

// ferry reads on until the head ends; the client's going away ends it, and
// ferry answers 400 to a client that is gone.
std::string leave_mid_head(bool with_host, bool abortive) {
  int fd = open_request(with_host ? partial_with_host : partial_without_host);
  if (fd < 0) return "unconnected";
  leave(fd, abortive);
  return "ok";
}

// Reads `keep` bytes of a 1 MiB answer, checks them and goes away.
std::string leave_mid_answer(std::uint64_t id, std::size_t keep, bool abortive,
                             const burst_window* bursts, std::atomic<long>& retries) {
  const std::string expected = expected_answer(id, max_body);
  const std::string head = request_head("origin.test", gen_path(id, max_body), id);
  for (auto deadline = steady_clock::now() + 120s;;) {
    burst_window::mark start = bursts != nullptr ? bursts->now() : burst_window::mark{false, 0};
    int fd = open_request(head);
    if (fd < 0) return "unconnected";
    std::string got = read_up_to(fd, keep, 60s);
    leave(fd, abortive);
    if (got.empty() && bursts != nullptr && bursts->covers(start) &&
        steady_clock::now() < deadline) {
      ++retries;
      continue;
    }
    if (got.empty()) return "refused";
    if (expected.compare(0, got.size(), got) != 0) return "corrupted";
    return got.size() == keep ? "ok" : "truncated";
  }
}

// Asks for an answer without end, reads nothing until ferry has closed its
// end of the connection (its write wait ran out), then reads what ferry had
// sent: a correct part of the stream, ended well before the stream's end.
std::string stop_reading(std::uint64_t id, const burst_window* bursts, std::atomic<long>& retries) {
  const std::string head = request_head("origin.test", "/stream/" + std::to_string(id), id);
  for (auto deadline = steady_clock::now() + 120s;;) {
    burst_window::mark start = bursts != nullptr ? bursts->now() : burst_window::mark{false, 0};
    int fd = connect_to("127.0.0.1", 8080, 4096);
    if (fd < 0) return "unconnected";
    send_all(fd, head);
    std::uint16_t own_port = local_port(fd);
    auto ferry_side_open = [own_port] {
      for (const auto& entry : tcp_table()) {
        if (entry.local_port == 8080 && entry.remote_port == own_port && entry.state == 1)
          return true;
      }
      return false;
    };
    auto wait_end = steady_clock::now() + 60s;
    while (ferry_side_open() && steady_clock::now() < wait_end) std::this_thread::sleep_for(20ms);
    if (ferry_side_open()) {
      close(fd);
      return "never_ended";
    }
    reply got = read_reply(fd, 60s);
    close(fd);
    if (got.data.empty() && bursts != nullptr && bursts->covers(start) &&
        steady_clock::now() < deadline) {
      ++retries;
      continue;
    }
    if (got.end == ending::timed_out) return "timed_out";
    if (!is_stream_prefix(id, got.data)) return "corrupted";
    return got.data.size() < stream_length / 2 ? "ok" : "never_ended";
  }
}

// Origin faults; each has its one right outcome at the client.
std::string origin_fault(const std::string& kind, std::uint64_t id, const burst_window* bursts,
                         std::atomic<long>& retries) {
  if (kind == "refused") {
    std::string head = request_head("refused.test", gen_path(id, 10), id);
    std::string verdict = ask_through_bursts(head, host_failed, bursts, retries);
    return verdict;
  }
  if (kind == "drop") {  // closed without a byte: ferry answers in its place
    reply got = exchange(request_head("origin.test", "/drop/" + std::to_string(id), id));
    return judge(got, ferry_answer(502, "Bad Gateway", "no valid answer from host"));
  }
  std::size_t size = kind == "reset" ? 262144 : 3000;
  std::string head = request_head(
      "origin.test", "/" + kind + "/" + std::to_string(size) + "/" + std::to_string(id), id);
  std::string verdict = ask_through_bursts(head, expected_answer(id, size), bursts, retries);
  if (kind == "reset") return verdict == "truncated" ? "ok" : verdict;
  return verdict;
}

// Opens more connections than there are slots, each with the first byte of a
// head that never ends: the surplus waits for a slot instead of being closed. Returns how many ferry closed within a
// moment (none should be); closes them all and waits until their slots are
// free again.
long burst(fault_rig& rig, burst_window& bursts) {
  bursts.open();
  const int count = rig.backlog + 8;
  const long full_before = rig.ferry.error_count(queue_full);
  std::vector<pollfd> held;
  for (int i = 0; i < count; ++i) {
    held.push_back({connect_to("127.0.0.1", 8080), POLLIN, 0});
    send_all(held.back().fd, "G");
  }
  // Once the surplus waits for a slot, none may be closed for a while.
  EXPECT_TRUE(rig.ferry.wait_errors(queue_full, full_before + 8, 20s));
  poll(held.data(), held.size(), 300);
  long closed =
      std::count_if(held.begin(), held.end(), [](const pollfd& p) { return p.revents != 0; });
  std::vector<std::uint16_t> ports;
  for (auto& connection : held) {
    ports.push_back(local_port(connection.fd));
    close(connection.fd);
  }
  // Until ferry has accepted and closed every one of them (some still wait in
  // its listen queue) and their slots are free again, refusals are the burst's.
  auto ferry_holds_one = [&] {
    for (const auto& entry : tcp_table()) {
      // Established, close-wait, or still half-open: a connection whose last
      // handshake step found the listen queue full is only queued later.
      bool open = entry.state == 1 || entry.state == 8 || entry.state == 3;
      if (open && entry.local_port == 8080 &&
          std::find(ports.begin(), ports.end(), entry.remote_port) != ports.end()) {
        return true;
      }
    }
    return false;
  };
  for (auto deadline = steady_clock::now() + 30s;
       ferry_holds_one() && steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(10ms);
  }
  rig.ferry.wait_counts(1 << 20, rig.idle_threads + rig.backlog / 2);
  bursts.close();
  return closed;
}

}  // namespace

TEST(Faults, EveryKindBesideOrdinaryRequests) {
  const long rounds = knob("FERRY_FAULT_ROUNDS", 6);
  // A client sees its close just before ferry frees the slot, so under heavy
  // load finished requests hold slots for a moment; the table is large
  // enough that only the bursts can fill it.
  fault_rig rig(128);
  burst_window bursts;
  tally faults;
  std::atomic<long> retries{0};
  std::atomic<std::uint64_t> ids{3'000'000'000};
  auto start = steady_clock::now();
  ordinary_traffic ordinary(4, 1'000'000'000, &bursts);

  std::vector<std::thread> injectors;
  auto inject = [&](long times, auto fault) {
    // A built thread pushed: emplace_back draws a false array-bounds warning from g++ 12 -O3.
    injectors.push_back(std::thread([&, times, fault] {
      for (long round = 0; round < times; ++round) {
        rig.throttle();
        fault(round);
      }
    }));
  };
  inject(rounds * 3,
         [&](long r) { faults.add("leave_before_head:" + leave_before_head(r % 2 == 1)); });
  inject(rounds * 3,
         [&](long r) { faults.add("leave_mid_head:" + leave_mid_head(r % 2 == 0, r % 3 == 0)); });
  inject(rounds, [&](long r) {
    std::size_t keep = static_cast<std::size_t>(r * 104729 % 400000) + 1;
    faults.add("leave_mid_answer:" + leave_mid_answer(ids++, keep, r % 2 == 1, &bursts, retries));
  });
  for (int staller = 0; staller < 3; ++staller) {
    inject(rounds / 5 + 1,
           [&](long) { faults.add("stop_reading:" + stop_reading(ids++, &bursts, retries)); });
  }
  for (const char* kind : {"refused", "drop", "reset", "hold"}) {
    inject(rounds, [&, kind](long) {
      faults.add(std::string("origin_") + kind + ":" + origin_fault(kind, ids++, &bursts, retries));
    });
  }
  // Clients that keep their connection, among the faults and the bursts.
  for (int kept = 0; kept < 2; ++kept) {
    inject(rounds * 5, [&, client = std::make_shared<kept_client>()](long round) {
      std::string head = "GET http://sink.test/k" + std::to_string(round) +
                         " HTTP/1.1\r\nHost: sink.test\r\n\r\n";
      faults.add("kept_connection:" + judge(client->ask(head), sink_kept_relayed));
    });
  }
  long closed_in_bursts = 0, burst_count = std::max(2L, rounds / 5);
  for (long i = 0; i < burst_count; ++i) {
    std::this_thread::sleep_for(300ms);
    closed_in_bursts += burst(rig, bursts);
  }
  for (auto& injector : injectors) injector.join();
  ordinary.stop();
  const double elapsed = seconds_since(start);

  EXPECT_TRUE(rig.ferry.running());
  EXPECT_TRUE(rig.ferry.wait_counts(rig.idle_descriptors, rig.idle_threads));
  auto [unexpected, faults_failed] = faults.failed_verdicts();
  figures("faults")
      .add_ordinary(ordinary)
      .add("ordinary_refused_in_burst_retried", ordinary.retries())
      .add("faults", faults.total())
      .add("faults_failed", faults_failed)
      .add("fault_", faults)
      .add("fault_refused_in_burst_retried", retries.load())
      .add("bursts", burst_count)
      .add("burst_closed", closed_in_bursts)
      .add("queue_full_reports", rig.ferry.error_count(queue_full))
      .add("head_forward_failures", rig.ferry.error_count("error in data passing to server"))
      .add("origin_unanswered", rig.origin.count(unanswered))
      .add_process(rig.ferry, rig.idle_descriptors, rig.idle_threads)
      .add_decimal("elapsed_s", elapsed)
      .publish();

  EXPECT_GT(ordinary.outcomes().get("ok"), 0);
  EXPECT_EQ(ordinary.outcomes().unexpected(), "");
  EXPECT_EQ(unexpected, "");
  EXPECT_EQ(closed_in_bursts, 0);
  EXPECT_GE(rig.ferry.error_count(queue_full), burst_count * 8);
  EXPECT_EQ(rig.origin.count(mismatched), 0);
}

// Ordinary requests are told 503 while ferry has no descriptor to accept
// them with, and are served once descriptors free up. This runs as a phase
// of its own: while descriptors are short, a request may also get
// "connection to host failed" (no descriptor for the upstream socket); both
// are retried. Before and after, every request must succeed at once.
TEST(Faults, RecoversFromDescriptorExhaustion) {
  fault_rig rig(16);
  std::atomic<long> retries{0};
  auto ask = [&](std::uint64_t id) {
    reply got = exchange(request_head("origin.test", gen_path(id, 5000), id));
    if (got.data.starts_with("HTTP/1.1 503 ")) return std::string("told_503");
    return judge(got, expected_answer(id, 5000));
  };
  for (std::uint64_t id = 0; id < 20; ++id) ASSERT_EQ(ask(id), "ok");

  rlimit original{};
  ASSERT_EQ(prlimit(rig.ferry.pid(), RLIMIT_NOFILE, nullptr, &original), 0);
  constexpr int room = 8;
  int limit = descriptor_limit_with_room(rig.ferry.pid(), room);
  rlimit lowered{static_cast<rlim_t>(limit), original.rlim_max};
  ASSERT_EQ(prlimit(rig.ferry.pid(), RLIMIT_NOFILE, &lowered, nullptr), 0);
  std::vector<int> silent;
  for (int i = 0; i < room; ++i) silent.push_back(connect_to("127.0.0.1", 8080));
  tally waiting;
  std::vector<std::thread> clients;
  // Half the room each, so that a served one also finds its upstream socket.
  for (std::uint64_t id = 100; id < 100 + room / 2; ++id) {
    clients.emplace_back([&, id] {
      std::string verdict;
      for (auto deadline = steady_clock::now() + 120s; steady_clock::now() < deadline;) {
        verdict = ask(id);
        if (verdict != "host_failed" && verdict != "told_503" && !is_refusal(verdict)) break;
        ++retries;
      }
      waiting.add(verdict);
    });
  }
  EXPECT_TRUE(rig.ferry.wait_errors("accept: ", 1, 20s));
  std::this_thread::sleep_for(300ms);  // several failed accepts in a row
  EXPECT_TRUE(rig.ferry.running());
  for (int fd : silent) close(fd);
  for (auto& client : clients) client.join();
  ASSERT_EQ(prlimit(rig.ferry.pid(), RLIMIT_NOFILE, &original, nullptr), 0);
  for (std::uint64_t id = 200; id < 220; ++id) EXPECT_EQ(ask(id), "ok");

  EXPECT_TRUE(rig.ferry.wait_counts(rig.idle_descriptors, rig.idle_threads));
  figures("descriptor_exhaustion")
      .add("waiting_requests_served", waiting.get("ok"))
      .add("waiting_", waiting)
      .add("retried_while_short", retries.load())
      .add("accept_failures_reported", rig.ferry.error_count("accept: "))
      .add_process(rig.ferry, rig.idle_descriptors, rig.idle_threads)
      .publish();
  EXPECT_EQ(waiting.get("ok"), room / 2) << waiting.unexpected();
  EXPECT_EQ(rig.ferry.error_count(queue_full), 0);
}

// valgrind prints its error summary and leak check when the process it runs
// is ended by SIGTERM, which is the only way ferry ends while serving. It
// checks a RelWithDebInfo binary, as `make soak` does (CMakeLists.txt).
TEST(Memcheck, OrdinaryFaultyAndHostileRequests) {
  if (sanitized) GTEST_SKIP() << "valgrind cannot run a sanitizer build";
  if (system("valgrind --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "valgrind is missing";
  temp_files::temp_folder folder;
  const std::string log_name = folder / "memcheck.log";
  const long requests = knob("FERRY_MEMCHECK_REQUESTS", 100);
  fault_rig rig(
      32, {"valgrind", "--log-file=" + log_name, "--leak-check=full",
           "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite", "--num-callers=30"},
      FERRY_MEMCHECK_BINARY);
  burst_window bursts;
  std::atomic<long> retries{0};
  tally faults;
  long ordinary_served = 0;
  {
    ordinary_traffic ordinary(3, 0, &bursts, max_body);
    std::uint64_t id = 1'000'000;
    faults.add(leave_before_head(true));
    faults.add(leave_mid_head(true, false));
    faults.add(leave_mid_head(false, true));
    faults.add(leave_mid_answer(id++, 70000, false, &bursts, retries));
    faults.add(stop_reading(id++, &bursts, retries));
    for (const char* kind : {"refused", "drop", "reset", "hold"})
      faults.add(origin_fault(kind, id++, &bursts, retries));
    // Their answers are checked in hostile_test; here only that each ends.
    std::vector<hostile_head> heads = hand_written_heads();
    heads.push_back({"random_binary", random_bytes(3000, 7), expect::either});
    for (const auto& head : heads) {
      faults.add(exchange_and_end(head.bytes).end == ending::timed_out ? head.name + "_timed_out" : "ok");
    }
    EXPECT_EQ(burst(rig, bursts), 0);
    for (auto deadline = steady_clock::now() + 150s;
         ordinary.outcomes().get("ok") < requests && steady_clock::now() < deadline;) {
      std::this_thread::sleep_for(100ms);
    }
    ordinary.stop();
    ordinary_served = ordinary.outcomes().get("ok");
    EXPECT_GE(ordinary_served, requests);
    EXPECT_EQ(ordinary.outcomes().unexpected(), "");
  }
  EXPECT_EQ(faults.unexpected(), "");
  EXPECT_TRUE(rig.ferry.wait_counts(rig.idle_descriptors, rig.idle_threads, 60s));
  // The clean stop: no request in flight, so it ends at once with status 0.
  kill(rig.ferry.pid(), SIGTERM);
  EXPECT_EQ(rig.ferry.wait_exit(120s), 0);
  std::string log = temp_files::read_file(log_name);
  // Definite leaks count as errors (--errors-for-leak-kinds=definite).
  auto summary = log.find("ERROR SUMMARY: ");
  ASSERT_NE(summary, std::string::npos) << log;
  std::string errors = log.substr(summary + 15, log.find(' ', summary + 15) - summary - 15);
  bool definite_leak = log.find("definitely lost: ") != std::string::npos &&
                       log.find("definitely lost: 0 bytes") == std::string::npos;
  figures("memcheck")
      .add("ordinary_requests_verified", ordinary_served)
      .add("fault_and_hostile_requests", faults.total())
      .add("valgrind_errors", std::stoll(errors))
      .add("definite_leak", definite_leak ? 1LL : 0LL)
      .publish();
  EXPECT_EQ(errors, "0") << log;
  EXPECT_FALSE(definite_leak) << log;
}
