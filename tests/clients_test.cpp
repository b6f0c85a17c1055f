// Real clients (curl, wget, Python's urllib) through ferry to a real nginx.
#include <gtest/gtest.h>

#include "harness.h"
#include "origin_servers.h"
#include "temp_files.h"

using namespace harness;

namespace {

using temp_files::read_file;
using temp_files::temp_folder;
using temp_files::write_file;

constexpr char proxy[] = "http://127.0.0.1:8080";

// The origin with its two files, and ferry in front of it.
struct proxy_setup {
  explicit proxy_setup(const std::string& keepalive_timeout = "0")
      : origin("127.0.0.1", keepalive_timeout), ferry({"LISTEN_PORT=8080"}) {
    set_hosts("127.0.0.1 localhost\n127.0.0.1 origin.test\n");
    write_file(origin.www() + "/small.txt", small);
    write_file(origin.www() + "/big.bin", big);
    EXPECT_TRUE(origin.wait_ready()) << "nginx did not start: " << origin.diagnostics();
    EXPECT_TRUE(ferry.wait_listening(8080));
    idle_descriptors = ferry.open_descriptors();
    idle_threads = ferry.thread_count();
  }

  // Where a client puts what it fetched.
  std::string out(const std::string& name) const { return downloads / name; }

  // Every request served, every slot freed, nothing left open.
  void expect_all_freed(int requests) {
    EXPECT_TRUE(ferry.wait_output(" freed\n", requests));
    EXPECT_EQ(ferry.errors().find("connection faild"), std::string::npos);
    EXPECT_TRUE(ferry.wait_counts(idle_descriptors, idle_threads));
  }

  const std::string small = "small text file\nsecond line\r\nthird line without end";
  const std::string big = random_bytes((2 << 20) + 123, 5);
  temp_folder downloads;
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
