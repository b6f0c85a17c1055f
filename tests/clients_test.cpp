// Real clients (curl, wget, Python's urllib) through ferry to a real nginx.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "harness.h"
#include "temp_files.h"

using namespace harness;

namespace {

using temp_files::read_file;
using temp_files::temp_folder;

constexpr char nginx_binary[] = "/usr/sbin/nginx";
constexpr char proxy[] = "http://127.0.0.1:8080";

void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (auto& byte : bytes) byte = static_cast<char>(generator() & 0xff);
  return bytes;
}

// nginx as one foreground process on 127.0.0.1:80, everything it writes kept
// in `folder`. Its access log shows each request line and the
// Proxy-Connection value that reached it.
class nginx_origin {
 public:
  nginx_origin(const std::string& folder, const std::string& keepalive_timeout)
      : folder_(folder) {
    std::filesystem::create_directories(folder + "/www");
    std::filesystem::create_directories(folder + "/temp");
    write_file(folder + "/nginx.conf", configuration(keepalive_timeout));
    std::string config = folder + "/nginx.conf", log = folder + "/error.log";
    std::string output = folder + "/nginx.out";
    pid_ = fork();
    if (pid_ == 0) {
      int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
      execl(nginx_binary, "nginx", "-p", folder.c_str(), "-c", config.c_str(), "-e", log.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  nginx_origin(const nginx_origin&) = delete;
  nginx_origin& operator=(const nginx_origin&) = delete;
  ~nginx_origin() { stop(); }

  // Waits until nginx accepts connections; false if it ended or took too long.
  bool wait_ready(std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int fd = connect_to("127.0.0.1", 80);
      if (fd >= 0) {
        close(fd);
        return true;
      }
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  // Fast shutdown closes every connection it still holds.
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 1000; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) != 0) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(10ms);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  std::string diagnostics() const {
    return read_file(folder_ + "/nginx.out") + read_file(folder_ + "/error.log");
  }
  std::string access_log() const { return read_file(folder_ + "/access.log"); }

 private:
  std::string configuration(const std::string& keepalive_timeout) const {
    const std::string& f = folder_;
    return "daemon off;\nmaster_process off;\nworker_processes 1;\nuser root;\n"
           "pid " + f + "/nginx.pid;\nerror_log " + f + "/error.log;\n"
           "events { worker_connections 256; }\n"
           "http {\n"
           "  types { text/plain txt; application/octet-stream bin; }\n"
           "  default_type application/octet-stream;\n"
           "  log_format relay '$request|$http_proxy_connection|$status';\n"
           "  access_log " + f + "/access.log relay;\n"
           "  keepalive_timeout " + keepalive_timeout + ";\n"
           "  client_body_temp_path " + f + "/temp/body;\n"
           "  proxy_temp_path " + f + "/temp/proxy;\n"
           "  fastcgi_temp_path " + f + "/temp/fastcgi;\n"
           "  uwsgi_temp_path " + f + "/temp/uwsgi;\n"
           "  scgi_temp_path " + f + "/temp/scgi;\n"
           "  server {\n"
           "    listen 127.0.0.1:80;\n"
           "    server_name origin.test;\n"
           "    root " + f + "/www;\n"
           "  }\n"
           "}\n";
  }

  std::string folder_;
  pid_t pid_ = -1;
};

// The origin with its two files, and ferry in front of it.
struct proxy_setup {
  // keepalive_timeout 0: nginx closes after each answer, so ferry's slot ends
  // with the request instead of with nginx's idle wait.
  explicit proxy_setup(const std::string& keepalive_timeout = "0")
      : origin(folder.path(), keepalive_timeout), ferry({"LISTEN_PORT=8080"}) {
    set_hosts("127.0.0.1 localhost\n127.0.0.1 origin.test\n");
    write_file(folder.path() + "/www/small.txt", small);
    write_file(folder.path() + "/www/big.bin", big);
    EXPECT_TRUE(origin.wait_ready()) << "nginx (" << nginx_binary
                                     << ") did not start: " << origin.diagnostics();
    EXPECT_TRUE(ferry.wait_listening(8080));
    idle_descriptors = ferry.open_descriptors();
    idle_threads = ferry.thread_count();
  }

  std::string out(const std::string& name) const { return folder.path() + "/" + name; }

  // Every request served, every slot freed, nothing left open.
  void expect_all_freed(int requests) {
    EXPECT_TRUE(ferry.wait_output(" freed\n", requests));
    EXPECT_EQ(ferry.errors().find("connection faild"), std::string::npos);
    EXPECT_TRUE(ferry.wait_counts(idle_descriptors, idle_threads));
  }

  const std::string small = "small text file\nsecond line\r\nthird line without end";
  const std::string big = random_bytes((2 << 20) + 123, 5);
  temp_folder folder;
  nginx_origin origin;
  ferry_process ferry;
  int idle_descriptors = 0;
  int idle_threads = 0;
};

// Runs a client with no proxy settings of the caller's environment in the way.
command_result run_client(const std::vector<std::string>& argv,
                          const std::vector<std::string>& assignments = {}) {
  std::vector<std::string> command{"env"};
  for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy",
                           "NO_PROXY"}) {
    command.insert(command.end(), {"-u", name});
  }
  command.insert(command.end(), assignments.begin(), assignments.end());
  command.insert(command.end(), argv.begin(), argv.end());
  return run_command(command, {}, 60s);
}

}  // namespace

