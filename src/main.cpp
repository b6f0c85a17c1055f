// Start-up, arguments, signals, and the stop on SIGTERM or SIGINT.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "intake.h"
#include "policy_files.h"
#include "settings.h"
#include "text.h"

namespace ferry {
namespace {

constexpr char usage[] =
    "Usage: ferry [-h | --help | --version]\n"
    "A forward HTTP proxy. It takes no arguments: its settings come from the environment.\n"
    "  LISTEN_ADDR=::          address to listen on, IPv4 or IPv6 (:: is both)\n"
    "  LISTEN_PORT=8080        port to listen on (0: the system picks)\n"
    "  BACKLOG=256             requests served at once; more wait for a slot\n"
    "  ALLOW=127.0.0.0/8,::1   clients that may use it; any other gets 403\n"
    "  DENY_TO=0.0.0.0/8,127.0.0.0/8,169.254.0.0/16,224.0.0.0/3,self,::,::1,fe80::/10,ff00::/8\n"
    "                          destinations refused to clients from elsewhere\n"
    "  CONNECT_PORTS=443       ports a CONNECT tunnel may reach (none: no tunnels)\n"
    "  PROXY_FROM=none         balancers that send a PROXY header first\n"
    "  HEAD_TIMEOUT=30         seconds to send a whole request head\n"
    "  IDLE_TIMEOUT=300        seconds a relay or tunnel may pass no byte\n"
    "  CON_TIMEOUT=10          seconds to connect to one address of a server\n"
    "  NAME_CACHE=5            seconds a name lookup is reused\n"
    "  KEEPALIVE_TIMEOUT=60    seconds a client connection may wait for its next request\n"
    "                          (0: one request per connection)\n"
    "  SERVER_POOL=1000        idle server connections any client may take up again\n"
    "                          (at most 32 per server, 15 s each; 0: each stays with its client)\n"
    "  MAX_WAITING=10000       connections that may wait without a slot\n"
    "  MAX_WAITING_PER_CLIENT=1000   of those, from one client address\n"
    "  STOP_TIMEOUT=30         seconds a stop lets requests in flight finish\n"
    "  AUTH_FILE=none          users who may use it (user:crypt(3) hash lines, mode 600);\n"
    "                          others get 407\n"
    "  AUTH_REALM=ferry        the realm named in Proxy-Authenticate\n"
    "  AUTH_CACHE=300          seconds a verified user and password are remembered\n"
    "  ALLOW_HOSTS=none        the only hosts it goes to: names, .domains, or @file\n"
    "  DENY_HOSTS=none         hosts it refuses, in the same form\n"
    "  TUNNEL_CHECK=off        sni: a tunnel's TLS server name must be the CONNECT host\n"
    "  VIA_NAME=<host name>    its name in the Via field it adds (off: none, no loop check)\n"
    "  PARENT=none             a parent proxy to go through: http://[user:password@]host:port\n"
    "  PARENT_BYPASS=localhost,127.0.0.0/8,::1   names, .domains, ranges reached directly\n"
    "  LOG=trace               trace (every step), access (one line per request) or off\n"
    "  METRICS_ADDR=none       address:port ([v6]:port) serving GET /metrics to ALLOW's clients\n"
    "  MAX_RAM_CACHE=100 MAX_HDD_CACHE=20000   accepted, not used\n"
    "SIGHUP reads AUTH_FILE and the @ files again.\n"
    "Example: LISTEN_PORT=3128 ALLOW=127.0.0.0/8,::1,192.168.1.0/24 LOG=access ferry\n"
    "The manual: man ./docs/ferry.8 in the source tree, man 8 ferry once installed\n";

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

// Every connection served or waiting holds a descriptor, a served one two:
// the usual soft limit of 1024 would refuse accepts long before the slots
// and the waiting room are full. The hard limit is what the system allows.
void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// ferry's own descriptors, with margin: the standard streams, the listener,
// the epoll set and its wake-up, the spare, the resolver's files.
constexpr long long own_descriptors = 16;

// Says on one line how many connections the descriptor limit holds when it
// cannot hold BACKLOG requests (two descriptors each) and MAX_WAITING
// waiting connections: past it, clients are told 503.
void warn_if_descriptors_short(const settings& config) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
  long long allowed = static_cast<long long>(limit.rlim_cur);
  long long needed = 2 * config.request_slots + config.max_waiting + own_descriptors;
  if (allowed >= needed) return;
  fprintf(stderr,
          "ferry: the descriptor limit of %lld holds about %lld connections; BACKLOG=%lld and "
          "MAX_WAITING=%lld need %lld descriptors\n",
          allowed, std::max(allowed - own_descriptors, 0LL),
          static_cast<long long>(config.request_slots), static_cast<long long>(config.max_waiting),
          needed);
}

// Everything written so far goes out, and nothing more can be added before
// the process ends; threads still serving are cut.
[[noreturn]] void end_now() {
  flockfile(stdout);
  fflush(stdout);
  _exit(0);
}

// Waits until no request is in flight or `deadline` passes. False when a
// second stop signal came first.
bool wait_for_requests(const intake& in, std::chrono::steady_clock::time_point deadline,
                       const sigset_t& stop_signals) {
  while (requests_in_flight(in) > 0 && std::chrono::steady_clock::now() < deadline) {
    timespec poll_interval{0, 10 * 1000 * 1000};
    if (sigtimedwait(&stop_signals, nullptr, &poll_interval) > 0) return false;
  }
  return true;
}

// Says that ferry stops, how many requests it waits for and how long.
void announce_stop(long in_flight, std::uint16_t grace_seconds) {
  if (logging_off()) return;
  fprintf(stderr, "ferry: stopping; %ld request%s in flight, up to %u s to finish\n", in_flight,
          in_flight == 1 ? "" : "s", static_cast<unsigned>(grace_seconds));
}

// After the first signal: no new connections, connections without a whole
// head closed at once, and up to STOP_TIMEOUT seconds for the requests in
// flight; those still running are cut and write their access lines. A second
// signal ends it at once.
[[noreturn]] void stop(intake& in, std::uint16_t grace_seconds, const sigset_t& stop_signals) {
  announce_stop(requests_in_flight(in), grace_seconds);
  stop_intake(in);
  close_unstarted_requests(in);
  auto now = std::chrono::steady_clock::now();
  if (!wait_for_requests(in, now + std::chrono::seconds(grace_seconds), stop_signals)) end_now();
  if (requests_in_flight(in) == 0) end_now();
  cut_requests(in);
  // A cut request ends at once unless it is still connecting or resolving.
  wait_for_requests(in, std::chrono::steady_clock::now() + std::chrono::seconds(2),
                    stop_signals);
  end_now();
}

// Signals that would end the process by default; SIGHUP reads the files of
// AUTH_FILE, ALLOW_HOSTS and DENY_HOSTS again when there are any, the others
// have no use yet.
constexpr int ignored_signals[] = {SIGHUP, SIGUSR1, SIGUSR2};

// Reads the files again; a file that fails keeps the old one, and says so
// even with LOG=off, as the operator asked for it.
void reread_files(policy_files& files) {
  std::vector<std::string> problems = files.reread();
  for (const std::string& problem : problems) {
    std::string line = "ferry: SIGHUP: " + problem;
    fprintf(stderr, "%s\n", escape_bytes(line, kept_bytes{.space = true}).c_str());
  }
  if (problems.empty() && !logging_off()) fputs("ferry: SIGHUP: files read again\n", stderr);
}

bool is_ignored(int signal_number) {
  for (int ignored : ignored_signals) {
    if (signal_number == ignored) return true;
  }
  return false;
}

// Waits for a stop signal; the others are noted and left at that.
void wait_for_stop(const sigset_t& waited, policy_files& files) {
  for (;;) {
    int signal_number = 0;
    if (sigwait(&waited, &signal_number) != 0) continue;
    if (!is_ignored(signal_number)) return;
    if (signal_number == SIGHUP && files.has_files()) {
      reread_files(files);
      continue;
    }
    if (!logging_off()) {
      fprintf(stderr, "ferry: SIG%s ignored\n", sigabbrev_np(signal_number));
    }
  }
}

}  // namespace
}  // namespace ferry

