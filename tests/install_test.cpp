// What an administrator gets: the installed tree, the manual page, the
// service unit and the Debian package, checked with the tools that read them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "harness.h"

using namespace harness;
using temp_files::read_file;
using temp_files::temp_folder;

namespace {

const std::string source_dir = FERRY_SOURCE_DIR;
const std::string build_dir = FERRY_BUILD_DIR;

bool is_executable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

// Installs the build under `prefix`; the output is kept for the failure message.
command_result install_under(const std::string& prefix) {
  return run_command({FERRY_CMAKE, "--install", build_dir, "--prefix", prefix});
}

std::string exec_start(const std::string& unit_path) {
  std::string unit = read_file(unit_path);
  auto at = unit.find("\nExecStart=");
  if (at == std::string::npos) return "";
  at += 11;
  return unit.substr(at, unit.find('\n', at) - at);
}

// Starts `binary` on port 8080 and waits until it listens.
void expect_serves(const std::string& binary) {
  ferry_process ferry({"LISTEN_PORT=8080"}, {.binary = binary});
  EXPECT_TRUE(ferry.wait_listening(8080)) << binary << " did not listen: " << ferry.errors();
}

bool have_systemd_analyze() { return is_executable("/usr/bin/systemd-analyze"); }

}  // namespace

TEST(Install, PutsProgramPageAndUnitUnderThePrefix) {
  temp_folder folder;
  const std::string prefix = folder / "prefix";
  command_result installed = install_under(prefix);
  ASSERT_EQ(installed.status, 0) << installed.output << installed.errors;

  EXPECT_TRUE(is_executable(prefix + "/sbin/ferry"));
  EXPECT_EQ(read_file(prefix + "/share/man/man8/ferry.8"), read_file(source_dir + "/docs/ferry.8"));
  EXPECT_EQ(read_file(prefix + "/share/doc/ferry/LICENSE"), read_file(source_dir + "/LICENSE"));
  EXPECT_EQ(read_file(prefix + "/share/doc/ferry/examples/haproxy.cfg"),
            read_file(source_dir + "/dist/haproxy.cfg"));
  EXPECT_EQ(read_file(prefix + "/share/doc/ferry/examples/prometheus.yml"),
            read_file(source_dir + "/dist/prometheus.yml"));
  // The prefix given at install time, not the one configured, reaches the unit.
  EXPECT_EQ(exec_start(prefix + "/lib/systemd/system/ferry.service"), prefix + "/sbin/ferry");
  expect_serves(prefix + "/sbin/ferry");

  // man finds the page under the prefix, as `man ferry` would after an install.
  command_result found = run_command({"man", "-w", "ferry"}, {"MANPATH=" + prefix + "/share/man"});
  EXPECT_EQ(found.status, 0) << found.errors;
  EXPECT_EQ(found.output, prefix + "/share/man/man8/ferry.8\n");
}

TEST(ManPage, RendersWithoutWarningsAndQuotesMessagesExactly) {
  const std::string page = source_dir + "/docs/ferry.8";
  command_result checked = run_command({"groff", "-ww", "-man", "-z", page});
  EXPECT_EQ(checked.status, 0);
  EXPECT_EQ(checked.errors, "");

  // What a reader sees on a UTF-8 terminal: groff turns a plain ` or ' into
  // curly quotes and may hyphenate or stretch a line unless told not to.
  command_result shown =
      run_command({"man", "--warnings", "-l", page}, {"LC_ALL=C.UTF-8", "MANWIDTH=80"});
  EXPECT_EQ(shown.status, 0);
  EXPECT_EQ(shown.errors, "");
  for (const char* message :
       {"try another port with `LISTEN_PORT' env variable", "thread quee is full",
        "connection to clinet closed", "connection faild... try another host",
        "getaddrinfo problem for host: `name'", "received host is not good!",
        "\"Proxy-Connection: Keep-Alive\"", "\"connection to host failed\"",
        "read blocked with count = N and left = N", "hostname: [name]256"}) {
    EXPECT_NE(shown.output.find(message), std::string::npos) << message;
  }
  for (const char* setting :
       {"LISTEN_PORT", "CON_TIMEOUT", "BACKLOG", "MAX_RAM_CACHE", "MAX_HDD_CACHE"}) {
    EXPECT_NE(shown.output.find("\n       " + std::string(setting) + "\n"), std::string::npos)
        << setting << " has no entry of its own";
  }

  // mandb indexes the page from its NAME line; apropos and whatis show this.
  command_result indexed = run_command({"lexgrog", page});
  EXPECT_EQ(indexed.status, 0);
  EXPECT_EQ(indexed.output, page + ": \"ferry - small forward HTTP proxy\"\n");
}

