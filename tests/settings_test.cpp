// The settings reader, fed environment vectors of our own.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "settings.h"
#include "helpers.h"
#include "via.h"

#include <sys/stat.h>

using namespace ferry;

namespace {

auto fields(const settings& s) {
  return std::tie(s.listen_address, s.listen_port, s.request_slots, s.allowed_clients,
                  s.denied_destinations, s.tunnel_ports, s.balancers, s.head_timeout_seconds,
                  s.idle_timeout_seconds, s.connect_timeout_seconds, s.name_cache_seconds, s.log,
                  s.keepalive_timeout_seconds, s.max_waiting, s.max_waiting_per_client,
                  s.stop_timeout_seconds, s.metrics_on);
}

// Runs the reader over `entries` as a null-terminated vector.
settings_reading read(std::vector<std::string> entries) {
  std::vector<char*> env;
  for (auto& entry : entries) env.push_back(entry.data());
  env.push_back(nullptr);
  return read_settings(env.data());
}

void expect_defaults(const settings_reading& reading) {
  EXPECT_EQ(reading.problem, "");
  EXPECT_TRUE(fields(reading.values) == fields(settings()));
}

TEST(Settings, DefaultsAreSafeAndGoodValuesLandInTheirFields) {
  const settings defaults;
  EXPECT_EQ(format_host(defaults.listen_address), "[::]");
  EXPECT_EQ(defaults.listen_port, 8080);
  EXPECT_EQ(defaults.request_slots, 256);
  EXPECT_EQ(format_address_list(defaults.allowed_clients), "127.0.0.0/8,::1");
  EXPECT_EQ(format_address_list(defaults.denied_destinations),
            "0.0.0.0/8,127.0.0.0/8,169.254.0.0/16,224.0.0.0/3,self,::,::1,fe80::/10,ff00::/8");
  EXPECT_EQ(defaults.tunnel_ports, (port_list{{443, 443}}));
  EXPECT_EQ(defaults.head_timeout_seconds, 30);
  EXPECT_EQ(defaults.idle_timeout_seconds, 300);
  EXPECT_EQ(defaults.connect_timeout_seconds, 10);
  EXPECT_EQ(defaults.name_cache_seconds, 5);
  EXPECT_EQ(defaults.keepalive_timeout_seconds, 60);
  EXPECT_EQ(defaults.max_waiting, 10000);
  EXPECT_EQ(defaults.max_waiting_per_client, 1000);
  EXPECT_EQ(defaults.stop_timeout_seconds, 30);
  EXPECT_EQ(defaults.log, log_mode::trace);
  EXPECT_EQ(chain_summary(defaults), "VIA_NAME=" + default_via_name() + " PARENT=none");
  EXPECT_TRUE(bypasses(defaults.direct_targets, "localhost", {}));
  expect_defaults(read({}));
  expect_defaults(read({"PATH=/bin", "HOME=/root", "=8081", ""}));

  settings_reading reading =
      read({"LISTEN_ADDR=127.0.0.2", "LISTEN_PORT=1", "BACKLOG=5", "ALLOW=10.0.0.0/8, 2001:db8::/32",
            "DENY_TO=none", "CONNECT_PORTS=443,8000-8080", "PROXY_FROM=::1",
            "HEAD_TIMEOUT=0", "IDLE_TIMEOUT=065535", "CON_TIMEOUT=4", "NAME_CACHE=0",
            "LOG=access", "MAX_RAM_CACHE=2", "MAX_HDD_CACHE=3", "KEEPALIVE_TIMEOUT=0",
            "MAX_WAITING=1000000", "MAX_WAITING_PER_CLIENT=1", "STOP_TIMEOUT=0",
            "VIA_NAME=off", "PARENT=http://u:p@gw.corp:3128", "PARENT_BYPASS=.corp",
            "METRICS_ADDR=[::1]:09090"});
  ASSERT_EQ(reading.problem, "");
  const settings& values = reading.values;
  EXPECT_EQ(format_host(values.listen_address), "127.0.0.2");
  EXPECT_EQ(values.listen_port, 1);
  EXPECT_EQ(values.request_slots, 5);
  EXPECT_EQ(format_address_list(values.allowed_clients), "10.0.0.0/8,2001:db8::/32");
  EXPECT_EQ(values.denied_destinations, address_list{});
  EXPECT_EQ(values.tunnel_ports, (port_list{{443, 443}, {8000, 8080}}));
  EXPECT_EQ(format_address_list(values.balancers), "::1");
  EXPECT_EQ(format_host(read({"LISTEN_ADDR=::1"}).values.listen_address), "[::1]");
  EXPECT_EQ(values.head_timeout_seconds, 0);
  EXPECT_EQ(values.idle_timeout_seconds, 65535);
  EXPECT_EQ(values.connect_timeout_seconds, 4);
  EXPECT_EQ(values.name_cache_seconds, 0);
  EXPECT_EQ(values.keepalive_timeout_seconds, 0);
  EXPECT_EQ(values.max_waiting, 1000000);
  EXPECT_EQ(values.max_waiting_per_client, 1);
  EXPECT_EQ(values.stop_timeout_seconds, 0);
  EXPECT_EQ(values.log, log_mode::access);
  EXPECT_EQ(chain_summary(values), "VIA_NAME=off PARENT=gw.corp:3128");
  EXPECT_FALSE(bypasses(values.direct_targets, "localhost", {}));  // a set value replaces it
  EXPECT_FALSE(defaults.metrics_on);
  EXPECT_EQ(format_endpoint(values.metrics_address, values.metrics_port), "[::1]:9090");
}

// One or two values a setting: the parsers' own tests cover the spellings.
TEST(Settings, BadValueIsNamedOnOneLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"LISTEN_ADDR=127.1", R"(LISTEN_ADDR="127.1" is not valid: not an IPv4 or IPv6 address)"},
      {"LISTEN_ADDR=[::1]", R"(LISTEN_ADDR="[::1]" is not valid)"},
      {"ALLOW=10.0.0.1\n\x7f\xff", R"(ALLOW="10.0.0.1\x0a\x7f\xff" is not valid: "10.0.0.1)"},
      {"DENY_TO=10.1.2.3/8", R"(DENY_TO="10.1.2.3/8" is not valid: "10.1.2.3/8": host bits)"},
      {"CONNECT_PORTS=0", R"(CONNECT_PORTS="0" is not valid: "0": not a port)"},
      {"HEAD_TIMEOUT=-1", R"(HEAD_TIMEOUT="-1" is not valid: not a whole number)"},
      {"HEAD_TIMEOUT= 30", R"(HEAD_TIMEOUT=" 30" is not valid)"},
      {"IDLE_TIMEOUT=30s", R"(IDLE_TIMEOUT="30s" is not valid)"},
      {"IDLE_TIMEOUT=65536", R"(IDLE_TIMEOUT="65536" is not valid)"},
      {"DENY_TO=self,selfish", R"(DENY_TO="self,selfish" is not valid: "selfish")"},
      {"ALLOW=self", R"(ALLOW="self" is not valid: "self": not an IPv4 or IPv6 address)"},
      {"LOG=loud", R"(LOG="loud" is not valid: not one of trace, access, off)"},
      {"KEEPALIVE_TIMEOUT=65536", R"(KEEPALIVE_TIMEOUT="65536" is not valid: not a whole number)"},
      {"MAX_WAITING=0", R"(MAX_WAITING="0" is not valid: not a whole number 1 to 1000000)"},
      {"MAX_WAITING=1000001", R"(MAX_WAITING="1000001" is not valid)"},
      {"MAX_WAITING_PER_CLIENT=0",
       R"(MAX_WAITING_PER_CLIENT="0" is not valid: not a whole number 1 to 1000000)"},
      {"SERVER_POOL=100001", R"(SERVER_POOL="100001" is not valid: not a whole number 0 to 100000)"},
      {"STOP_TIMEOUT=65536", R"(STOP_TIMEOUT="65536" is not valid: not a whole number of seconds)"},
      {"AUTH_FILE=/nonexistent", R"(AUTH_FILE="/nonexistent" is not valid: /nonexistent: )"},
      {"AUTH_REALM=a\"b", R"(AUTH_REALM="a"b" is not valid: a quote, backslash or control)"},
      {"AUTH_CACHE=5m", R"(AUTH_CACHE="5m" is not valid: not a whole number of seconds)"},
      {"ALLOW_HOSTS=a..example", R"(ALLOW_HOSTS="a..example" is not valid: )"},
      {"DENY_HOSTS=@/nonexistent", R"(DENY_HOSTS="@/nonexistent" is not valid: )"},
      {"TUNNEL_CHECK=on", R"(TUNNEL_CHECK="on" is not valid: not one of off, sni)"},
      {"VIA_NAME=a b", R"(VIA_NAME="a b" is not valid: )"},
      {"PARENT=gw:3128", R"(PARENT="gw:3128" is not valid: )"},
      {"PARENT_BYPASS=a,,b", R"(PARENT_BYPASS="a,,b" is not valid: empty item)"},
      {"METRICS_ADDR=9090", R"(METRICS_ADDR="9090" is not valid: not address:port (an IPv6)"},
      {"METRICS_ADDR=::1:9090", R"(METRICS_ADDR="::1:9090" is not valid)"},
      {"METRICS_ADDR=127.0.0.1:0", R"(METRICS_ADDR="127.0.0.1:0" is not valid)"},
      // Numbers: decimal digits only, in range.
      {"LISTEN_PORT=abc", R"(LISTEN_PORT="abc" is not valid: not a whole number 0 to 65535)"},
      {"LISTEN_PORT=3128x", R"(LISTEN_PORT="3128x" is not valid)"},
      {"LISTEN_PORT=65616", R"(LISTEN_PORT="65616" is not valid)"},
      {"LISTEN_PORT=-1", R"(LISTEN_PORT="-1" is not valid)"},
      {"LISTEN_PORT= 80", R"(LISTEN_PORT=" 80" is not valid)"},
      {"CON_TIMEOUT=ten", R"(CON_TIMEOUT="ten" is not valid: not a whole number of seconds)"},
      {"CON_TIMEOUT=65536", R"(CON_TIMEOUT="65536" is not valid)"},
      {"BACKLOG=abc", R"(BACKLOG="abc" is not valid: not a whole number 1 to 2147483645)"},
      {"BACKLOG=0", R"(BACKLOG="0" is not valid)"},
      {"BACKLOG=2147483646", R"(BACKLOG="2147483646" is not valid)"},
      {"MAX_RAM_CACHE=-7", R"(MAX_RAM_CACHE="-7" is not valid: not a whole number 0 to)"},
      {"MAX_HDD_CACHE=9223372036854775808", R"(MAX_HDD_CACHE="9223372036854775808" is not)"},
      {"MAX_HDD_CACHE=0x10", R"(MAX_HDD_CACHE="0x10" is not valid)"},
      // A long value is shown by its start.
      {"ALLOW=" + std::string(150, '9'),
       "ALLOW=\"" + std::string(100, '9') + "...(150 bytes)\" is not valid: \"" +
           std::string(100, '9')},
  };
  for (const auto& [entry, expected] : cases) {
    std::string problem = read({entry}).problem;
    EXPECT_EQ(problem.rfind(expected, 0), 0u) << problem;
    EXPECT_EQ(problem.find('\n'), std::string::npos) << problem;
  }
}

