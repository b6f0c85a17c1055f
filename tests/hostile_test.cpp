// Hostile input beside ordinary requests: hand-written heads at and past
// every limit, random and mutated heads sent by the thousand, and odd
// environments. ferry must never crash, never hand one client another's
// bytes, and keep serving the rest. FERRY_HOSTILE_ROUNDS and FERRY_FUZZ_HEADS
// set the scale, FERRY_FUZZ_SEED the random heads.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "origin_servers.h"

using namespace reliability;
using namespace std::string_literals;

namespace {

// Whether `data` is the sink's answers, on a kept connection or its last,
// and at most one answer of ferry's at the end: a head may hold more than one
// request, and a kept connection answers each in turn. Random bytes that
// start like a SOCKS 5 greeting get its refusal instead.
bool sink_answers_then(std::string_view data, bool& refused) {
  if (data == "\x05\xff") {
    refused = true;
    return true;
  }
  refused = false;
  bool sink = false;
  for (;;) {
    if (data.starts_with(sink_kept_relayed)) {
      data.remove_prefix(sink_kept_relayed.size());
    } else if (data == sink_relayed) {
      return true;
    } else {
      refused = !data.empty() && is_ferry_answer(data);
      return (sink && data.empty()) || refused;
    }
    sink = true;
  }
}

// Checks one answer against what the head allows; "ok" or what went wrong.
std::string judge_hostile(const reply& got, expect outcome) {
  if (got.end == ending::timed_out || got.end == ending::unconnected) return judge(got, "");
  bool refused = false;
  bool answered = sink_answers_then(got.data, refused);
  bool sink = answered && !refused;
  if (outcome == expect::sink && sink) return "ok";
  if (outcome == expect::failure && refused) return "ok";
  if (outcome == expect::either && (answered || got.data.empty())) return "ok";
  return got.data.find("X-Id: ") != std::string::npos ? "another_clients_answer"
                                                      : "unexpected_answer";
}

struct hostile_rig : proxy_rig {
  hostile_rig() : proxy_rig({"LISTEN_PORT=8080", "BACKLOG=256", "KEEPALIVE_TIMEOUT=60"}, 32) {}

  // Ordinary requests must all have been answered byte for byte, and ferry
  // must be alive and back at its idle counts.
  void check(ordinary_traffic& ordinary) {
    ordinary.stop();
    EXPECT_GT(ordinary.outcomes().get("ok"), 0);
    EXPECT_EQ(ordinary.outcomes().unexpected(), "");
    EXPECT_TRUE(ferry.running());
    EXPECT_TRUE(ferry.wait_counts(idle_descriptors, idle_threads));
    EXPECT_EQ(origin.count(mismatched), 0);
  }
};

// One random change to a head: bytes flipped, inserted, dropped, repeated,
// tokens that matter to the scan spliced in, or the head cut or stretched.
void mutate(std::string& head, std::mt19937_64& random) {
  static const std::string tokens[] = {"Host:",
                                       "host: ",
                                       "sink.test",
                                       "\r\n",
                                       "\n",
                                       "\r",
                                       std::string(1, '\0'),
                                       " ",
                                       "Cache-Control:",
                                       "Proxy-Connection: Keep-Alive\r\n",
                                       "\r\n\r\n",
                                       "\xff"};
  auto at = [&](std::size_t limit) { return limit == 0 ? 0 : random() % (limit + 1); };
  switch (random() % 8) {
    case 0:
      if (!head.empty()) head[at(head.size() - 1)] ^= static_cast<char>(1 << (random() % 8));
      break;
    case 1:
      head.insert(at(head.size()), 1, static_cast<char>(random()));
      break;
    case 2: {
      std::size_t from = at(head.size());
      head.erase(from, random() % 16);
      break;
    }
    case 3: {
      std::size_t from = at(head.size());
      std::string piece = head.substr(from, random() % 64);
      for (int times = random() % 64; times > 0; --times) head.insert(from, piece);
      break;
    }
    case 4:
    case 5:
      head.insert(at(head.size()), tokens[random() % std::size(tokens)]);
      break;
    case 6:
      head.resize(at(head.size()));
      break;
    default:
      head += std::string(random() % 5000, static_cast<char>(random()));
      break;
  }
}

}  // namespace

