// Soak: many requests through one ferry, answers of 0 bytes to 1 MiB from
// nginx (on kept connections both sides) and from a scripted origin (one per
// connection), every byte checked. Afterwards ferry holds
// no more descriptors and threads than when idle and its resident memory has
// not grown. FERRY_SOAK_REQUESTS sets the scale (3000 by default, 1500 in
// sanitized builds).
#include <gtest/gtest.h>

#include <filesystem>

#include "origin_servers.h"

using namespace reliability;
using temp_files::write_file;

namespace {

const std::size_t file_sizes[] = {0,     1,     100,   1000,   4095,   4096,    4097,    8192,
                                  30000, 65536, 99999, 262144, 524288, 1048575, max_body};

// nginx serves the files of file_sizes as /f/<size>.bin.
std::string file_content(std::size_t size) {
  return random_bytes(size, static_cast<unsigned>(size) * 7919u + 1);
}

// nginx's answer for /f/<size>.bin?id=<id>: its own head, which must name
// this request, and the file byte for byte.
std::string judge_nginx(const reply& got, std::uint64_t id, std::size_t size,
                        const std::string& content) {
  if (got.end == ending::reset && !got.data.empty()) return "reset_mid_answer";
  if (got.end != ending::closed || got.data.empty()) return judge(got, "");
  auto head_end = got.data.find("\r\n\r\n");
  if (head_end == std::string::npos) return "truncated";
  std::string_view head(got.data.data(), head_end + 2), body(got.data);
  body.remove_prefix(head_end + 4);
  std::string uri =
      "\r\nX-Request: /f/" + std::to_string(size) + ".bin?id=" + std::to_string(id) + "\r\n";
  if (head.rfind("HTTP/1.1 200 OK\r\n", 0) != 0 || head.find(uri) == std::string::npos ||
      head.find("\r\nContent-Length: " + std::to_string(size) + "\r\n") == std::string::npos) {
    return "corrupted";
  }
  if (body == content) return "ok";
  return body.size() < content.size() && content.compare(0, body.size(), body) == 0 ? "truncated"
                                                                                    : "corrupted";
}

// Scripted sizes: every size class of the files, and sizes in between.
std::size_t scripted_size(std::uint64_t id) {
  std::uint64_t mixed = id * 0x9E3779B97F4A7C15ull;
  std::size_t pick = (mixed >> 40) % 20;
  if (pick < std::size(file_sizes)) return file_sizes[pick];
  return static_cast<std::size_t>(mixed >> 24) % (1u << (10 + pick % 11));
}

struct soak_run {
  std::map<std::size_t, std::string> files;
  tally outcomes;
  std::atomic<long> refusals{0};
  std::atomic<long long> body_bytes{0};

  // Sends requests first..first+count-1 from `clients` threads; even ids go
  // to the scripted origin, odd ones to nginx. A refusal (closed or reset
  // without a byte, which only a full slot table explains here) is retried.
  void requests(std::uint64_t first, std::uint64_t count, int clients) {
    std::atomic<std::uint64_t> next{first};
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
      threads.emplace_back([&] {
        kept_client kept;
        for (std::uint64_t id; (id = next++) < first + count;) outcomes.add(one(id, kept));
      });
    }
    for (auto& thread : threads) thread.join();
  }

  // Requests to nginx go on the thread's kept connection, and ferry keeps
  // its connection to nginx too; the scripted origin's are one per connection.
  std::string one(std::uint64_t id, kept_client& kept) {
    const bool scripted = id % 2 == 0;
    const std::size_t size =
        scripted ? scripted_size(id) : file_sizes[(id / 2) % std::size(file_sizes)];
    const std::string path = "/f/" + std::to_string(size) + ".bin?id=" + std::to_string(id);
    const std::string nginx_head =
        "GET http://nginx.test" + path + " HTTP/1.1\r\nHost: nginx.test\r\n\r\n";
    for (int attempt = 0; attempt < 10000; ++attempt) {
      std::string verdict =
          scripted ? judge(exchange(request_head("origin.test", gen_path(id, size), id)),
                           expected_answer(id, size))
                   : judge_nginx(kept.ask(nginx_head), id, size, files.at(size));
      if (verdict == "ok") body_bytes += static_cast<long long>(size);
      if (!is_refusal(verdict)) return verdict;
      ++refusals;
    }
    return "refused";
  }
};

}  // namespace