// The last non-empty entry for a name wins, whatever came before it; of
// several bad settings, the first in the reader's order is named.
TEST(Settings, LastEntryWinsAndTheFirstBadOneIsNamed) {
  settings_reading reading = read({"BACKLOG=5", "LISTEN_PORT=81", "BACKLOG=7", "LISTEN_PORT=82",
                                   "LISTEN_PORT=83", "ALLOW=10.0.0.0/33", "HEAD_TIMEOUT=x",
                                   "ALLOW=10.0.0.0/8", "HEAD_TIMEOUT=8", "BACKLOG="});
  ASSERT_EQ(reading.problem, "");
  EXPECT_EQ(reading.values.request_slots, 7);
  EXPECT_EQ(reading.values.listen_port, 83);
  EXPECT_EQ(format_address_list(reading.values.allowed_clients), "10.0.0.0/8");
  EXPECT_EQ(reading.values.head_timeout_seconds, 8);
  EXPECT_EQ(read({"IDLE_TIMEOUT=x", "ALLOW=10.0.0.0/8", "ALLOW=y", "HEAD_TIMEOUT=7"}).problem,
            R"(ALLOW="y" is not valid: "y": not an IPv4 or IPv6 address)");
}

// The files are read at start-up: a user file, a host list from its lines.
TEST(Settings, UsersAndHostListsAreReadFromTheirFiles) {
  temp_files::temp_folder folder;
  const std::string users = folder / "users", hosts = folder / "hosts";
  ASSERT_TRUE(temp_files::write_file(users, "# team\nann:$6$salt$" + std::string(86, 'a') + "\n"));
  ASSERT_TRUE(temp_files::write_file(hosts, "# mirrors\n.debian.org\n\nPyPI.org.\n"));
  chmod(users.c_str(), 0600);
  settings_reading reading =
      read({"AUTH_FILE=" + users, "AUTH_REALM=team proxy", "AUTH_CACHE=0", "ALLOW_HOSTS=@" + hosts,
            "DENY_HOSTS= a.example , .b.example", "TUNNEL_CHECK=sni"});
  ASSERT_EQ(reading.problem, "");
  EXPECT_EQ(reading.values.users.users.at(0).name, "ann");
  EXPECT_EQ(reading.values.auth_realm, "team proxy");
  EXPECT_EQ(reading.values.auth_cache_seconds, 0);
  EXPECT_EQ(reading.values.hosts.allowed, (host_list{{"debian.org", true}, {"pypi.org", false}}));
  EXPECT_EQ(reading.values.hosts.denied, (host_list{{"a.example", false}, {"b.example", true}}));
  EXPECT_TRUE(reading.values.tunnel_check_sni);
}

