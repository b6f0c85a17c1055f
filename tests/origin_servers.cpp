#include "origin_servers.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace harness {

scripted_origin::scripted_origin(const std::string& ip, script behaviour, int workers,
                                 std::uint16_t port)
    : listen_fd_(listen_on(ip, port, 1024)), behaviour_(std::move(behaviour)) {
  EXPECT_GE(listen_fd_, 0) << "cannot listen on " << ip << ":" << port;
  for (int i = 0; i < workers && listen_fd_ >= 0; ++i) workers_.emplace_back([this] { work(); });
}

scripted_origin::~scripted_origin() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (int fd : open_) shutdown(fd, SHUT_RDWR);
  }
  if (listen_fd_ >= 0) shutdown(listen_fd_, SHUT_RDWR);  // wakes every accept
  for (auto& worker : workers_) worker.join();
  if (listen_fd_ >= 0) close(listen_fd_);
}

void scripted_origin::work() {
  for (;;) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (stopping_) return;
      if (errno != EINTR && errno != ECONNABORTED) std::this_thread::sleep_for(10ms);
      continue;
    }
    ++accepted_;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) {
        close(fd);
        return;
      }
      open_.insert(fd);
    }
    std::string got = behaviour_(fd);
    std::lock_guard lock(mutex_);
    open_.erase(fd);
    close(fd);
    ++done_;
    if (!got.empty()) received_.push_back(std::move(got));
    changed_.notify_all();
  }
}

bool scripted_origin::wait_done(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return done_ >= count; });
}

std::vector<std::string> scripted_origin::received() {
  std::lock_guard lock(mutex_);
  return received_;
}

long scripted_origin::count(const std::string& record) {
  std::lock_guard lock(mutex_);
  return std::count(received_.begin(), received_.end(), record);
}

scripted_origin::script answer_and_drain(std::string answer) {
  return [answer](int fd) {
    std::string got = read_head(fd);
    send_within(fd, answer);
    shutdown(fd, SHUT_WR);
    return got + read_reply(fd).data;
  };
}

namespace {

// Makes, in `folder`, a certificate authority (ca.pem) and a certificate for
// origin.test signed by it (origin.pem, origin.key). A failure fails the test.
void make_certificates(const std::string& folder) {
  temp_files::write_file(folder + "/openssl.cnf",
                         "[req]\ndistinguished_name = name\n[name]\n"
                         "[ca]\nbasicConstraints = critical, CA:TRUE\n"
                         "keyUsage = critical, keyCertSign\nsubjectKeyIdentifier = hash\n"
                         "[origin]\nbasicConstraints = critical, CA:FALSE\n"
                         "keyUsage = critical, digitalSignature\nextendedKeyUsage = serverAuth\n"
                         "subjectAltName = DNS:origin.test\nsubjectKeyIdentifier = hash\n"
                         "authorityKeyIdentifier = keyid\n");
  auto make = [&](const std::string& name, const std::string& subject,
                  const std::vector<std::string>& signer) {
    std::vector<std::string> command{
        "openssl", "req", "-x509", "-config", folder + "/openssl.cnf", "-extensions", name,
        "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
        "-subj", subject, "-keyout", folder + "/" + name + ".key",
        "-out", folder + "/" + name + ".pem"};
    command.insert(command.end(), signer.begin(), signer.end());
    command_result made = run_command(command);
    EXPECT_EQ(made.status, 0) << made.errors;
  };
  make("ca", "/CN=ferry test authority", {});
  make("origin", "/CN=origin.test", {"-CA", folder + "/ca.pem", "-CAkey", folder + "/ca.key"});
}

// Writes nginx's configuration into `folder` and returns the command that runs it.
std::vector<std::string> nginx_command(const std::string& folder, const std::string& ip,
                                       const std::string& keepalive_timeout, scheme served) {
  const std::string& f = folder;
  std::filesystem::create_directories(f + "/www");
  std::filesystem::create_directories(f + "/temp");
  const std::string host = ip.find(':') != std::string::npos ? "[" + ip + "]" : ip;
  std::string listen = "    listen " + host + ":80 backlog=1024;\n";
  if (served == scheme::https) {
    make_certificates(f);
    listen = "    listen " + host + ":443 ssl backlog=1024;\n"
             "    ssl_certificate " + f + "/origin.pem;\n"
             "    ssl_certificate_key " + f + "/origin.key;\n";
  }
  temp_files::write_file(
      f + "/nginx.conf",
      "daemon off;\nmaster_process off;\nworker_processes 1;\nuser root;\n"
      "pid " + f + "/nginx.pid;\nerror_log " + f + "/error.log;\n"
      "worker_rlimit_nofile 8192;\nevents { worker_connections 4096; }\n"
      "http {\n"
      "  types { text/plain txt; text/html html; application/octet-stream bin; }\n"
      "  default_type application/octet-stream;\n"
      "  log_format relay '$request|$http_proxy_connection|$status';\n"
      "  access_log " + f + "/access.log relay;\n"
      "  keepalive_timeout " + keepalive_timeout + ";\n"
      "  client_body_temp_path " + f + "/temp/body;\n"
      "  proxy_temp_path " + f + "/temp/proxy;\n"
      "  fastcgi_temp_path " + f + "/temp/fastcgi;\n"
      "  uwsgi_temp_path " + f + "/temp/uwsgi;\n"
      "  scgi_temp_path " + f + "/temp/scgi;\n"
      "  server {\n" + listen +
      "    root " + f + "/www;\n"
      "    add_header X-Request $request_uri always;\n"
      "  }\n"
      "}\n");
  return {"/usr/sbin/nginx", "-p", f, "-c", f + "/nginx.conf", "-e", f + "/error.log"};
}

}  // namespace

