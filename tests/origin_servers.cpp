#include "origin_servers.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

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