int main(int argc, char** argv, char** env) {
  using namespace ferry;
  read_arguments(argc, argv);
  // Read-only from here on; it outlives every thread, as main never returns.
  const settings_reading reading = read_settings(env);
  for (const std::string& line : near_miss_warnings(env)) fprintf(stderr, "%s\n", line.c_str());
  // A typo in a setting must never loosen a limit or open a door.
  if (!reading.problem.empty()) {
    fprintf(stderr, "%s\n", reading.problem.c_str());
    return 255;
  }
  const settings& config = reading.values;
  set_log_mode(config.log);
  set_request_counting(config.metrics_on);
  intake* in = create_intake(config);
  if (in == nullptr) return 255;
  raise_descriptor_limit();
  warn_if_descriptors_short(config);
  // A client that goes away must fail a write, not end the process.
  signal(SIGPIPE, SIG_IGN);

  // Blocked here, so every thread inherits it and only the wait below takes them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigset_t waited = stop_signals;
  for (int ignored : ignored_signals) sigaddset(&waited, ignored);
  pthread_sigmask(SIG_BLOCK, &waited, nullptr);

  if (int status = start_intake(*in); status != 0) {
    fflush(stdout);
    return status;
  }
  wait_for_stop(waited, files_of(*in));
  stop(*in, config.stop_timeout_seconds, stop_signals);
}