TEST(ServiceUnit, PassesSystemdChecksAndKeepsItsHardening) {
  if (!have_systemd_analyze()) GTEST_SKIP() << "systemd-analyze is not installed";
  temp_folder folder;
  const std::string prefix = folder / "prefix";
  command_result installed = install_under(prefix);
  ASSERT_EQ(installed.status, 0) << installed.output << installed.errors;
  const std::string unit = prefix + "/lib/systemd/system/ferry.service";

  // verify loads the unit offline: every setting must parse, ExecStart must
  // exist and Documentation=man:ferry(8) must open through man.
  command_result verified =
      run_command({"systemd-analyze", "verify", unit}, {"MANPATH=" + prefix + "/share/man"});
  EXPECT_EQ(verified.status, 0) << verified.output << verified.errors;
  EXPECT_EQ(verified.errors, "");

  // The exposure score out of 100 that systemd gives the sandbox; the unit
  // scores 12, and dropping DynamicUser and NoNewPrivileges alone passes 15.
  command_result rated = run_command(
      {"systemd-analyze", "security", "--offline=true", "--threshold=15", "--no-pager", unit});
  EXPECT_EQ(rated.status, 0) << rated.output << rated.errors;
}

TEST(Package, DebianPackageCarriesProgramUnitAndMetadata) {
  temp_folder folder;
  command_result packed = run_command(
      {FERRY_CPACK, "-G", "DEB", "--config", build_dir + "/CPackConfig.cmake", "-B", folder.path()},
      {}, 120s);
  ASSERT_EQ(packed.status, 0) << packed.output << packed.errors;
  std::string architecture = run_command({"dpkg", "--print-architecture"}).output;
  architecture = architecture.substr(0, architecture.find('\n'));
  const std::string package = folder / ("ferry_" FERRY_VERSION "_" + architecture + ".deb");
  ASSERT_TRUE(std::filesystem::exists(package)) << packed.output;

  auto field = [&](const std::string& name) {
    command_result shown = run_command({"dpkg-deb", "-f", package, name});
    EXPECT_EQ(shown.status, 0) << shown.errors;
    return shown.output;
  };
  EXPECT_EQ(field("Package"), "ferry\n");
  EXPECT_EQ(field("Version"), FERRY_VERSION "\n");
  EXPECT_EQ(field("Architecture"), architecture + "\n");
  std::string maintainer = field("Maintainer");
  EXPECT_NE(maintainer, "");
  EXPECT_EQ(maintainer.find("@localhost"), std::string::npos) << maintainer;
  EXPECT_EQ(field("Description").rfind("small forward HTTP proxy\n ", 0), 0u)
      << field("Description");
  std::string depends = field("Depends");
  EXPECT_NE(depends.find("libc6 (>="), std::string::npos) << depends;
  EXPECT_NE(depends.find("libstdc++6 (>="), std::string::npos) << depends;

  const std::string root = folder / "root";
  command_result unpacked = run_command({"dpkg-deb", "-x", package, root});
  ASSERT_EQ(unpacked.status, 0) << unpacked.errors;
  auto gunzip = [](const std::string& path) { return run_command({"gzip", "-dc", path}).output; };
  EXPECT_EQ(gunzip(root + "/usr/share/man/man8/ferry.8.gz"),
            read_file(source_dir + "/docs/ferry.8"));
  EXPECT_FALSE(std::filesystem::exists(root + "/usr/share/man/man8/ferry.8"));
  const std::string doc = root + "/usr/share/doc/ferry/";
  EXPECT_EQ(gunzip(doc + "changelog.gz").rfind("ferry (" FERRY_VERSION ") ", 0), 0u);
  std::string copyright = read_file(doc + "copyright");
  const std::string format =
      "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n";
  EXPECT_EQ(copyright.substr(0, format.size()), format) << copyright;
  EXPECT_NE(copyright.find("License: Expat\n Permission is hereby granted"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(root + "/usr/share/doc/ferry/examples/haproxy.cfg"));
  EXPECT_EQ(exec_start(root + "/usr/lib/systemd/system/ferry.service"), "/usr/sbin/ferry");
  ASSERT_TRUE(is_executable(root + "/usr/sbin/ferry"));
  // Stripped for the package, and still the working program.
  expect_serves(root + "/usr/sbin/ferry");

  // Debian's own package checker; warnings are allowed, errors are not.
  ASSERT_TRUE(is_executable("/usr/bin/lintian")) << "lintian is missing; make test installs it";
  command_result linted = run_command({"lintian", "--fail-on", "error", package}, {}, 300s);
  EXPECT_EQ(linted.status, 0) << linted.output << linted.errors;
}
