// The password file, crypt(3) checks with hashes made here, Basic
// credentials, and the pairs the cache remembers.
#include "users.h"

#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <tuple>
#include <utility>

#include "helpers.h"

namespace {

using namespace ferry;
using namespace std::literals;

// A fresh hash of `password`; the cheapest cost each scheme allows.
std::string hashed(const char* prefix, const std::string& password, unsigned long cost = 0) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  EXPECT_NE(crypt_gensalt_rn(prefix, cost, nullptr, 0, setting, sizeof setting), nullptr);
  crypt_data data{};
  const char* hash = crypt_rn(password.c_str(), setting, &data, sizeof data);
  return hash != nullptr ? hash : "";
}

const std::string sha512 = hashed("$6$", "secret", 1000);

TEST(Users, ReadsRowsOrNamesTheBadLine) {
  const std::string bcrypt = "$2b$04$" + std::string(53, 'a');
  const std::string yescrypt = "$y$j9T$salt$" + std::string(43, 'b');
  const std::pair<std::string, std::string> cases[] = {
      {"# users\n\nann:" + sha512 + "\r\n  bob:" + bcrypt + " \ncy:" + yescrypt, "ann bob cy"},
      {"ann:" + sha512 + "\nbob", "line 2: no colon between user and hash"},
      {":" + sha512, "line 1: empty user"},
      {"ann:", "line 1: empty hash"},
      {"ann:" + sha512 + ":0:99999", "line 1: more than one colon"},
      {"a n:" + sha512, "a blank or control character"},
      {"ann:" + sha512 + "\nann:" + bcrypt, "line 2: user \"ann\" listed twice"},
      {"ann:$1$salt$hash", "line 1: not a yescrypt ($y$), bcrypt ($2b$) or SHA-512 ($6$) hash"},
      {"ann:" + sha512.substr(0, sha512.size() - 1), "not a whole $6$ hash"},
      {"ann:$2b$04$" + std::string(52, 'a'), "not a whole $2b$ hash"},
      {"ann:$y$j9T$" + std::string(43, 'b'), "not a whole $y$ hash"}};
  for (const auto& [text, expected] : cases) {
    user_file file = parse_user_file(text);
    std::string names;
    for (const user_entry& user : file.users) names += (names.empty() ? "" : " ") + user.name;
    const std::string got = file.problem.empty() ? names : file.problem;
    EXPECT_NE(got.find(expected), std::string::npos) << got;
  }
  EXPECT_EQ(parse_user_file("ann:" + sha512).find("ann")->hash, sha512);
}

TEST(Users, LoadsOnlyAFileThatGroupAndOthersCannotUse) {
  temp_files::temp_folder folder;
  const std::string path = folder / "users";
  temp_files::write_file(path, "ann:" + sha512 + "\n");
  chmod(path.c_str(), 0400);
  EXPECT_EQ(load_user_file(path).users.size(), 1u);
  for (mode_t mode : {0640, 0602}) {
    chmod(path.c_str(), mode);
    EXPECT_EQ(load_user_file(path).problem,
              path + ": group or others may read or write it; chmod 600 it");
  }
  EXPECT_EQ(load_user_file(folder / "none").problem, folder / "none: No such file or directory");
  EXPECT_EQ(load_user_file(folder.path()).problem, folder.path() + ": not a regular file");
  temp_files::write_file(path, "ann\n");
  chmod(path.c_str(), 0600);
  EXPECT_EQ(load_user_file(path).problem, path + ": line 1: no colon between user and hash");
}

TEST(Users, VerifiesPasswordsWithEachScheme) {
  for (const std::string& hash :
       {hashed("$y$", "secret"), hashed("$2b$", "secret", 4), hashed("$6$", "secret")}) {
    EXPECT_TRUE(parse_user_file("ann:" + hash).problem.empty()) << hash;
    EXPECT_TRUE(verify_password("secret", hash)) << hash;
    for (std::string_view wrong : {"Secret"sv, "secret\0x"sv, "secre"sv, ""sv}) {
      EXPECT_FALSE(verify_password(wrong, hash)) << hash << " " << wrong;
    }
  }
  EXPECT_FALSE(verify_password("secret", "$6$"));
}

