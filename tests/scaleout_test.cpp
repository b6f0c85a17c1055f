// Several ferry instances behind a real HAProxy run with the shipped example
// configuration: requests from curl keep succeeding while one instance is
// killed, and every request once HAProxy has marked it down succeeds.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>

#include "harness.h"
#include "origin_servers.h"

using namespace harness;
using temp_files::read_file;
using temp_files::temp_folder;
using temp_files::write_file;

namespace {

using clock_type = std::chrono::steady_clock;

constexpr char haproxy_binary[] = "/usr/sbin/haproxy";
const std::string shipped_config = std::string(FERRY_SOURCE_DIR) + "/dist/haproxy.cfg";
constexpr std::uint16_t balancer_port = 3128;
const std::string answer_body = "served by the origin\n";
// The clients' own address, which only the PROXY header brings to ferry.
constexpr char client_ip[] = "127.0.0.9";

// Each instance on a loopback address and port of its own: ferry binds every
// address, so the ports must differ; the addresses stand for the machines.
struct instance_address {
  std::string ip;
  std::uint16_t port;
};
const instance_address instances[] = {
    {"127.0.0.1", 8081}, {"127.0.0.2", 8082}, {"127.0.0.3", 8083}};

// The origin's script: a short page for every whole request head.
std::string answer_page(int fd) {
  std::string head = read_head(fd);
  if (head.find("\r\n\r\n") != std::string::npos) {
    send_all(fd, "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(answer_body.size()) +
                     "\r\n\r\n" + answer_body);
  }
  return head;
}

// The shipped configuration made runnable here: the same defaults, balancing
// and health checks, with this namespace's addresses and no system paths.
std::string test_config(const std::string& folder) {
  std::istringstream shipped(read_file(shipped_config));
  std::string config, line;
  bool servers_written = false;
  while (std::getline(shipped, line)) {
    std::string word;
    std::istringstream(line) >> word;
    if (word == "log" || word == "chroot" || word == "stats" || word == "user" || word == "group" ||
        word == "daemon") {
      continue;
    }
    if (word == "bind") {
      line = "    bind 127.0.0.1:" + std::to_string(balancer_port);
    } else if (word == "server") {
      if (servers_written) continue;
      servers_written = true;
      line.clear();
      for (std::size_t i = 0; i < std::size(instances); ++i) {
        line += "    server ferry" + std::to_string(i + 1) + " " + instances[i].ip + ":" +
                std::to_string(instances[i].port) + "\n";
      }
      line.pop_back();
    }
    config += line + "\n";
    if (line == "global") config += "    stats socket " + folder + "/admin.sock level admin\n";
  }
  return config;
}

// HAProxy in the foreground, its output in a file, stopped with the test.
class balancer {
 public:
  explicit balancer(const std::string& folder)
      : folder_(folder), program_(haproxy_command(folder), folder + "/haproxy.out") {}

  // Waits until the stats socket answers and shows every server up. Nothing
  // connects through the frontend, so no ferry sees a connection from here.
  bool wait_ready(std::chrono::milliseconds timeout = 10s) {
    for (auto deadline = clock_type::now() + timeout; clock_type::now() < deadline;) {
      bool all_up = true;
      for (std::size_t i = 1; i <= std::size(instances); ++i) {
        all_up = all_up && server_status("ferry" + std::to_string(i)) == "UP";
      }
      if (all_up) return true;
      if (!program_.running()) return false;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  // The health state of one server ("UP", "DOWN", ...), from the stats socket.
  std::string server_status(const std::string& server) {
    std::string table = ask("show stat\n");
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.rfind("ferry," + server + ",", 0) != 0) continue;
      std::istringstream fields(line);
      std::string field;
      for (int column = 0; column <= 17 && std::getline(fields, field, ','); ++column) {
      }
      return field;  // column 17 is "status"
    }
    return "";
  }

  std::string diagnostics() const { return read_file(folder_ + "/haproxy.out"); }

 private:
  // Writes the configuration into `folder` and returns the command that runs it.
  static std::vector<std::string> haproxy_command(const std::string& folder) {
    write_file(folder + "/haproxy.cfg", test_config(folder));
    return {haproxy_binary, "-db", "-f", folder + "/haproxy.cfg"};
  }

  std::string ask(const std::string& command) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = folder_ + "/admin.sock";
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send_all(fd, command)) {
      answer = read_reply(fd, 5s).data;
    }
    close(fd);
    return answer;
  }

  std::string folder_;
  background_program program_;
};

struct request_record {
  clock_type::time_point start;
  bool succeeded;
  std::string error;  // what curl said when it failed
};

// Clients that fetch through the balancer with curl, one request after
// another each, until told to stop.
class client_load {
 public:
  explicit client_load(int clients) {
    for (int i = 0; i < clients; ++i) clients_.emplace_back([this] { run(); });
  }
  client_load(const client_load&) = delete;
  client_load& operator=(const client_load&) = delete;
  ~client_load() { stop(); }

