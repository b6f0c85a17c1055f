// The origins ferry relays to in the tests: one scripted in this process,
// and nginx, plain or with TLS. Below them, the rig of the load, fault and
// hostile-input tests: ferry with its trace dropped, an origin whose answer
// is named by the path asked for, a sink, clients that check every byte, and
// the figures a test prints.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "harness.h"

namespace harness {

// An origin on ip:port. Each of `workers` threads accepts a connection and runs
// `script` on it, then closes it. What the script returns is kept: the bytes
// it received, or what went wrong; nothing when it returns "", so an origin
// under load holds little. On shutdown every open connection is shut down,
// so no script waits on.
class scripted_origin {
 public:
  using script = std::function<std::string(int fd)>;

  scripted_origin(const std::string& ip, script behaviour, int workers = 64,
                  std::uint16_t port = 80);
  scripted_origin(const scripted_origin&) = delete;
  scripted_origin& operator=(const scripted_origin&) = delete;
  ~scripted_origin();

  // Waits until `count` connections have finished their script.
  bool wait_done(std::size_t count, std::chrono::milliseconds timeout = 10s);
  // What the scripts returned, in the order they finished, but for "".
  std::vector<std::string> received();
  // How many scripts returned `record`.
  long count(const std::string& record);
  long accepted() const { return accepted_; }

 private:
  void work();

  int listen_fd_;
  script behaviour_;
  std::atomic<bool> stopping_{false};
  std::atomic<long> accepted_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::set<int> open_;
  std::size_t done_ = 0;
  std::vector<std::string> received_;
  std::vector<std::thread> workers_;
};

// The common script: read the head, answer, close the sending side, and
// return all that arrived until ferry closed its end.
scripted_origin::script answer_and_drain(std::string answer);

enum class scheme { http, https };

// nginx as one foreground process on ip:80, or with TLS on ip:443,
// everything it writes kept in a temporary folder of its own. It serves the
// files put under www(), echoes the URI asked for in an X-Request header, and
// logs each request line with the Proxy-Connection value that reached it.
// With keepalive_timeout 0 it closes after each answer, so ferry's slot ends
// with the request instead of with nginx's idle wait. With TLS its certificate
// names origin.test and is signed by a throw-away certificate authority made
// for it.
class nginx_origin {
 public:
  explicit nginx_origin(const std::string& ip = "127.0.0.1",
                        const std::string& keepalive_timeout = "0", scheme served = scheme::http);

  std::string www() const { return folder_ / "www"; }
  // The authority's certificate, for clients to trust (https only).
  std::string ca_certificate() const { return folder_ / "ca.pem"; }
  // Waits until nginx accepts connections; false if it ended or took too long.
  bool wait_ready(std::chrono::milliseconds timeout = 10s);
  // Fast shutdown closes every connection it still holds.
  void stop() { program_.stop(); }
  std::string diagnostics() const;
  // "request|Proxy-Connection|status" lines.
  std::string access_log() const { return temp_files::read_file(folder_ / "access.log"); }

 private:
  temp_files::temp_folder folder_;
  std::string ip_;
  std::uint16_t port_;
  background_program program_;
};

}  // namespace harness