TEST(Users, DecodesBasicCredentialsStrictly) {
  const std::tuple<const char*, const char*, const char*> good[] = {
      {"Basic dXNlcjpwYXNz", "user", "pass"},
      {"bASIC  dXNlcjpwYXNz ", "user", "pass"},
      {"Basic dTpwOnE=", "u", "p:q"},
      {"Basic OnA=", "", "p"},
      {"Basic dTo=", "u", ""},
      {"Basic w6k6//4=", "\xc3\xa9", "\xff\xfe"}};
  for (const auto& [value, user, password] : good) {
    std::string got_user, got_password;
    EXPECT_TRUE(decode_basic_credentials(value, got_user, got_password)) << value;
    EXPECT_EQ(std::tie(got_user, got_password), std::tuple(user, password)) << value;
  }
  for (const char* value :
       {"Bearer dXNlcjpwYXNz", "Basic", "Basic ", "BasicdXNlcjpwYXNz",
        "Basic dXNlcjpwYXNz=", "Basic dTpwOnF=", "Basic dXNlcg==", "Basic dXNl cjpwYXNz",
        "Basic dTpwCg==", "Basic dX=lcjpw", "Basic dTo-", "Basic ====", "Basics dXNlcjpwYXNz"}) {
    std::string user = "kept", password = "kept";
    EXPECT_FALSE(decode_basic_credentials(value, user, password)) << value;
    EXPECT_EQ(user + password, "keptkept") << value;
  }
}

TEST(Users, SipHashGivesTheReferenceValues) {
  std::array<std::uint8_t, 16> key;
  std::string message;
  for (int i = 0; i < 16; ++i) key[i] = static_cast<std::uint8_t>(i);
  for (int i = 0; i < 15; ++i) message += static_cast<char>(i);
  EXPECT_EQ(siphash_2_4(key, ""), 0x726fdb47dd0e0e31u);
  EXPECT_EQ(siphash_2_4(key, message), 0xa129ca6149be45e5u);
}

TEST(CredentialCache, HashesOncePerPairAndRemembersOnlyGoodOnes) {
  credential_cache cache(parse_user_file("ann:" + sha512 + "\nbob:" + sha512), 300s);
  const auto start = credential_cache::clock::now();
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(cache.check("ann", "secret", start));
  EXPECT_EQ(cache.slow_hashes(), 1u);
  EXPECT_FALSE(cache.check("ann", "wrong", start));
  EXPECT_FALSE(cache.check("ann", "wrong", start));
  EXPECT_FALSE(cache.check("carl", "secret", start));  // unknown, yet hashed
  EXPECT_FALSE(cache.check("bob", "wrong", start));
  EXPECT_EQ(cache.slow_hashes(), 5u);
  EXPECT_TRUE(cache.check("bob", "secret", start));
  EXPECT_TRUE(cache.check("ann", "secret", start + 1s));
  EXPECT_EQ(cache.slow_hashes(), 6u);
  EXPECT_TRUE(cache.check("ann", "secret", start + 300s));  // expired: hashed again
  EXPECT_EQ(cache.slow_hashes(), 7u);
  cache.replace_users(parse_user_file("bob:" + sha512));
  EXPECT_FALSE(cache.check("ann", "secret", start + 301s));
  EXPECT_TRUE(cache.check("bob", "secret", start + 301s));
  EXPECT_EQ(cache.slow_hashes(), 9u);
  credential_cache forgetful(parse_user_file("ann:" + sha512), 0s);
  EXPECT_TRUE(forgetful.check("ann", "secret", start));
  EXPECT_TRUE(forgetful.check("ann", "secret", start));
  EXPECT_EQ(forgetful.slow_hashes(), 2u);
}

}  // namespace