  void stop() {
    stopping_ = true;
    for (auto& client : clients_) {
      if (client.joinable()) client.join();
    }
  }
  std::vector<request_record> records() {
    std::lock_guard lock(mutex_);
    return records_;
  }
  // Requests that started at or after `since` and have finished.
  std::size_t finished_since(clock_type::time_point since) {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& record : records_) count += record.start >= since;
    return count;
  }

 private:
  void run() {
    const std::string proxy = "http://127.0.0.1:" + std::to_string(balancer_port);
    while (!stopping_) {
      request_record record{clock_type::now(), false, ""};
      // --noproxy "" keeps a no_proxy of the caller's environment out of the way.
      command_result fetched =
          run_command({"curl", "-q", "-sS", "--noproxy", "", "--max-time", "10", "--interface",
                       client_ip, "-x", proxy, "http://origin.test/page"},
                      {}, 20s);
      record.succeeded = fetched.status == 0 && fetched.output == answer_body;
      if (!record.succeeded) {
        record.error = "status " + std::to_string(fetched.status) + ": " + fetched.errors;
      }
      std::lock_guard lock(mutex_);
      records_.push_back(record);
    }
  }

  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<request_record> records_;
  std::vector<std::thread> clients_;
};

long long milliseconds(clock_type::duration span) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(span).count();
}

}  // namespace

TEST(ScaleOut, ShippedHAProxyConfigurationIsValid) {
  command_result checked = run_command({haproxy_binary, "-c", "-f", shipped_config});
  EXPECT_EQ(checked.status, 0) << checked.output << checked.errors;
}

TEST(ScaleOut, RequestsSucceedOnceAKilledInstanceIsMarkedDown) {
  set_hosts("127.0.0.1 localhost\n127.0.0.1 origin.test\n");
  temp_folder folder;
  scripted_origin origin("127.0.0.1", answer_page, 1);
  // BACKLOG as in the shipped unit, above the balancer's maxconn per server.
  std::vector<std::unique_ptr<ferry_process>> ferries;
  for (const auto& instance : instances) {
    ferries.push_back(std::make_unique<ferry_process>(
        std::vector<std::string>{"LISTEN_PORT=" + std::to_string(instance.port), "BACKLOG=1000",
                                 "LOG=access", "PROXY_FROM=127.0.0.1",
                                 // The origin is on loopback; the balancer's clients are not.
                                 "DENY_TO=none"}));
    ASSERT_TRUE(ferries.back()->wait_listening(instance.port)) << ferries.back()->errors();
  }
  balancer haproxy(folder.path());
  ASSERT_TRUE(haproxy.wait_ready())
      << haproxy_binary << " did not start: " << haproxy.diagnostics();

  // The health checks run while nothing else happens; count what reached ferry.
  std::this_thread::sleep_for(1s);
  std::size_t checks_accepted = 0;
  for (auto& ferry : ferries) checks_accepted += count_of(ferry->output(), "\n");

  ferry_process& victim = *ferries[1];
  client_load load(3);
  // The instance to kill must have been serving: otherwise its loss proves nothing.
  ASSERT_TRUE(victim.wait_output(" done -\n", 10, 30s)) << haproxy.diagnostics();
  auto killed_at = clock_type::now();
  victim.stop();  // SIGKILL, in the middle of the clients' run

  clock_type::time_point down_at;
  bool marked_down = false;
  for (auto deadline = killed_at + 15s; !marked_down && clock_type::now() < deadline;) {
    marked_down = haproxy.server_status("ferry2").rfind("DOWN", 0) == 0;
    down_at = clock_type::now();
    if (!marked_down) std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(marked_down) << "ferry2 still " << haproxy.server_status("ferry2") << "\n"
                           << haproxy.diagnostics();

  constexpr std::size_t wanted_after_down = 60;
  for (auto deadline = clock_type::now() + 60s;
       load.finished_since(down_at) < wanted_after_down && clock_type::now() < deadline;) {
    std::this_thread::sleep_for(20ms);
  }
  load.stop();

  std::size_t failed = 0, in_window = 0, failed_in_window = 0, after_down = 0,
              failed_after_down = 0;
  std::string failures_after_down;
  for (const auto& record : load.records()) {
    failed += !record.succeeded;
    if (record.start >= down_at) {
      ++after_down;
      failed_after_down += !record.succeeded;
      failures_after_down += record.error;
    } else if (record.start >= killed_at) {
      ++in_window;
      failed_in_window += !record.succeeded;
    }
  }
  EXPECT_GE(after_down, wanted_after_down);
  EXPECT_EQ(failed_after_down, 0u) << failures_after_down;

  auto served = [&](std::size_t i) { return count_of(ferries[i]->output(), " done -\n"); };
  // The PROXY header carried each client's own address to the access log.
  for (std::size_t i : {0, 2}) {
    EXPECT_EQ(count_of(ferries[i]->output(), " " + std::string(client_ip) + ":"), served(i));
  }
  std::cout << "scale-out: " << load.records().size() << " requests from 3 curl clients through "
            << "HAProxy to 3 ferry instances, " << failed << " failed\n"
            << "scale-out: killed instance marked down " << milliseconds(down_at - killed_at)
            << " ms after the kill; requests started in between: " << in_window << ", "
            << failed_in_window << " failed; after the mark: " << after_down << ", "
            << failed_after_down << " failed\n"
            << "scale-out: served by ferry1/ferry2/ferry3: " << served(0) << "/" << served(1) << "/"
            << served(2)
            << "; access lines written for health checks in 1 s idle: " << checks_accepted
            << "\n";
}