// The rig of the load, fault and hostile-input suites, on the origins above.
namespace reliability {

using namespace harness;
using std::chrono::milliseconds;
using steady_clock = std::chrono::steady_clock;

// What the sink.test origin sends, and what a client gets of it through ferry.
inline const std::string sink_answer = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nsink\n";
inline const std::string sink_relayed = relayed(sink_answer);
// The same to a client that keeps its connection: HTTP/1.0 needs the word.
inline const std::string sink_kept_relayed =
    "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nConnection: keep-alive\r\n\r\nsink\n";
inline constexpr std::size_t max_body = 1 << 20;
inline const ferry_options trace_dropped{.keep_trace = false};

// A scale knob: the environment variable `name` when set, else `fallback`.
inline long knob(const char* name, long fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::strtol(value, nullptr, 10) : fallback;
}

inline double seconds_since(steady_clock::time_point start) {
  return std::chrono::duration<double>(steady_clock::now() - start).count();
}

// What path_answers answers for /gen/<size>/<id>: a head naming the id and a
// body of its own, cut from one pool of random bytes; `relayed_by_ferry`, as
// the client gets it.
std::string expected_answer(std::uint64_t id, std::size_t size, bool relayed_by_ferry = true);

// /stream/<id> sends the pool over and over from the id's offset.
inline constexpr std::size_t stream_length = 32 << 20;
bool is_stream_prefix(std::uint64_t id, std::string_view data);

// The head a client sends for `path`, asking to close after it. Two ids in
// three carry the Keep-Alive line, so the rewrite runs under load too; the
// padding gives heads lengths of their own. With `forwarded`, the head as the
// origin must receive it.
std::string request_head(const std::string& host, const std::string& path, std::uint64_t id,
                         bool forwarded = false);

inline std::string gen_path(std::uint64_t id, std::size_t size) {
  return "/gen/" + std::to_string(size) + "/" + std::to_string(id);
}

// What went wrong at path_answers, as scripted_origin::count counts it.
inline const std::string mismatched = "head mismatch", unanswered = "unanswered";

// The origin.test script: the path names the answer
//   /gen/<size>/<id>    that id's body of that size
//   /hold/<size>/<id>   the same, then the connection stays open for a second
//   /reset/<size>/<id>  the head and half the body, then a reset
//   /drop/<id>          nothing: the connection is closed
//   /stream/<id>        32 MiB of body, for as long as ferry takes it
// and each head must arrive as request_head(..., forwarded) says; one that
// does not is answered "500 head mismatch". A connection that brings no whole
// head of ours is closed unanswered. After a whole answer the script reads
// until ferry closes, so no unread byte turns its close into a reset.
scripted_origin::script path_answers();

// The sink.test script: sink_answer to whatever arrives first.
scripted_origin::script sink_answers();

// path_answers at origin.test, sink_answers at sink.test (with `sink_workers`),
// nobody at refused.test, and in front of them ferry, started with
// `environment` (LISTEN_PORT=8080 among it) and its trace dropped; `prefix`
// runs it under another program. The idle counts are ferry's once it listens.
struct proxy_rig {
  proxy_rig(const std::vector<std::string>& environment, int sink_workers,
            const std::vector<std::string>& prefix = {}, const std::string& binary = FERRY_BINARY);

  scripted_origin origin, sink;
  ferry_process ferry;
  int idle_descriptors = 0, idle_threads = 0;
};

// Names what became of a request whose exact answer is `expected`; "ok" for
// that answer and an orderly close.
std::string judge(const reply& got, std::string_view expected);

// A connection closed or reset without a byte: what a full slot table does
// (a close before the head arrived, a reset after), and also an origin that
// closes unanswered.
inline bool is_refusal(const std::string& verdict) {
  return verdict == "refused" || verdict == "closed_unanswered";
}

// A client that keeps its connection to ferry: each answer is read by its
// Content-Length and the next request goes on the same connection, or on a
// new one once ferry closed it.
class kept_client {
 public:
  explicit kept_client(std::uint16_t port = 8080) : port_(port) {}
  kept_client(const kept_client&) = delete;
  kept_client& operator=(const kept_client&) = delete;
  ~kept_client() {
    if (fd_ >= 0) close(fd_);
  }
  // Sends `head` and reads one answer, which ends `closed` when it came whole.
  reply ask(const std::string& head, std::chrono::milliseconds timeout = 60s);

 private:
  std::uint16_t port_;
  int fd_ = -1;
};

// Counts by kind, from any thread.
class tally {
 public:
  void add(const std::string& kind, long n = 1) {
    std::lock_guard lock(mutex_);
    counts_[kind] += n;
  }
  long get(const std::string& kind) {
    std::lock_guard lock(mutex_);
    return counts_.count(kind) != 0 ? counts_[kind] : 0;
  }
  long total() {
    std::lock_guard lock(mutex_);
    long sum = 0;
    for (const auto& entry : counts_) sum += entry.second;
    return sum;
  }
  std::map<std::string, long> all() {
    std::lock_guard lock(mutex_);
    return counts_;
  }
  // For counts kept as "what:verdict", those whose verdict is not "ok", as
  // "what:verdict=count ...", and their sum.
  std::pair<std::string, long> failed_verdicts() {
    std::pair<std::string, long> failed;
    for (const auto& [kind, count] : all()) {
      if (kind.substr(kind.find(':') + 1) == "ok") continue;
      failed.first += kind + "=" + std::to_string(count) + " ";
      failed.second += count;
    }
    return failed;
  }
  // Everything but the kinds in `expected`, as "kind=count ..."; empty when none.
  std::string unexpected(const std::vector<std::string>& expected = {"ok"}) {
    std::string text;
    for (const auto& [kind, count] : all()) {
      if (std::find(expected.begin(), expected.end(), kind) == expected.end()) {
        text += kind + "=" + std::to_string(count) + " ";
      }
    }
    return text;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, long> counts_;
};

// Says when bursts that fill ferry's slot table are on. An attempt may be
// refused only if a burst was on at some point while it ran.
class burst_window {
 public:
  struct mark {
    bool on;
    long generation;
  };
  mark now() const { return {on_, generation_}; }
  bool covers(mark start) const {
    mark end = now();
    return start.on || end.on || start.generation != end.generation;
  }
  void open() {
    on_ = true;
    ++generation_;
  }
  void close() {
    on_ = false;
    ++generation_;
  }

