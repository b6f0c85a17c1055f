// The origins ferry relays to in the tests: one scripted in this process,
// and nginx, plain or with TLS.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "temp_files.h"

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
