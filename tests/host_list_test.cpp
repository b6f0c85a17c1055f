// Host lists: read from a setting's text or a file, and matched against the
// hosts that requests and ClientHellos name.
#include "host_list.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

#include "helpers.h"

namespace {

using namespace ferry;

std::string format(const host_list& list) {
  std::string out;
  for (const host_entry& entry : list) {
    out += (out.empty() ? "" : ",") + std::string(entry.with_subdomains ? "." : "") + entry.name;
  }
  return out;
}

host_list parsed(const char* text) {
  host_list list;
  std::string problem;
  EXPECT_TRUE(parse_host_list(text, list, problem)) << text << ": " << problem;
  return list;
}

TEST(HostList, ReadsAWholeListOrSaysWhyNot) {
  const std::pair<const char*, const char*> good[] = {
      {" Example.COM. ,\t.example.org ", "example.com,.example.org"},
      {"10.0.0.1,[2001:DB8::1],_dmarc.x-y.example", "10.0.0.1,[2001:db8::1],_dmarc.x-y.example"}};
  const std::pair<const char*, const char*> bad[] = {
      {"a.example,,b.example", "empty item"},
      {"a.example,", "empty item"},
      {" \t", "no items"},
      {"*.example.com", "\"*.example.com\": not a host name"},
      {"a..example", "not a host name"},
      {"[2001:db8:0::1]", "write the address as [2001:db8::1]"},
      {"2001:db8::1", "write the address as [2001:db8::1]"},
      {"127.1", "not an address in a spelling"},
      {".10.0.0.1", "an address has no domain"}};
  for (const auto& [text, expected] : good) EXPECT_EQ(format(parsed(text)), expected) << text;
  for (const auto& [text, expected] : bad) {
    host_list list = parsed("kept.example");
    std::string problem;
    EXPECT_FALSE(parse_host_list(text, list, problem)) << text;
    EXPECT_NE(problem.find(expected), std::string::npos) << text << ": " << problem;
    EXPECT_EQ(format(list), "kept.example") << text;
  }
}

TEST(HostList, ReadsAFileOfLinesAndNamesTheBadLine) {
  temp_files::temp_folder folder;
  temp_files::write_file(folder / "good", "# ours\r\n\n  a.example \r\n.b.example\n#x\n");
  temp_files::write_file(folder / "bad", "a.example\n\n# c\nb example\n");
  temp_files::write_file(folder / "empty", "# nothing yet\n");
  auto loaded = [&](const char* name) {
    host_list list;
    std::string problem;
    return load_host_list("@" + folder / name, list, problem) ? "read " + format(list) : problem;
  };
  EXPECT_EQ(loaded("good"), "read a.example,.b.example");
  EXPECT_EQ(loaded("bad"), folder / "bad" + " line 4: \"b example\": not a host name or .domain");
  EXPECT_EQ(loaded("missing"), folder / "missing" + ": No such file or directory");
  EXPECT_EQ(loaded("empty"), "read ");
}

TEST(HostList, NamesHostsWithoutCaseOrTrailingDotAndLiteralsInOneSpelling) {
  const host_list list = parsed("example.com,.corp.example,10.0.0.1,[2001:db8::1]");
  for (const char* host : {"example.com", "EXAMPLE.com.", "corp.example", "a.b.Corp.Example.",
                           "10.0.0.1", "10.0.0.1.", "[2001:DB8:0::1]", "[::ffff:10.0.0.1]"}) {
    EXPECT_TRUE(host_list_names(list, host)) << host;
  }
  for (const char* host :
       {"www.example.com", "example.com..", "xcorp.example", "corp.example.evil", "010.0.0.1",
        "10.1", "167772161", "0x0a000001", "[2001:db8::2]", "", "."}) {
    EXPECT_FALSE(host_list_names(list, host)) << host;
  }
  EXPECT_TRUE(same_host("Example.COM.", "example.com") && same_host("a.example", "a.example."));
  EXPECT_FALSE(same_host("example.com..", "example.com") || same_host("example.com", "example.co"));
}

TEST(HostList, DeniesWhatDenyNamesAndWhatASetAllowLeavesOut) {
  host_lists none, deny_only, both, empty_allow{host_list{}, {}};
  deny_only.denied = parsed(".ads.example");
  both.allowed = parsed(".example,10.0.0.1");
  both.denied = parsed("ads.example,10.0.0.1");
  using enum host_verdict;
  const std::tuple<const host_lists&, const char*, host_verdict> rows[] = {
      {none, "anything.example", allowed}, {deny_only, "10.0.0.2", allowed},
      {both, "www.example", allowed},      {deny_only, "x.ads.example", denied},
      {both, "ADS.example.", denied},      {both, "10.0.0.1", denied},
      {both, "10.0.0.2", denied},          {both, "127.1", denied},
      {both, "other.test", denied},        {empty_allow, "www.example", denied}};
  for (const auto& [lists, host, expected] : rows) {
    EXPECT_EQ(judge_host(lists, host), expected) << host;
  }
}

}  // namespace