 private:
  std::atomic<bool> on_{false};
  std::atomic<long> generation_{0};
};

// Sends `head` until the answer is not a refusal that a burst explains; the
// verdict of the last attempt is returned, the retries added to `retries`.
std::string ask_through_bursts(const std::string& head, std::string_view expected,
                               const burst_window* bursts, std::atomic<long>& retries,
                               reply* last = nullptr);

// Ordinary requests from `clients` threads until stop(), each for a body of
// its own from the scripted origin at origin.test, every byte checked.
class ordinary_traffic {
 public:
  ordinary_traffic(int clients, std::uint64_t first_id, const burst_window* bursts = nullptr,
                   std::size_t largest = 256 << 10)
      : next_id_(first_id), bursts_(bursts), largest_(largest) {
    for (int i = 0; i < clients; ++i) threads_.emplace_back([this] { run(); });
  }
  ordinary_traffic(const ordinary_traffic&) = delete;
  ordinary_traffic& operator=(const ordinary_traffic&) = delete;
  ~ordinary_traffic() { stop(); }

  void stop() {
    stopping_ = true;
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }
  tally& outcomes() { return outcomes_; }
  long retries() const { return retries_; }

 private:
  void run();

  std::atomic<std::uint64_t> next_id_;
  const burst_window* bursts_;
  std::size_t largest_;
  std::atomic<bool> stopping_{false};
  std::atomic<long> retries_{0};
  tally outcomes_;
  std::vector<std::thread> threads_;
};

// One test's figures: printed as "FIGURES <test> key=value ..." and, when
// FERRY_FIGURES_FILE names a file, appended to it as one JSON object.
class figures {
 public:
  explicit figures(std::string test) : test_(std::move(test)) {}
  figures& add(const std::string& key, long long value) {
    entries_.emplace_back(key, std::to_string(value));
    return *this;
  }
  figures& add_decimal(const std::string& key, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    entries_.emplace_back(key, text);
    return *this;
  }
  figures& add(const std::string& key, const std::string& value) {
    entries_.emplace_back(key, "\"" + value + "\"");
    return *this;
  }
  figures& add(const std::string& prefix, tally& counts) {
    for (const auto& [kind, count] : counts.all()) {
      if (kind != "ok") add(prefix + kind, static_cast<long long>(count));
    }
    return *this;
  }
  // How the ordinary requests beside a test went.
  figures& add_ordinary(ordinary_traffic& ordinary) {
    tally& outcomes = ordinary.outcomes();
    return add("ordinary_requests", outcomes.total())
        .add("ordinary_verified", outcomes.get("ok"))
        .add("ordinary_failed", outcomes.total() - outcomes.get("ok"))
        .add("ordinary_failed_", outcomes);
  }
  // Peak resident memory, and descriptors and threads when idle and now.
  figures& add_process(ferry_process& ferry, int idle_descriptors, int idle_threads) {
    return add("peak_rss_kib", ferry.peak_rss_kib())
        .add("descriptors_idle", idle_descriptors)
        .add("descriptors_end", ferry.open_descriptors())
        .add("threads_idle", idle_threads)
        .add("threads_end", ferry.thread_count());
  }
  void publish() const;

 private:
  std::string test_;
  std::vector<std::pair<std::string, std::string>> entries_;
};

// What ferry may answer a hostile head: the sink's answer (the head named
// the sink and reached it), the error text, or nothing at all. A head longer
// than ferry's one read leaves bytes unread, so its close may be a reset that
// cuts the answer short.
enum class expect { sink, failure, either };

struct hostile_head {
  std::string name, bytes;
  expect outcome;
};

// Credentials in one of the hand-written heads: the sink gets them as they
// are, the trace shows only their sizes.
inline const std::string credentials =
    "Authorization: Basic c2VjcmV0\r\nCookie: id=secret-cookie\r\n";

// Hand-written heads at and past every limit of the head scan, each with
// what ferry may answer it.
std::vector<hostile_head> hand_written_heads();

}  // namespace reliability
