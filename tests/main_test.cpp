// The command line: --help, --version and a bad setting, through the real
// binary.
#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;

TEST(Arguments, HelpVersionAndABadLogSetting) {
  command_result help = run_command({FERRY_BINARY, "--help"}, {}, 10s);
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.output.starts_with("Usage: ferry [-h | --help | --version]\n")) << help.output;
  for (const char* name : {"LISTEN_ADDR", "LISTEN_PORT", "BACKLOG", "ALLOW", "DENY_TO",
                           "CONNECT_PORTS", "PROXY_FROM", "HEAD_TIMEOUT", "IDLE_TIMEOUT",
                           "CON_TIMEOUT", "NAME_CACHE", "LOG", "MAX_RAM_CACHE", "MAX_HDD_CACHE",
                           "KEEPALIVE_TIMEOUT", "MAX_WAITING", "MAX_WAITING_PER_CLIENT",
                           "STOP_TIMEOUT", "AUTH_FILE", "AUTH_REALM", "AUTH_CACHE", "ALLOW_HOSTS",
                           "DENY_HOSTS", "TUNNEL_CHECK", "METRICS_ADDR"}) {
    EXPECT_NE(help.output.find(std::string(name) + "="), std::string::npos) << name;
  }
  command_result version = run_command({FERRY_BINARY, "--version"}, {}, 10s);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output, "ferry 0.1.0\n");
  EXPECT_EQ(help.errors + version.errors, "");
  command_result bad_log = run_command({FERRY_BINARY}, {"LOG=loud"}, 10s);
  EXPECT_EQ(bad_log.status, 255);
  EXPECT_EQ(count_of(bad_log.errors, "\n"), 1) << bad_log.errors;
  EXPECT_TRUE(bad_log.errors.starts_with("LOG=")) << bad_log.errors;
}