nginx_origin::nginx_origin(const std::string& ip, const std::string& keepalive_timeout,
                           scheme served)
    : ip_(ip),
      port_(served == scheme::https ? 443 : 80),
      program_(nginx_command(folder_.path(), ip, keepalive_timeout, served),
               folder_ / "nginx.out") {}

bool nginx_origin::wait_ready(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline && program_.running()) {
    int fd = connect_to(ip_, port_);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

std::string nginx_origin::diagnostics() const {
  using temp_files::read_file;
  return read_file(folder_ / "nginx.out") + read_file(folder_ / "error.log");
}

}  // namespace harness

namespace reliability {

using namespace std::string_literals;

namespace {

const std::string mismatch_status = "HTTP/1.0 500 head mismatch";

// Random bytes that every body is cut from: the body of request `id` is the
// slice of its size at an offset of its own, so two requests' answers differ.
const std::string& body_pool() {
  static const std::string pool = [] {
    std::mt19937_64 generator(20240607);
    std::string bytes(2 * max_body + 4096, '\0');
    for (std::size_t at = 0; at < bytes.size(); at += 8) {
      std::uint64_t value = generator();
      std::memcpy(&bytes[at], &value, 8);
    }
    return bytes;
  }();
  return pool;
}

std::size_t body_offset(std::uint64_t id, std::size_t size) {
  return static_cast<std::size_t>((id * 0x9E3779B97F4A7C15ull) >> 20) % (body_pool().size() - size);
}

std::string answer_head(std::uint64_t id, std::size_t size, bool relayed_by_ferry = false) {
  return "HTTP/1.0 200 OK\r\nX-Id: " + std::to_string(id) +
         "\r\nContent-Length: " + std::to_string(size) +
         (relayed_by_ferry ? "\r\nConnection: close\r\n\r\n" : "\r\n\r\n");
}

// Ends the answer and reads until ferry closes its end.
void drain(int fd) {
  shutdown(fd, SHUT_WR);
  read_reply(fd, 60s);
}

// "/gen/100/7" gives {"gen", "100", "7"}.
std::vector<std::string> path_parts(const std::string& path) {
  std::vector<std::string> parts;
  std::istringstream split(path.substr(1));
  for (std::string part; std::getline(split, part, '/');) parts.push_back(part);
  return parts;
}

void stream(int fd, std::uint64_t id) {
  std::string_view pool = body_pool();
  std::size_t at = body_offset(id, 0), left = stream_length;
  if (!send_within(fd, answer_head(id, stream_length), 60s)) return;
  while (left > 0) {
    std::size_t piece = std::min({left, pool.size() - at, std::size_t{65536}});
    if (!send_within(fd, pool.substr(at, piece), 60s)) return;
    left -= piece;
    at = (at + piece) % pool.size();
  }
}

// The head as a ferry with a server pool forwards it: the client's close is
// its own, so neither it nor the old Proxy-Connection goes on.
std::string pooled_head(const std::string& path, std::uint64_t id) {
  std::string head = request_head("origin.test", path, id, true);
  for (std::string_view line : {"Proxy-Connection: Close\r\n", "Connection: close\r\n"}) {
    if (auto at = head.find(line); at != std::string::npos) head.erase(at, line.size());
  }
  return head;
}

// Answers one head of ours as its path says.
std::string answer_path(int fd, const std::string& head) {
  // The path, whether the target came in absolute form or as the path alone.
  auto start = head.find(' ') + 1;
  std::string path = head.substr(start, head.find(' ', start) - start);
  if (auto scheme = path.find("://"); scheme != std::string::npos) {
    path.erase(0, path.find('/', scheme + 3));
  }
  if (head.find("\r\n\r\n") == std::string::npos || path.rfind('/', 0) != 0) return unanswered;
  std::vector<std::string> parts = path_parts(path);
  if (parts.size() < 2) return unanswered;
  std::uint64_t id = std::strtoull(parts.back().c_str(), nullptr, 10);
  std::size_t size = parts.size() > 2 ? std::strtoul(parts[1].c_str(), nullptr, 10) : 0;
  size = std::min(size, max_body);
  if (head != request_head("origin.test", path, id, true) && head != pooled_head(path, id)) {
    send_within(fd, mismatch_status + "\r\n\r\n", 60s);
    drain(fd);
    return mismatched;
  }
  const std::string& action = parts[0];
  if (action == "gen") {
    send_within(fd, expected_answer(id, size, false), 60s);
    drain(fd);
  } else if (action == "hold") {
    send_within(fd, expected_answer(id, size, false), 60s);
    std::this_thread::sleep_for(1s);
  } else if (action == "reset") {
    std::string answer = expected_answer(id, size, false);
    send_within(fd, std::string_view(answer).substr(0, answer.size() - size / 2), 60s);
    reset_on_close(fd);
  } else if (action == "stream") {
    stream(fd, id);
  }
  return "";
}

std::string padded(const std::string& start, std::size_t length, char fill) {
  std::string end = "\r\n\r\n";
  return start + std::string(length - start.size() - end.size(), fill) + end;
}

std::string repeated(const std::string& piece, std::size_t length) {
  std::string text;
  while (text.size() + piece.size() <= length) text += piece;
  return text;
}

}  // namespace

std::string expected_answer(std::uint64_t id, std::size_t size, bool relayed_by_ferry) {
  return answer_head(id, size, relayed_by_ferry) + body_pool().substr(body_offset(id, size), size);
}

bool is_stream_prefix(std::uint64_t id, std::string_view data) {
  std::string head = answer_head(id, stream_length, true);
  if (data.size() <= head.size()) return head.compare(0, data.size(), data) == 0;
  if (data.compare(0, head.size(), head) != 0) return false;
  const std::string& pool = body_pool();
  std::size_t at = body_offset(id, 0);
  for (std::size_t i = head.size(); i < data.size(); ++i, at = (at + 1) % pool.size()) {
    if (data[i] != pool[at]) return false;
  }
  return true;
}

std::string request_head(const std::string& host, const std::string& path, std::uint64_t id,
                         bool forwarded) {
  // The client asks to close, as it reads its answer until the close; the
  // server gets the path alone and a Connection: close of ferry's in its place.
  std::string head = "GET " + (forwarded ? "" : "http://" + host) + path +
                     " HTTP/1.1\r\nHost: " + host + "\r\n";
  if (id % 3 != 0)
    head += forwarded ? "Proxy-Connection: Close\r\n" : "Proxy-Connection: Keep-Alive\r\n";
  return head + "X-Pad: " + std::string(id % 97, static_cast<char>('a' + id % 26)) +
         "\r\nAccept: */*\r\nConnection: close\r\n\r\n";
}

scripted_origin::script path_answers() {
  return [](int fd) { return answer_path(fd, read_head(fd)); };
}

scripted_origin::script sink_answers() {
  return [](int fd) {
    if (!read_up_to(fd, 1, 10s).empty()) send_within(fd, sink_answer, 10s);
    drain(fd);
    return std::string();
  };
}

proxy_rig::proxy_rig(const std::vector<std::string>& environment, int sink_workers,
                     const std::vector<std::string>& prefix, const std::string& binary)
    : origin("127.0.0.1", path_answers()),
      sink("127.0.0.2", sink_answers(), sink_workers),
      ferry(environment, {.binary = binary, .prefix = prefix, .keep_trace = false}) {
  // ferry reads the hosts file at each request, so setting it now is soon enough.
  set_hosts("127.0.0.1 origin.test\n127.0.0.2 sink.test\n127.0.0.3 refused.test\n");
  EXPECT_TRUE(ferry.wait_listening(8080, prefix.empty() ? 20s : 120s));
  idle_descriptors = ferry.open_descriptors();
  idle_threads = ferry.thread_count();
}

std::string judge(const reply& got, std::string_view expected) {
  if (got.end == ending::unconnected) return "unconnected";
  if (got.end == ending::timed_out) return "timed_out";
  if (got.data.empty()) return got.end == ending::reset ? "refused" : "closed_unanswered";
  if (got.data == expected) return got.end == ending::closed ? "ok" : "reset_after_answer";
  if (got.data == host_failed) return "host_failed";
  if (is_ferry_answer(got.data)) return "ferry_refused";
  if (got.data.rfind(mismatch_status, 0) == 0) return "head_mismatch";
  if (got.data.size() < expected.size() && expected.compare(0, got.data.size(), got.data) == 0) {
    return "truncated";
  }
  return "corrupted";
}

std::string ask_through_bursts(const std::string& head, std::string_view expected,
                               const burst_window* bursts, std::atomic<long>& retries,
                               reply* last) {
  auto deadline = steady_clock::now() + 120s;
  for (;;) {
    burst_window::mark start = bursts != nullptr ? bursts->now() : burst_window::mark{false, 0};
    reply got = exchange(head);
    std::string verdict = judge(got, expected);
    if (last != nullptr) *last = got;
    bool explained = bursts != nullptr && bursts->covers(start);
    if (!is_refusal(verdict) || !explained || steady_clock::now() >= deadline) return verdict;
    ++retries;
    std::this_thread::sleep_for(2ms);
  }
}

void ordinary_traffic::run() {
  const std::size_t sizes[] = {0, 1, 100, 4095, 4096, 4097, 20000, 65536, 131072, largest_};
  while (!stopping_) {
    std::uint64_t id = next_id_++;
    std::size_t size = sizes[id % std::size(sizes)];
    std::string head = request_head("origin.test", gen_path(id, size), id);
    outcomes_.add(ask_through_bursts(head, expected_answer(id, size), bursts_, retries_));
  }
}

void figures::publish() const {
  std::string line = "FIGURES " + test_, json = "{\"test\":\"" + test_ + "\"";
  for (const auto& [key, value] : entries_) {
    line += " " + key + "=" + value;
    json += ",\"" + key + "\":" + value;
  }
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  if (const char* file = std::getenv("FERRY_FIGURES_FILE")) {
    std::ofstream(file, std::ios::app) << json << "}\n";
  }
}

std::vector<hostile_head> hand_written_heads() {
  const std::string to_sink = "GET http://sink.test/h HTTP/1.1\r\nHost: sink.test\r\nX-Fill: ";
  const std::string zeros =
      "GET http://sink.test/ HTTP/1.1\r\nHost: sink.test\r\nX: a\0b\0\0\r\n\r\n"s;
  // A head that never ends comes with the client's end of stream, so ferry
  // answers it; failure is any of ferry's own answers (400, 403, 431, 502, 508).
  return {
      {"exactly_4096", padded(to_sink, head_read_size, 'f'), expect::sink},
      {"one_longer", padded(to_sink, head_read_size + 1, 'f'), expect::sink},
      {"much_longer", padded(to_sink, 60000, 'f'), expect::sink},
      {"past_the_limit", padded(to_sink, max_head_size + 1, 'f'), expect::failure},
      {"no_blank_line", "GET http://sink.test/ HTTP/1.1\r\nHost: sink.test\r\nAccept: */*",
       expect::failure},
      {"zero_bytes", zeros, expect::failure},
      {"zero_byte_first", "\0GET / HTTP/1.1\r\nHost: sink.test\r\n\r\n"s, expect::failure},
      {"carriage_returns_alone", "GET http://sink.test/ HTTP/1.1\rHost: sink.test\rX: y\r\r",
       expect::failure},
      {"line_feeds_alone", "GET http://sink.test/ HTTP/1.1\nHost: sink.test\nX: y\n\n",
       expect::sink},
      {"only_carriage_returns", std::string(4096, '\r'), expect::failure},
      {"only_line_feeds", std::string(5000, '\n'), expect::failure},
      {"host_of_300", "GET / HTTP/1.1\r\nHost: " + std::string(300, 'a') + "\r\n\r\n",
       expect::failure},
      {"host_of_300_labels", "GET / HTTP/1.1\r\nHost: " + repeated("ab.", 300) + "\r\n\r\n",
       expect::failure},
      {"host_keywords", "GET / HTTP/1.1\r\n" + repeated("Host: ", 4090), expect::failure},
      {"two_hosts", "GET / HTTP/1.1\r\nHost: sink.test\r\nHost: origin.test\r\n\r\n",
       expect::failure},
      {"keep_alive_lines",
       "GET http://sink.test/ HTTP/1.1\r\nHost: sink.test\r\n" +
           repeated("Proxy-Connection: Keep-Alive\r\n", 4000) + "\r\n",
       expect::sink},
      // Host words inside another field's value name nothing.
      {"mixed_keywords",
       "GET / HTTP/1.1\r\nX: " + repeated("Cache-Control: Host: Proxy-Connection: ", 4000) +
           "\r\nHost: sink.test\r\n\r\n",
       expect::sink},
      {"host_only_in_body",
       "POST / HTTP/1.1\r\nContent-Length: 17\r\n\r\nHost: sink.test\r\n", expect::failure},
      {"non_ascii_host", "GET / HTTP/1.1\r\nHost: s\xc3\xafnk.test\r\n\r\n", expect::failure},
      {"non_ascii_values", "GET /\xff HTTP/1.1\r\nHost: sink.test\r\nX: \x80\xfe\xff\r\n\r\n",
       expect::sink},
      {"high_bytes_only", std::string(3000, '\xff'), expect::failure},
      {"names_the_proxy", "GET http://2130706433:8080/ HTTP/1.1\r\n\r\n", expect::failure},
      {"credentials",
       "GET http://sink.test/ HTTP/1.1\r\n" + credentials +
           "Proxy-Authorization: Basic cHJveHk=\r\n\r\n",
       expect::sink},
      // Control bytes and line breaks meant to forge lines of a terminal or a head.
      {"escapes_in_values",
       "GET http://sink.test/ HTTP/1.1\r\nX-Title: \x1b]0;owned\x07\x1b[2J\x1b[1A\r\n\r\n",
       expect::sink},
      {"encoded_line_break", "GET http://sink.test/a%0d%0aSet-Cookie:%20x HTTP/1.1\r\n\r\n",
       expect::sink},
      {"bare_cr_in_value", "GET http://sink.test/ HTTP/1.1\r\nX: a\rHost: origin.test\r\n\r\n",
       expect::failure},
      {"folded_value", "GET http://sink.test/ HTTP/1.1\r\nX: a\r\n Host: origin.test\r\n\r\n",
       expect::failure},
      {"connect_without_port", "CONNECT sink.test HTTP/1.1\r\nHost: sink.test\r\n\r\n",
       expect::failure},
      {"connect_absolute_url", "CONNECT http://sink.test:443/ HTTP/1.1\r\n\r\n", expect::failure},
      {"connect_to_port_80", "CONNECT sink.test:80 HTTP/1.1\r\n\r\n", expect::failure},
      {"connect_port_0", "CONNECT sink.test:0 HTTP/1.1\r\n\r\n", expect::failure},
      {"connect_port_65536", "CONNECT sink.test:65536 HTTP/1.1\r\n\r\n", expect::failure},
      {"connect_user", "CONNECT user@sink.test:443 HTTP/1.1\r\n\r\n", expect::failure},
      {"connect_huge_host", "CONNECT " + std::string(60000, 'a') + ":443 HTTP/1.1\r\n\r\n",
       expect::failure},
      {"connect_escape_in_host", "CONNECT sink\x1b[2J.test:443 HTTP/1.1\r\n\r\n", expect::failure},
  };
}

}  // namespace reliability

namespace reliability {

reply kept_client::ask(const std::string& head, std::chrono::milliseconds timeout) {
  reply got;
  if (fd_ < 0) fd_ = connect_to("127.0.0.1", port_);
  if (fd_ < 0) return got;
  got.end = ending::timed_out;
  if (send_within(fd_, head, timeout)) {
    got.data = read_head(fd_, timeout);
    std::size_t head_end = got.data.find("\r\n\r\n");
    std::size_t length_at = got.data.find("\r\nContent-Length: ");
    if (head_end != std::string::npos && length_at < head_end) {
      std::size_t whole = head_end + 4 + std::stoul(got.data.substr(length_at + 18));
      if (got.data.size() < whole) got.data += read_up_to(fd_, whole - got.data.size(), timeout);
      // A whole answer counts as an orderly end, as a close does for others.
      if (got.data.size() == whole) got.end = ending::closed;
    }
  }
  // A kept connection that ends between requests is a client's to reopen.
  if (got.end != ending::closed || got.data.find("\r\nConnection: close\r\n") != std::string::npos) {
    close(fd_);
    fd_ = -1;
  }
  return got;
}

}  // namespace reliability
