#include "users.h"

#include <crypt.h>
#include <fcntl.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <utility>

#include "text.h"
#include "unique_fd.h"

namespace ferry {

namespace {

constexpr std::size_t max_user_file_size = 4 << 20;
constexpr std::size_t max_remembered_pairs = 65536;

// What a whole hash of each scheme looks like: the '$'-separated fields
// after its prefix (the last one the digest), and the digest's length.
struct hash_scheme {
  std::string_view prefix;
  std::size_t fewest_fields;
  std::size_t most_fields;
  std::size_t digest_size;
};
constexpr hash_scheme hash_schemes[] = {{"$y$", 3, 3, 43},   // parameters, salt, digest
                                        {"$2b$", 2, 2, 53},  // cost, then salt and digest as one
                                        {"$6$", 2, 3, 86}};  // "rounds=N" or not, salt, digest

bool is_hash_character(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
         c == '/' || c == '$' || c == '=';
}

// Empty when `hash` is whole and of a known scheme, else what is wrong.
std::string hash_problem(std::string_view hash) {
  for (const hash_scheme& scheme : hash_schemes) {
    if (!hash.starts_with(scheme.prefix)) continue;
    std::string_view rest = hash.substr(scheme.prefix.size());
    std::size_t fields = std::count(rest.begin(), rest.end(), '$') + 1;
    std::size_t last = rest.rfind('$');
    std::size_t digest = last == std::string_view::npos ? rest.size() : rest.size() - last - 1;
    if (fields < scheme.fewest_fields || fields > scheme.most_fields ||
        digest != scheme.digest_size || !std::all_of(rest.begin(), rest.end(), is_hash_character)) {
      return "not a whole " + std::string(scheme.prefix) + " hash";
    }
    return "";
  }
  return "not a yescrypt ($y$), bcrypt ($2b$) or SHA-512 ($6$) hash";
}

// One line that is not a comment; empty when it reads.
std::string read_user_line(std::string_view line, user_file& file) {
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return "no colon between user and hash";
  std::string_view name = line.substr(0, colon), hash = line.substr(colon + 1);
  if (name.empty()) return "empty user";
  if (hash.empty()) return "empty hash";
  if (hash.find(':') != std::string_view::npos) return "more than one colon";
  if (std::any_of(name.begin(), name.end(), [](char c) { return c == ' ' || is_control(c); })) {
    return "a blank or control character in the user";
  }
  if (file.find(name) != nullptr) return "user \"" + std::string(name) + "\" listed twice";
  std::string problem = hash_problem(hash);
  if (problem.empty()) file.users.push_back({std::string(name), std::string(hash)});
  return problem;
}

// Reads all of `fd` into `text`; false with `problem` when it cannot.
bool read_all(int fd, std::string& text, std::string& problem) {
  char buffer[8192];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      problem = strerror(errno);
      return false;
    }
    if (text.size() + static_cast<std::size_t>(got) > max_user_file_size) {
      problem = "over 4 MiB";
      return false;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

bool same_bytes(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= a[i] ^ b[i];
  return difference == 0;
}

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict base64: whole quads, '=' only as the padding of the last one, and
// no bits set past the data.
bool decode_base64(std::string_view text, std::string& out) {
  if (text.empty() || text.size() % 4 != 0) return false;
  std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    int value = i >= text.size() - padding ? 0 : base64_value(text[i]);
    if (value < 0) return false;
    bits = bits << 6 | static_cast<std::uint32_t>(value);
    if (i % 4 != 3) continue;
    out += static_cast<char>(bits >> 16);
    out += static_cast<char>(bits >> 8 & 255);
    out += static_cast<char>(bits & 255);
    bits = 0;
  }
  std::string_view left_over = std::string_view(out).substr(out.size() - padding);
  if (std::any_of(left_over.begin(), left_over.end(), [](char c) { return c != 0; })) return false;
  out.resize(out.size() - padding);
  return true;
}

std::uint64_t rotate(std::uint64_t x, int bits) { return x << bits | x >> (64 - bits); }

std::uint64_t little_endian(const unsigned char* bytes, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = size; i-- > 0;) value = value << 8 | bytes[i];
  return value;
}

// From getrandom; should the kernel refuse, from the library's own source.
std::array<std::uint8_t, 16> random_key() {
  std::array<std::uint8_t, 16> key{};
  std::size_t filled = 0;
  while (filled < key.size()) {
    ssize_t got = getrandom(key.data() + filled, key.size() - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  std::random_device fallback;
  for (; filled < key.size(); ++filled) key[filled] = static_cast<std::uint8_t>(fallback());
  return key;
}

}  // namespace

const user_entry* user_file::find(std::string_view name) const {
  for (const user_entry& user : users) {
    if (user.name == name) return &user;
  }
  return nullptr;
}

user_file parse_user_file(std::string_view text) {
  user_file file;
  std::size_t start = 0;
  for (int line_number = 1; start < text.size(); ++line_number) {
    std::size_t end = std::min(text.find('\n', start), text.size());
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (line.ends_with('\r')) line.remove_suffix(1);
    line = trim_blanks(line);
    if (line.empty() || line.starts_with('#')) continue;
    std::string problem = read_user_line(line, file);
    if (!problem.empty()) {
      file.problem = "line " + std::to_string(line_number) + ": " + problem;
      file.users.clear();
      break;
    }
  }
  return file;
}

user_file load_user_file(const std::string& path) {
  user_file file;
  // Not blocking, so that a named pipe cannot hold start-up; fstat then refuses it.
  unique_fd descriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  std::string text, problem;
  if (descriptor.get() < 0 || fstat(descriptor.get(), &status) != 0) {
    problem = strerror(errno);
  } else if (!S_ISREG(status.st_mode)) {
    problem = "not a regular file";
  } else if ((status.st_mode & 066) != 0) {
    problem = "group or others may read or write it; chmod 600 it";
  } else if (read_all(descriptor.get(), text, problem)) {
    file = parse_user_file(text);
    explicit_bzero(text.data(), text.size());
    if (file.problem.empty()) return file;
    problem = file.problem;
  }
  file.problem = path + ": " + problem;
  return file;
}

bool verify_password(std::string_view password, const std::string& hash) {
  if (password.find('\0') != std::string_view::npos) return false;
  std::string phrase(password);
  auto data = std::make_unique<crypt_data>();
  const char* result = crypt_rn(phrase.c_str(), hash.c_str(), data.get(), sizeof(crypt_data));
  bool same = result != nullptr && same_bytes(result, hash);
  explicit_bzero(phrase.data(), phrase.size());
  explicit_bzero(data.get(), sizeof(crypt_data));
  return same;
}

bool decode_basic_credentials(std::string_view value, std::string& user, std::string& password) {
  value = trim_blanks(value);
  if (value.size() < 6 || !equals_ignoring_case(value.substr(0, 5), "basic") || value[5] != ' ') {
    return false;
  }
  std::string decoded;
  bool good = decode_base64(trim_blanks(value.substr(6)), decoded);
  std::size_t colon = decoded.find(':');
  good = good && colon != std::string::npos &&
         std::none_of(decoded.begin(), decoded.end(), is_control);
  if (good) {
    user = decoded.substr(0, colon);
    password = decoded.substr(colon + 1);
  }
  explicit_bzero(decoded.data(), decoded.size());
  return good;
}

std::uint64_t siphash_2_4(const std::array<std::uint8_t, 16>& key, std::string_view data) {
  const std::uint64_t k0 = little_endian(key.data(), 8), k1 = little_endian(key.data() + 8, 8);
  std::uint64_t v0 = k0 ^ 0x736f6d6570736575, v1 = k1 ^ 0x646f72616e646f6d;
  std::uint64_t v2 = k0 ^ 0x6c7967656e657261, v3 = k1 ^ 0x7465646279746573;
  auto round = [&] {
    v0 += v1, v1 = rotate(v1, 13), v1 ^= v0, v0 = rotate(v0, 32);
    v2 += v3, v3 = rotate(v3, 16), v3 ^= v2;
    v0 += v3, v3 = rotate(v3, 21), v3 ^= v0;
    v2 += v1, v1 = rotate(v1, 17), v1 ^= v2, v2 = rotate(v2, 32);
  };
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t whole = data.size() / 8 * 8;
  for (std::size_t at = 0; at <= whole; at += 8) {
    std::uint64_t word = at < whole ? little_endian(bytes + at, 8)
                                    : little_endian(bytes + at, data.size() - whole) |
                                          static_cast<std::uint64_t>(data.size()) << 56;
    v3 ^= word;
    round();
    round();
    v0 ^= word;
  }
  v2 ^= 0xff;
  for (int i = 0; i < 4; ++i) round();
  return v0 ^ v1 ^ v2 ^ v3;
}

credential_cache::credential_cache(user_file users, clock::duration lifetime)
    : first_key_(random_key()),
      second_key_(random_key()),
      lifetime_(lifetime),
      users_(std::make_shared<const user_file>(std::move(users))) {}

bool credential_cache::check(std::string_view user, std::string_view password,
                             clock::time_point now) {
  const digest key = digest_of(user, password);
  std::shared_ptr<const user_file> users;
  std::uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    if (remembered(key, user, now)) return true;
    users = users_;
    generation = generation_;
  }
  const user_entry* entry = users->find(user);
  // An unknown user costs a hash too, of a listed user's kind where there is one.
  static const std::string unknown_user_hash =
      "$y$j9T$OAP1dXf.v2tqMScdpU1pH1$EEcKksq8sVO9P8o0CdiN2HfnLmR8.T4slGZeTvoK1o8";
  const std::string& hash = entry != nullptr       ? entry->hash
                            : users->users.empty() ? unknown_user_hash
                                                   : users->users.front().hash;
  // Relaxed: a statistic, read by nothing that orders on it.
  slow_hashes_.fetch_add(1, std::memory_order_relaxed);
  if (!verify_password(password, hash) || entry == nullptr) return false;
  remember(key, user, now, generation);
  return true;
}

void credential_cache::replace_users(user_file users) {
  auto replacement = std::make_shared<const user_file>(std::move(users));
  std::lock_guard lock(mutex_);
  users_ = std::move(replacement);
  ++generation_;
  pairs_.clear();
}

std::uint64_t credential_cache::slow_hashes() const {
  return slow_hashes_.load(std::memory_order_relaxed);  // relaxed: a statistic
}

credential_cache::digest credential_cache::digest_of(std::string_view user,
                                                     std::string_view password) const {
  // The user's length first, so no split of the same bytes gives the same digest.
  std::string pair;
  pair.reserve(24 + user.size() + password.size());  // one buffer to wipe
  pair.append(std::to_string(user.size())).append(":").append(user).append(password);
  digest key{siphash_2_4(first_key_, pair), siphash_2_4(second_key_, pair)};
  explicit_bzero(pair.data(), pair.size());
  return key;
}

// Called with mutex_ held.
bool credential_cache::remembered(const digest& key, std::string_view user, clock::time_point now) {
  auto found = pairs_.find(key.first);
  if (found == pairs_.end()) return false;
  if (now >= found->second.expires) {
    pairs_.erase(found);
    return false;
  }
  std::uint64_t difference = found->second.second ^ key.second;
  return (difference == 0) & same_bytes(found->second.user, user);
}

void credential_cache::remember(const digest& key, std::string_view user, clock::time_point now,
                                std::uint64_t generation) {
  if (lifetime_ <= clock::duration::zero()) return;
  std::lock_guard lock(mutex_);
  // A pair verified against a file that has since been replaced is not kept.
  if (generation != generation_) return;
  if (pairs_.size() >= max_remembered_pairs) {
    std::erase_if(pairs_, [&](const auto& item) { return now >= item.second.expires; });
    if (pairs_.size() >= max_remembered_pairs) pairs_.clear();
  }
  pairs_.insert_or_assign(key.first,
                          remembered_pair{key.second, std::string(user), now + lifetime_});
}

}  // namespace ferry
