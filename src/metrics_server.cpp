#include "metrics_server.h"

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "answers.h"
#include "io.h"
#include "metrics.h"
#include "listener.h"
#include "net.h"
#include "policy.h"
#include "unique_fd.h"

namespace ferry {

struct metrics_server {
  explicit metrics_server(const settings& given) : config(given) {}
  const settings& config;
  unique_fd listener;
  std::atomic<bool> stopping{false};
  std::thread thread;
};

namespace {

// A scrape's head is one line and a few fields; more is not a scraper.
constexpr std::size_t longest_scrape_head = 8192;

bool head_complete(const std::string& head) {
  return head.find("\r\n\r\n") != std::string::npos || head.find("\n\n") != std::string::npos;
}

// Reads the scrape's head within HEAD_TIMEOUT (30 s when that is 0: the one
// thread must not wait forever) and answers it. A stop shuts the listener,
// which ends the wait too.
void serve_scrape(metrics_server& server, unique_fd connection) {
  std::uint16_t seconds = server.config.head_timeout_seconds;
  deadline until = deadline::after(deadline::clock::now(), seconds == 0 ? 30 : seconds);
  std::string head;
  while (!head_complete(head) && head.size() < longest_scrape_head) {
    // Events 0 on the listener: only its hang-up, at a stop, wakes the wait.
    pollfd waited[2] = {{connection.get(), POLLIN, 0}, {server.listener.get(), 0, 0}};
    if (wait_ready(waited, 2, until) != io_result::done || server.stopping.load()) return;
    char buffer[1024];
    ssize_t got = read_once(connection.get(), buffer, sizeof buffer);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return;
    if (got > 0) head.append(buffer, static_cast<std::size_t>(got));
  }
  answer_and_close_now(std::move(connection), answer_scrape(head, process_metrics().snapshot()));
}

// A client that ALLOW leaves out: 403, logged and counted as ferry's other refusals.
void refuse_scraper(unique_fd connection, const client_peer& peer, const verdict& refusal) {
  access_record record;
  start_access_record(record);
  record.client_address = peer.address;
  record.client_port = peer.port;
  record.status = refusal.status;
  record.to_client = answer_and_close_now(std::move(connection),
                                          error_answer(refusal.status, refusal.reason));
  record.ending = request_ending::refused;
  write_access_record(record);
}

void serve_scrapes(metrics_server& server) {
  for (;;) {
    sockaddr_storage peer_address{};
    socklen_t peer_size = sizeof peer_address;
    unique_fd accepted(accept4(server.listener.get(), reinterpret_cast<sockaddr*>(&peer_address),
                               &peer_size, SOCK_CLOEXEC));
    if (server.stopping.load()) return;
    if (accepted.get() < 0) {
      // Out of descriptors or memory: the next accept would fail at once too.
      if (errno != EINTR && errno != ECONNABORTED) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      continue;
    }
    client_peer peer;
    from_socket_address(peer_address, peer.address, peer.port);
    if (verdict client = judge_client(server.config, peer); !client.allowed()) {
      refuse_scraper(std::move(accepted), peer, client);
    } else {
      serve_scrape(server, std::move(accepted));
    }
  }
}

}  // namespace

metrics_server* start_metrics_server(const settings& config, std::string& problem) {
  auto server = std::make_unique<metrics_server>(config);
  bind_step failed = bind_step::none;
  server->listener = bind_listener(config.metrics_address, config.metrics_port, failed);
  const char* step = nullptr;
  if (failed == bind_step::socket) {
    step = "socket";
  } else if (failed == bind_step::bind) {
    step = "bind";
  } else if (listen(server->listener.get(), 16) != 0) {
    step = "listen";
  } else {
    try {
      server->thread = std::thread(serve_scrapes, std::ref(*server));
      return server.release();
    } catch (const std::system_error& error) {
      errno = error.code().value();
      step = "thread";
    }
  }
  int error = errno;
  problem = "ferry cannot serve metrics on " +
            format_endpoint(config.metrics_address, config.metrics_port) + ": " + step + ": " +
            strerror(error) + "; check the `METRICS_ADDR' env variable";
  return nullptr;
}

void stop_metrics_server(metrics_server* server) {
  if (server == nullptr) return;
  server->stopping.store(true);
  // Wakes the accept, or the scrape's wait, with the listener's hang-up.
  shutdown(server->listener.get(), SHUT_RDWR);
  server->thread.join();
  delete server;
}

}  // namespace ferry