TEST(Settings, NumbersTakeTheirWholeRange) {
  settings_reading reading = read({"LISTEN_PORT=0", "CON_TIMEOUT=65535", "BACKLOG=2147483645",
                                   "MAX_RAM_CACHE=0", "MAX_HDD_CACHE=9223372036854775807"});
  ASSERT_EQ(reading.problem, "");
  EXPECT_EQ(reading.values.listen_port, 0);
  EXPECT_EQ(reading.values.connect_timeout_seconds, 65535);
  EXPECT_EQ(reading.values.request_slots, 2147483645);
  reading = read({"LISTEN_PORT=065535", "CON_TIMEOUT=0", "BACKLOG=1"});
  ASSERT_EQ(reading.problem, "");
  EXPECT_EQ(reading.values.listen_port, 65535);
  EXPECT_EQ(reading.values.connect_timeout_seconds, 0);
  EXPECT_EQ(reading.values.request_slots, 1);
}

TEST(Settings, EmptyValuesAndOtherSpellingsOfANameAreNoEntry) {
  expect_defaults(read({"LISTEN_PORT=", "CON_TIMEOUT=", "BACKLOG=", "ALLOW=", "LISTEN_ADDR=",
                        "IDLE_TIMEOUT=", "LOG=", "STOP_TIMEOUT=", "MAX_WAITING_PER_CLIENT=",
                        "AUTH_FILE=", "ALLOW_HOSTS=", "DENY_HOSTS=", "TUNNEL_CHECK=",
                        "METRICS_ADDR="}));
  expect_defaults(read({"listen_port=1", "LISTEN_PORT =1", " LISTEN_PORT=1", "LISTEN_PORTS=1",
                        "LISTEN_POR=1", "LISTEN_PORT", "BACKLOGX=5", "XBACKLOG=5", "Backlog=5",
                        "BACKLOG", "CON_TIMEOUT:3", "MAX_RAM_CACHE_=1", "MAX_CACHE=1", "allow=x",
                        "ALLOW =x", "ALLOWS=x", "DENY=x", "HEAD_TIMEOUTS=x", "IDLE_TIMEOUT"}));
}