TEST(Hostile, HandWrittenHeadsBesideOrdinaryRequests) {
  const long rounds = knob("FERRY_HOSTILE_ROUNDS", 20);
  hostile_rig rig;
  ordinary_traffic ordinary(4, 1'000'000'000);
  tally outcomes;
  auto start = steady_clock::now();
  std::vector<std::thread> senders;
  const std::vector<hostile_head> heads = hand_written_heads();
  for (int sender = 0; sender < 4; ++sender) {
    senders.emplace_back([&, sender] {
      std::mt19937_64 random(static_cast<unsigned>(sender));
      for (long round = 0; round < rounds; ++round) {
        for (const auto& head : heads) {
          reply got = exchange_and_end(head.bytes);
          outcomes.add(head.name + ":" + judge_hostile(got, head.outcome));
        }
        std::string binary(1 + random() % 6000, '\0');
        for (auto& byte : binary) byte = static_cast<char>(random());
        outcomes.add("random_binary:" + judge_hostile(exchange_and_end(binary), expect::either));
      }
    });
  }
  // Clients that keep their connection, beside the hostile ones.
  for (int kept = 0; kept < 2; ++kept) {
    senders.emplace_back([&, kept] {
      kept_client client;
      for (long round = 0; round < rounds * 10; ++round) {
        std::string head = "GET http://sink.test/k" + std::to_string(kept) +
                           " HTTP/1.1\r\nHost: sink.test\r\n\r\n";
        outcomes.add("kept_connection:" + judge(client.ask(head), sink_kept_relayed));
      }
    });
  }
  for (auto& sender : senders) sender.join();
  rig.check(ordinary);

  auto [unexpected, failed] = outcomes.failed_verdicts();
  figures("hostile_heads")
      .add("hostile_requests", outcomes.total())
      .add("hostile_failed", failed)
      .add_ordinary(ordinary)
      .add_process(rig.ferry, rig.idle_descriptors, rig.idle_threads)
      .add_decimal("elapsed_s", seconds_since(start))
      .publish();
  EXPECT_EQ(unexpected, "");
}

// Each hand-written head once through a ferry that keeps its trace: no byte
// of it may drive a terminal, and credentials show only as their size.
TEST(Hostile, TraceHoldsNoControlBytesNorCredentials) {
  set_hosts("127.0.0.2 sink.test\n");
  scripted_origin sink("127.0.0.2", answer_and_drain(sink_answer), 8);
  ferry_process ferry({"LISTEN_PORT=8080"});
  ASSERT_TRUE(ferry.wait_listening(8080));
  const std::vector<hostile_head> heads = hand_written_heads();
  for (const auto& head : heads) {
    EXPECT_EQ(judge_hostile(exchange_and_end(head.bytes), head.outcome), "ok") << head.name;
  }
  EXPECT_TRUE(ferry.wait_output(" freed\n", static_cast<long>(heads.size())));
  const std::string trace = ferry.output() + ferry.errors();
  EXPECT_EQ(trace.find('\x1b'), std::string::npos);
  EXPECT_NE(trace.find("\\x1b]0;owned\\x07"), std::string::npos);
  for (const char* secret : {"c2VjcmV0", "secret-cookie", "cHJveHk"}) {
    EXPECT_EQ(trace.find(secret), std::string::npos) << secret;
  }
  EXPECT_NE(trace.find("\nAuthorization: [hidden, 14 bytes]\r\nCookie: [hidden, 16 bytes]\r\n"),
            std::string::npos);
  // The sink keeps what came once ferry has closed, which may be a moment
  // after the client saw its answer.
  auto any_holds = [&](const std::string& text) {
    for (auto deadline = std::chrono::steady_clock::now() + 5s;;) {
      const std::vector<std::string> received = sink.received();
      if (std::any_of(received.begin(), received.end(),
                      [&](const std::string& head) { return head.find(text) != head.npos; })) {
        return true;
      }
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
  };
  EXPECT_TRUE(any_holds("\r\n" + credentials + "Connection: close\r\n\r\n"));
  EXPECT_TRUE(any_holds("X-Title: \x1b]0;owned\x07\x1b[2J\x1b[1A\r\n"));
  EXPECT_FALSE(any_holds("Proxy-Authorization"));
}

// Thousands of random and mutated heads, some split over several sends, some
// abandoned half way. With -DFERRY_SANITIZE=address ferry runs under
// AddressSanitizer here, which turns any bad access into a report.
TEST(Hostile, NetworkFuzzOfRandomAndMutatedHeads) {
  const long heads = knob("FERRY_FUZZ_HEADS", 5000);
  const unsigned long long seed = static_cast<unsigned long long>(knob("FERRY_FUZZ_SEED", 1));
  hostile_rig rig;
  ordinary_traffic ordinary(4, 1'000'000'000);
  const std::vector<std::string> seeds = {
      request_head("sink.test", "/a", 1),
      request_head("sink.test", "/b", 3),
      "GET http://sink.test/ HTTP/1.1\r\nhost: sink.test\r\nCache-Control: no-cache\r\n\r\n",
      "POST http://sink.test/ HTTP/1.1\r\nHost: sink.test\r\n\r\n\0\x01"s + "body",
      "GET / HTTP/1.1\r\nHost:\r\nsink.test\r\nProxy-Connection: Keep-Alive\r\n\r\n",
  };
  tally outcomes;
  std::atomic<long> next{0};
  auto start = steady_clock::now();
  std::vector<std::thread> senders;
  for (int sender = 0; sender < 6; ++sender) {
    senders.emplace_back([&] {
      for (long index; (index = next++) < heads;) {
        std::mt19937_64 random(seed * 1'000'003 + static_cast<unsigned long long>(index));
        std::string head;
        if (random() % 8 == 0) {
          head.resize(random() % 5000);
          for (auto& byte : head) byte = static_cast<char>(random());
        } else {
          head = seeds[random() % seeds.size()];
          for (int changes = 1 + random() % 8; changes > 0; --changes) mutate(head, random);
        }
        int fd = connect_to("127.0.0.1", 8080);
        if (fd < 0) {
          outcomes.add("unconnected");
          continue;
        }
        std::size_t style = random() % 10, sent = 0;
        // Some heads come in pieces, which ferry reads on until the head ends.
        while (sent < head.size()) {
          std::size_t piece = style < 2 ? 1 + random() % (head.size() - sent) : head.size() - sent;
          if (send(fd, head.data() + sent, piece, MSG_NOSIGNAL) <= 0) break;
          sent += piece;
          if (style < 2) std::this_thread::sleep_for(std::chrono::milliseconds(random() % 3));
        }
        if (style == 2) {  // gone before the answer
          reset_on_close(fd);
          close(fd);
          outcomes.add("abandoned");
          continue;
        }
        // A head may never end: the end of the stream makes ferry answer it.
        shutdown(fd, SHUT_WR);
        reply got = read_reply(fd, 60s);
        close(fd);
        // Anything may have happened to the Host line, so any of the three.
        std::string verdict = judge_hostile(got, expect::either);
        if (verdict == "ok") {
          bool refused = false;
          sink_answers_then(got.data, refused);
          verdict = got.data.empty() ? "answered_nothing"
                    : !refused       ? "answered_by_sink"
                                     : "answered_by_ferry";
        }
        outcomes.add(verdict);
      }
    });
  }
  for (auto& sender : senders) sender.join();
  rig.check(ordinary);

  figures("network_fuzz")
      .add("seed", static_cast<long long>(seed))
      .add("fuzz_heads", heads)
      .add("fuzz_failed", outcomes.total() - outcomes.get("answered_nothing") -
                              outcomes.get("answered_by_sink") -
                              outcomes.get("answered_by_ferry") - outcomes.get("abandoned"))
      .add("fuzz_", outcomes)
      .add_ordinary(ordinary)
      .add_process(rig.ferry, rig.idle_descriptors, rig.idle_threads)
      .add_decimal("elapsed_s", seconds_since(start))
      .publish();
  EXPECT_EQ(outcomes.unexpected(
                {"answered_nothing", "answered_by_sink", "answered_by_ferry", "abandoned"}),
            "")
      << "seed " << seed;
}

// ferry started with values at and past every setting's limits, negative,
// letters, empty, repeated: it either serves on the port LISTEN_PORT names,
// or ends at once with its documented status.
TEST(Hostile, OddEnvironmentsServeOrRefuseCleanly) {
  set_hosts("127.0.0.1 origin.test\n");
  scripted_origin origin("127.0.0.1", path_answers(), 8);
  struct environment_case {
    std::vector<std::string> entries;
    int port;    // where it must listen
    int status;  // -1: it must serve
  };
  const std::string huge(100000, '9');
  std::vector<environment_case> cases = {
      {{"LISTEN_PORT=65535"}, 65535, -1},
      {{"LISTEN_PORT=65536"}, 0, 255},
      {{"LISTEN_PORT=9223372036854775808"}, 0, 255},
      {{"LISTEN_PORT=-1"}, 0, 255},
      {{"LISTEN_PORT=80"}, 80, 129},  // taken by the origin
      {{"LISTEN_PORT=" + huge}, 0, 255},
      {{"LISTEN_PORT=x8081"}, 0, 255},
      {{"LISTEN_PORT=  +8082junk"}, 0, 255},
      {{"LISTEN_PORT=", "LISTEN_PORT"}, 8080, -1},
      {{"LISTEN_PORT=1", "LISTEN_PORT=8083"}, 8083, -1},
      {{"LISTEN_PORT=8084", "LISTEN_PORT="}, 8084, -1},
      {{"listen_port=8085", "LISTEN_PORT =8085", " LISTEN_PORT=8085"}, 8080, -1},
      {{"LISTEN_PORT=8086", "CON_TIMEOUT=0"}, 8086, -1},
      {{"LISTEN_PORT=8087", "CON_TIMEOUT=-1"}, 0, 255},
      {{"LISTEN_PORT=8088", "CON_TIMEOUT=65535"}, 8088, -1},
      {{"LISTEN_PORT=8089", "CON_TIMEOUT=65536"}, 0, 255},
      {{"LISTEN_PORT=8090", "CON_TIMEOUT=-99999999999999999999"}, 0, 255},
      {{"LISTEN_PORT=8091", "CON_TIMEOUT=abc", "CON_TIMEOUT="}, 0, 255},
      {{"LISTEN_PORT=8092", "BACKLOG=1"}, 8092, -1},
      {{"LISTEN_PORT=8093", "BACKLOG=0"}, 0, 255},
      {{"LISTEN_PORT=8094", "BACKLOG=letters"}, 0, 255},
      {{"LISTEN_PORT=8095", "BACKLOG=-1"}, 0, 255},
      {{"LISTEN_PORT=8096", "BACKLOG=2147483646"}, 0, 255},
      {{"LISTEN_PORT=8097", "BACKLOG=4294967298"}, 0, 255},
      {{"LISTEN_PORT=8098", "BACKLOG=" + huge}, 0, 255},
      {{"LISTEN_PORT=8099", "BACKLOG=-" + huge}, 0, 255},
      {{"LISTEN_PORT=8100", "BACKLOG=5", "BACKLOG=-5"}, 0, 255},
      {{"LISTEN_PORT=8101", "BACKLOG=-5", "BACKLOG=5"}, 8101, -1},
      {{"LISTEN_PORT=8102", "MAX_RAM_CACHE=-" + huge, "MAX_HDD_CACHE=" + huge}, 0, 255},
      {{"LISTEN_PORT=8103", "MAX_RAM_CACHE=", "MAX_HDD_CACHE=0", "=", "", "=="}, 8103, -1},
  };
  // Its 2 GiB table is only reserved, never touched; sanitizers would fill it.
  if (!sanitized) cases.push_back({{"LISTEN_PORT=8104", "BACKLOG=2147483645"}, 8104, -1});
  std::vector<std::string> many(5000, "JUNK=1");
  many.push_back("LISTEN_PORT=8105");
  cases.push_back({many, 8105, -1});

  std::uint64_t id = 0;
  tally outcomes;
  for (const auto& test_case : cases) {
    SCOPED_TRACE(test_case.entries.back().substr(0, 60));
    ferry_process ferry(test_case.entries, trace_dropped);
    std::uint16_t port = 0;
    for (auto deadline = steady_clock::now() + 20s; port == 0 && steady_clock::now() < deadline;) {
      if (!ferry.running()) break;
      port = listening_port(ferry.pid());
      if (port == 0) std::this_thread::sleep_for(5ms);
    }
    if (test_case.status > 0) {
      EXPECT_EQ(ferry.wait_exit(), test_case.status) << ferry.errors();
      std::string errors = ferry.errors();
      const char* names = test_case.status == 255 ? "is not valid" : "try another port";
      EXPECT_NE(errors.find(names), std::string::npos) << errors;
      outcomes.add(ferry.wait_exit() == test_case.status ? "refused_cleanly" : "wrong_status");
      continue;
    }
    ASSERT_NE(port, 0) << "not listening; " << ferry.errors();
    if (test_case.port != 0) {
      EXPECT_EQ(port, test_case.port);
    }
    std::size_t size = 1000 + id % 7;
    std::string expected = expected_answer(id, size);
    int fd = open_request(request_head("origin.test", gen_path(id, size), id), port);
    reply got = read_reply(fd, 30s);
    // A reset after ferry's close leaves no closing wait on its port, which a
    // later case may bind again.
    reset_on_close(fd);
    close(fd);
    ++id;
    std::string verdict = judge(got, expected);
    EXPECT_EQ(verdict, "ok");
    EXPECT_TRUE(ferry.running());
    outcomes.add("served:" + verdict);
  }
  figures("environments")
      .add("cases", static_cast<long long>(cases.size()))
      .add("", outcomes)
      .publish();
}