TEST(Clients, CurlFetchesFilesByteForByte) {
  proxy_setup setup;
  // Two files in one run: curl opens a new connection after ferry closes the first.
  command_result fetched =
      run_client({"curl", "-q", "-sS", "-x", proxy, "http://origin.test/small.txt", "-o",
                  setup.out("small.txt"), "http://origin.test/big.bin", "-o", setup.out("big.bin")});
  EXPECT_EQ(fetched.status, 0) << fetched.errors;
  EXPECT_EQ(read_file(setup.out("small.txt")), setup.small);
  EXPECT_TRUE(read_file(setup.out("big.bin")) == setup.big) << "big.bin differs";

  command_result missing = run_client({"curl", "-q", "-sS", "-x", proxy, "-o", "/dev/null", "-w",
                                       "%{http_code}", "http://origin.test/missing"});
  EXPECT_EQ(missing.status, 0) << missing.errors;
  EXPECT_EQ(missing.output, "404");

  setup.expect_all_freed(3);
  // curl asks for Keep-Alive; nginx saw the absolute request line and Close.
  std::string log = setup.origin.access_log();
  EXPECT_NE(log.find("GET http://origin.test/small.txt HTTP/1.1|Close|200\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("GET http://origin.test/missing HTTP/1.1|Close|404\n"), std::string::npos)
      << log;
}

TEST(Clients, WgetFetchesBinaryFile) {
  proxy_setup setup;
  command_result fetched =
      run_client({"wget", "--no-config", "--tries=1", "-q", "-O", setup.out("big.bin"),
                  "http://origin.test/big.bin"},
                 {std::string("http_proxy=") + proxy});
  EXPECT_EQ(fetched.status, 0) << fetched.errors;
  EXPECT_TRUE(read_file(setup.out("big.bin")) == setup.big) << "big.bin differs";
  setup.expect_all_freed(1);
  EXPECT_NE(setup.origin.access_log().find("GET http://origin.test/big.bin HTTP/1.1|"),
            std::string::npos);
}

TEST(Clients, PythonUrllibFetchesFiles) {
  proxy_setup setup;
  const std::string script =
      "import sys, urllib.request\n"
      "opener = urllib.request.build_opener(urllib.request.ProxyHandler({'http': sys.argv[1]}))\n"
      "for url, path in zip(sys.argv[2::2], sys.argv[3::2]):\n"
      "    with opener.open(url, timeout=30) as answer, open(path, 'wb') as out:\n"
      "        out.write(answer.read())\n";
  command_result fetched = run_client(
      {"/usr/bin/python3", "-I", "-c", script, proxy, "http://origin.test/small.txt",
       setup.out("small.txt"), "http://origin.test/big.bin", setup.out("big.bin")});
  EXPECT_EQ(fetched.status, 0) << fetched.errors;
  EXPECT_EQ(read_file(setup.out("small.txt")), setup.small);
  EXPECT_TRUE(read_file(setup.out("big.bin")) == setup.big) << "big.bin differs";
  setup.expect_all_freed(2);
}

TEST(Clients, SlotWaitsWhileOriginKeepsConnection) {
  // nginx keeps the connection for 60 s; only its shutdown ends the relay.
  proxy_setup setup("60");
  command_result fetched = run_client(
      {"curl", "-q", "-sS", "-x", proxy, "http://origin.test/small.txt", "-o", setup.out("small")});
  EXPECT_EQ(fetched.status, 0) << fetched.errors;
  EXPECT_EQ(read_file(setup.out("small")), setup.small);
  EXPECT_TRUE(setup.ferry.wait_output("send/receive\n"));
  EXPECT_EQ(setup.ferry.output().find("freed"), std::string::npos);

  setup.origin.stop();
  setup.expect_all_freed(1);
}