// Names that look meant as a setting draw a line each; the usual environment none.
TEST(Settings, NearMissesAreNamed) {
  auto warnings = [](std::vector<std::string> entries) {
    std::vector<char*> env;
    for (auto& entry : entries) env.push_back(entry.data());
    env.push_back(nullptr);
    std::string lines;
    for (const std::string& line : near_miss_warnings(env.data())) lines += line + "\n";
    return lines;
  };
  EXPECT_EQ(warnings({"LISTEN_PROT=1", "ALOW=x", "DENY-TO=x", "listen_port=1", "Log=x", "LOGS=x",
                      "IDLE_TIMEOUT=1", "ALOW=y", "CON_TIMEOUTS=x", "LISTEN_PORT\x1b=1"}),
            "ferry: LISTEN_PROT is not a setting; did you mean LISTEN_PORT?\n"
            "ferry: ALOW is not a setting; did you mean ALLOW?\n"
            "ferry: DENY-TO is not a setting; did you mean DENY_TO?\n"
            "ferry: listen_port is not a setting; did you mean LISTEN_PORT?\n"
            "ferry: Log is not a setting; did you mean LOG?\n"
            "ferry: LOGS is not a setting; did you mean LOG?\n"
            "ferry: CON_TIMEOUTS is not a setting; did you mean CON_TIMEOUT?\n"
            "ferry: LISTEN_PORT\\x1b is not a setting; did you mean LISTEN_PORT?\n");
  EXPECT_EQ(warnings({"PATH=/bin", "HOME=/root", "LANG=C", "LOGNAME=a", "TERM=xterm", "SHELL=sh",
                      "USER=a", "PWD=/", "OLDPWD=/", "SHLVL=1", "HOSTNAME=h", "MAIL=m",
                      "EDITOR=vi", "TZ=UTC", "LISTEN=1", "LOGIN=a", "ALLOWED=x", "=x", "ALOW",
                      "_=/bin/ferry", "LC_ALL=C", "DISPLAY=:0", "PAGER=less"}),
            "");
}

TEST(ValueFor, PointsPastTheEqualsSignOrAtAnEmptyString) {
  const char entry[] = "LISTEN_PORT=8081";
  EXPECT_EQ(value_for("LISTEN_PORT", entry), entry + 12);
  const char empty_value[] = "BACKLOG=";
  EXPECT_EQ(value_for("BACKLOG", empty_value), empty_value + 8);
  EXPECT_STREQ(value_for("BACKLOG", "BACKLOG==5"), "=5");
  EXPECT_STREQ(value_for("BACKLOG", "BACKLOG=a=b"), "a=b");
  for (const char* mismatch : {"LISTEN_PORT", "LISTEN", "", "LISTEN_PORTS=1", "listen_port=1",
                               "LISTEN_PORT =1", " LISTEN_PORT=1", "LISTEN_POR=1"}) {
    const char* result = value_for("LISTEN_PORT", mismatch);
    ASSERT_NE(result, nullptr) << mismatch;
    EXPECT_STREQ(result, "") << mismatch;
  }
}

}  // namespace
