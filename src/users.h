// The users of AUTH_FILE, their passwords checked with crypt(3), and the
// pairs already verified, so that the slow hash runs once per user and
// password. No sockets; the file is read through load_user_file alone.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ferry {

struct user_entry {
  std::string name;
  std::string hash;  // yescrypt $y$, bcrypt $2b$ or SHA-512 $6$
};

struct user_file {
  std::vector<user_entry> users;
  // Empty when every line read; otherwise the first bad line and what is
  // wrong with it, and `users` must not be used.
  std::string problem;

  const user_entry* find(std::string_view name) const;
};

// Reads lines "user:hash"; `#` comments and blank lines are skipped. A line
// without a colon, with an empty user or hash, a second colon, a user named
// twice or a hash of another scheme (or not whole) is a problem.
user_file parse_user_file(std::string_view text);

// Reads the file at `path`, which must be a regular file that neither group
// nor others may read or write. The problem, if any, starts with the path.
user_file load_user_file(const std::string& path);

// Whether `password` hashes to `hash` with crypt(3); the result is compared
// in constant time. False for a password holding a NUL. Slow by design.
bool verify_password(std::string_view password, const std::string& hash);

// Reads a Proxy-Authorization value "Basic <base64 of user:password>": the
// scheme in any case, strict base64 with its padding. False for any other
// scheme, bad base64, no colon, or a control character in the decoded text.
bool decode_basic_credentials(std::string_view value, std::string& user, std::string& password);

// SipHash-2-4 of `data` under `key`: the keyed hash that names a remembered
// pair without holding its password.
std::uint64_t siphash_2_4(const std::array<std::uint8_t, 16>& key, std::string_view data);

// The user file in use and the pairs it verified, each remembered for a
// lifetime; safe to use from every request thread. Its keys are random, drawn
// when it is made.
class credential_cache {
 public:
  using clock = std::chrono::steady_clock;

  // A lifetime of zero remembers nothing.
  credential_cache(user_file users, clock::duration lifetime);

  // Whether the file lists `user` with `password`. A pair verified within
  // the lifetime before `now` is taken as it is; otherwise the slow hash
  // runs (for an unknown user too, so that the answer takes as long).
  bool check(std::string_view user, std::string_view password, clock::time_point now);

  // A newly read file takes over; every remembered pair is forgotten.
  void replace_users(user_file users);

  // How many times the slow hash ran.
  std::uint64_t slow_hashes() const;

 private:
  struct digest {
    std::uint64_t first = 0;
    std::uint64_t second = 0;
  };
  struct remembered_pair {
    std::uint64_t second = 0;
    std::string user;
    clock::time_point expires;
  };

  digest digest_of(std::string_view user, std::string_view password) const;
  bool remembered(const digest& key, std::string_view user, clock::time_point now);
  void remember(const digest& key, std::string_view user, clock::time_point now,
                std::uint64_t generation);

  std::array<std::uint8_t, 16> first_key_{};
  std::array<std::uint8_t, 16> second_key_{};
  clock::duration lifetime_;
  std::mutex mutex_;  // guards all below but slow_hashes_
  std::shared_ptr<const user_file> users_;
  std::uint64_t generation_ = 0;                              // counts replace_users calls
  std::unordered_map<std::uint64_t, remembered_pair> pairs_;  // by the digest's first half
  std::atomic<std::uint64_t> slow_hashes_{0};
};

}  // namespace ferry
