// Start-up, arguments, and the stop on SIGTERM or SIGINT.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "config.h"
#include "intake.h"
#include "socket_io.h"

namespace {

constexpr std::int64_t max_backlog = INT_MAX - 2;

constexpr char usage[] =
    "Usage: ferry [--help | --version]\n"
    "A forward HTTP proxy. It takes no arguments: its settings come from the environment.\n"
    "  LISTEN_ADDR LISTEN_PORT BACKLOG       where it listens, how many requests at once\n"
    "  ALLOW DENY_TO CONNECT_PORTS PROXY_FROM who may use it, what it may reach\n"
    "  HEAD_TIMEOUT IDLE_TIMEOUT CON_TIMEOUT  time limits, in seconds\n"
    "  LOG                                   trace (default), access or off\n"
    "Example: LISTEN_PORT=3128 ALLOW=192.168.1.0/24 LOG=access ferry\n"
    "Each setting, its default and the access log's format: man 8 ferry\n";

// --help and --version answer and end; anything else is noted and ignored,
// as a unit file may pass arguments that ferry never took.
void read_arguments(int argc, char** argv) {
  if (argc < 2) return;
  std::string_view first = argv[1];
  if (first == "--help" || first == "-h") {
    fputs(usage, stdout);
    exit(0);
  }
  if (first == "--version") {
    puts("ferry " FERRY_VERSION);
    exit(0);
  }
  fputs("ferry: arguments are ignored; ferry takes its settings from the environment "
        "(ferry --help)\n", stderr);
}

// Refuses settings that cannot work before anything else happens.
bool settings_usable() {
  // A typo in a checked setting must never loosen a limit or open a door.
  if (!conf_problem.empty()) {
    fprintf(stderr, "%s\n", conf_problem.c_str());
    return false;
  }
  if (BACKLOG < 0 || BACKLOG > max_backlog) {
    fprintf(stderr, "BACKLOG=%lld is out of range: it must be 0 to %lld\n",
            static_cast<long long>(BACKLOG), static_cast<long long>(max_backlog));
    return false;
  }
  // calloc leaves untouched pages unmapped, so a large table costs nothing
  // until its slots are used; zero bytes are a valid free entry.
  static_assert(sizeof(std::atomic<pthread_t>) == sizeof(pthread_t) &&
                std::atomic<pthread_t>::is_always_lock_free);
  threads = static_cast<std::atomic<pthread_t>*>(
      calloc(static_cast<std::size_t>(BACKLOG) + 2, sizeof(std::atomic<pthread_t>)));
  if (threads == nullptr) {
    fprintf(stderr, "BACKLOG=%lld needs a slot table that cannot be allocated; use a smaller "
            "value (0 to %lld)\n", static_cast<long long>(BACKLOG),
            static_cast<long long>(max_backlog));
    return false;
  }
  return true;
}

// Everything written so far goes out, and nothing more can be added before
// the process ends; threads still serving are cut.
[[noreturn]] void end_now() {
  flockfile(stdout);
  fflush(stdout);
  _exit(0);
}

// After the first signal: no new connections, and up to CON_TIMEOUT seconds
// for the requests in flight. A second signal ends it at once.
[[noreturn]] void stop(pthread_t listener, const sigset_t& stop_signals) {
  stop_intake();
  pthread_join(listener, nullptr);
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::seconds(static_cast<std::uint16_t>(CON_TIMEOUT));
  while (requests_in_flight() > 0 && std::chrono::steady_clock::now() < deadline) {
    timespec poll_interval{0, 10 * 1000 * 1000};
    if (sigtimedwait(&stop_signals, nullptr, &poll_interval) > 0) break;
  }
  end_now();
}

}  // namespace

int main(int argc, char** argv, char** env) {
  read_arguments(argc, argv);
  rchk_conf(env);
  if (!settings_usable()) return 255;
  // A client that goes away must fail a write, not end the process.
  signal(SIGPIPE, SIG_IGN);
  ti.tv_sec = static_cast<std::uint16_t>(CON_TIMEOUT);
  ti.tv_usec = 0;

  // Blocked here, so every thread inherits it and only the wait below takes them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  pthread_t listener;
  int created = pthread_create(&listener, nullptr, listen_incoming, nullptr);
  if (created != 0) {
    errno = created;
    report_errno("can't create listen thread");
    exit(-1);
  }
  threads[1].store(listener, std::memory_order_relaxed);
  int signal_number = 0;
  while (sigwait(&stop_signals, &signal_number) != 0) {
  }
  stop(listener, stop_signals);
}
