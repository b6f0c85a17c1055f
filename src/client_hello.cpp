#include "client_hello.h"

#include <algorithm>
#include <cstdint>

namespace ferry {

namespace {

constexpr unsigned char handshake_record = 22;
constexpr unsigned char client_hello_message = 1;
constexpr std::size_t record_header_size = 5;
constexpr std::size_t max_record_size = 1 << 14;
constexpr std::size_t server_name_extension = 0;
constexpr std::size_t host_name_type = 0;
constexpr std::size_t max_host_name_size = 255;

// The handshake bytes that records carry, read one after another as one
// stream, so that a message may be cut anywhere between records. The first
// failure sticks: every later read gives nothing.
class handshake_reader {
 public:
  explicit handshake_reader(std::string_view bytes) : bytes_(bytes) {}

  bool ok() const { return state_ == hello_result::hello; }
  hello_result state() const { return state_; }
  // Marks the bytes as not a hello, unless they already failed: a read
  // that needs more bytes says nothing about what they will be.
  void refuse() {
    if (ok()) state_ = hello_result::not_tls;
  }

  // Limits the reads that follow to the message's `length` bytes.
  void start_message(std::size_t length) { message_left_ = length; }
  std::size_t message_left() const { return message_left_; }

  // The next `count` (1 to 3) bytes as a big-endian number; 0 on failure.
  std::size_t number(std::size_t count) {
    std::size_t value = 0;
    while (count > 0) {
      std::string_view piece = next_piece(count);
      if (piece.empty()) return 0;
      for (char c : piece) value = value << 8 | static_cast<unsigned char>(c);
      count -= piece.size();
    }
    return value;
  }

  // Reads `count` bytes, appending them to `out` when it is not null.
  void take(std::size_t count, std::string* out) {
    while (count > 0) {
      std::string_view piece = next_piece(count);
      if (piece.empty()) return;
      if (out != nullptr) out->append(piece);
      count -= piece.size();
    }
  }

 private:
  // True when the first `end` bytes are there; otherwise fails, for good
  // when `end` is past the bound.
  bool have(std::size_t end) {
    if (end > max_client_hello_bytes) {
      refuse();
    } else if (end > bytes_.size()) {
      state_ = hello_result::need_more;
    }
    return ok();
  }

  // Checks each header byte as soon as it is there, so that other protocols
  // are told apart by their first bytes.
  bool enter_record() {
    if (!have(at_ + 1) || static_cast<unsigned char>(bytes_[at_]) != handshake_record) {
      refuse();
      return false;
    }
    if (!have(at_ + 2) || bytes_[at_ + 1] != 3) {
      refuse();
      return false;
    }
    if (!have(at_ + record_header_size)) return false;
    record_left_ = static_cast<unsigned char>(bytes_[at_ + 3]) << 8 |
                   static_cast<unsigned char>(bytes_[at_ + 4]);
    at_ += record_header_size;
    // A handshake record is never empty, and never over 2^14 bytes.
    if (record_left_ == 0 || record_left_ > max_record_size) refuse();
    return ok();
  }

  // The next bytes of the message, at most `most` and all from one record;
  // empty on failure.
  std::string_view next_piece(std::size_t most) {
    if (!ok()) return {};
    if (most > message_left_) {
      refuse();
      return {};
    }
    if (record_left_ == 0 && !enter_record()) return {};
    std::size_t size = std::min(most, record_left_);
    if (!have(at_ + size)) return {};
    std::string_view piece = bytes_.substr(at_, size);
    at_ += size;
    record_left_ -= size;
    message_left_ -= size;
    return piece;
  }

  std::string_view bytes_;
  std::size_t at_ = 0;           // the next byte of `bytes_` to read
  std::size_t record_left_ = 0;  // bytes of the current record not read yet
  std::size_t message_left_ = max_client_hello_bytes;
  hello_result state_ = hello_result::hello;  // hello until something fails
};

bool is_name_byte(char c) { return c > ' ' && c < '\x7f'; }

// The ServerNameList of a server_name extension of `length` bytes: one
// host_name at most, printable and not empty.
void read_server_names(handshake_reader& in, std::size_t length, std::string& name) {
  std::size_t list_left = in.number(2);
  if (length < 2 || list_left != length - 2 || list_left == 0) in.refuse();
  while (in.ok() && list_left > 0) {
    std::size_t type = list_left < 3 ? 0 : in.number(1);
    std::size_t size = list_left < 3 ? 0 : in.number(2);
    if (list_left < 3 || size > list_left - 3) {
      in.refuse();
      return;
    }
    list_left -= 3 + size;
    if (type != host_name_type) {
      in.take(size, nullptr);
    } else if (!name.empty() || size == 0 || size > max_host_name_size) {
      in.refuse();
    } else {
      in.take(size, &name);
      if (!std::all_of(name.begin(), name.end(), is_name_byte)) in.refuse();
    }
  }
}

void read_extensions(handshake_reader& in, std::string& name) {
  std::size_t total = in.number(2);
  if (total != in.message_left()) in.refuse();
  bool named = false;
  while (in.ok() && in.message_left() > 0) {
    std::size_t type = in.number(2);
    std::size_t length = in.number(2);
    if (length > in.message_left()) in.refuse();
    if (type != server_name_extension) {
      in.take(length, nullptr);
    } else if (named) {
      in.refuse();  // each extension at most once
    } else {
      named = true;
      read_server_names(in, length, name);
    }
  }
}

void read_hello(handshake_reader& in, std::string& name) {
  if (in.number(1) != client_hello_message) in.refuse();
  std::size_t length = in.number(3);
  if (!in.ok()) return;
  in.start_message(length);
  in.take(2 + 32, nullptr);  // legacy_version, random
  std::size_t session_id = in.number(1);
  if (session_id > 32) in.refuse();
  in.take(session_id, nullptr);
  std::size_t cipher_suites = in.number(2);
  if (cipher_suites == 0 || cipher_suites % 2 != 0) in.refuse();
  in.take(cipher_suites, nullptr);
  std::size_t compression_methods = in.number(1);
  if (compression_methods == 0) in.refuse();
  in.take(compression_methods, nullptr);
  // Hellos before TLS 1.2 may end here, without extensions.
  if (in.ok() && in.message_left() > 0) read_extensions(in, name);
}

}  // namespace

hello_result read_client_hello(std::string_view bytes_so_far, std::string& server_name) {
  server_name.clear();
  handshake_reader in(bytes_so_far);
  read_hello(in, server_name);
  if (!in.ok()) server_name.clear();
  return in.state();
}

}  // namespace ferry