TEST(Soak, MixedAnswersFromNginxAndScriptedOrigin) {
  const long total = knob("FERRY_SOAK_REQUESTS", sanitized ? 1500 : 3000);
  const int backlog = static_cast<int>(knob("FERRY_SOAK_BACKLOG", 32));
  // Memory is measured from the end of the warm-up, once glibc's arenas and
  // its cache of thread stacks have grown to what this load needs.
  const long warm_up = std::min(total / 4, 5000L);
  harness::set_hosts("127.0.0.1 origin.test\n127.0.0.4 nginx.test\n");
  nginx_origin nginx("127.0.0.4");
  soak_run run;
  std::filesystem::create_directories(nginx.www() + "/f");
  for (std::size_t size : file_sizes) {
    run.files[size] = file_content(size);
    write_file(nginx.www() + "/f/" + std::to_string(size) + ".bin", run.files[size]);
  }
  ASSERT_TRUE(nginx.wait_ready()) << "nginx did not start: " << nginx.diagnostics();
  scripted_origin origin("127.0.0.1", path_answers(), 2 * backlog + 16);
  ferry_process ferry(
      {"LISTEN_PORT=8080", "BACKLOG=" + std::to_string(backlog), "KEEPALIVE_TIMEOUT=60"},
      trace_dropped);
  ASSERT_TRUE(ferry.wait_listening(8080));
  const int idle_descriptors = ferry.open_descriptors(), idle_threads = ferry.thread_count();

  auto start = steady_clock::now();
  run.requests(0, static_cast<std::uint64_t>(warm_up), backlog);
  ASSERT_TRUE(ferry.wait_counts(idle_descriptors, idle_threads));
  const long rss_after_warm_up = ferry.rss_kib();
  run.requests(static_cast<std::uint64_t>(warm_up), static_cast<std::uint64_t>(total - warm_up),
               backlog);
  const double elapsed = seconds_since(start);
  EXPECT_TRUE(ferry.running());
  EXPECT_TRUE(ferry.wait_counts(idle_descriptors, idle_threads));
  const int end_descriptors = ferry.open_descriptors(), end_threads = ferry.thread_count();
  const long rss_end = ferry.rss_kib();
  // A request that finds the table full waits for a slot: none is refused.
  EXPECT_EQ(run.refusals, 0);

  figures("soak")
      .add("requests", total)
      .add("verified", run.outcomes.get("ok"))
      .add("failed", total - run.outcomes.get("ok"))
      .add("failed_", run.outcomes)
      .add("body_mib_verified", run.body_bytes / (1 << 20))
      .add("refused_full_table_retried", run.refusals.load())
      .add("concurrency", backlog)
      .add("rss_kib_after_warm_up", rss_after_warm_up)
      .add("rss_kib_end", rss_end)
      .add("rss_growth_kib", rss_end - rss_after_warm_up)
      .add("peak_rss_kib", ferry.peak_rss_kib())
      .add("descriptors_idle", idle_descriptors)
      .add("descriptors_end", end_descriptors)
      .add("threads_idle", idle_threads)
      .add("threads_end", end_threads)
      .add_decimal("elapsed_s", elapsed)
      .add_decimal("requests_per_s", static_cast<double>(total) / elapsed)
      .publish();

  EXPECT_EQ(run.outcomes.get("ok"), total) << run.outcomes.unexpected();
  EXPECT_EQ(origin.count(mismatched), 0);
  EXPECT_EQ(end_descriptors, idle_descriptors);
  EXPECT_EQ(end_threads, idle_threads);
  // Sanitizers keep freed memory in quarantine and shadow, so only the plain
  // build's figure means anything.
  if (!sanitized) {
    EXPECT_LT(rss_end - rss_after_warm_up, 1024) << "KiB grown after the warm-up";
  }
}
