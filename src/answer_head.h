// Editing a server's answer head as it streams through to the client, and
// what that head says of the answer's body and both connections. Pure: no
// sockets, no globals.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "framing.h"
#include "head_scan.h"

namespace ferry {

// What the editor knows of the request an answer is for.
struct answer_request {
  std::string method;          // a HEAD request's answer has no body
  bool interim_wanted = true;  // false for HTTP/1.0 clients, which cannot take 1xx heads
  bool old_client = false;     // HTTP/1.0 or earlier: keep-alive is said aloud
  bool upgrade_asked = true;   // the server was asked to switch: a 101 may come
  bool close_wanted = false;   // the client asked to close after this answer
  // The request's body as the client sends it, where connections may be
  // kept; null when both end with this answer, which then always gets
  // "Connection: close".
  const body_tracker* upload = nullptr;
};

// What the final head said, once it has passed.
struct answer_found {
  bool final_head = false;  // the rest holds only once this is true
  body_framing body;        // where the answer's body ends
  bool framed = false;      // that framing can be trusted: the body is tracked by it
  bool switching = false;   // an asked-for 101: a tunnel from its head on
  // The client's connection may carry another request: the answer's end is
  // known, neither side asked to close, and the client's body had been read
  // whole (after an early answer its next bytes may be the body's rest).
  bool client_kept = false;
  bool server_kept = false;       // the server did not ask to close
  bool connection_bound = false;  // the answer asked for NTLM or Negotiate
};

// Edits a server's answer as it streams through: interim (1xx) heads pass as
// they are, the final head gets the Connection field its request and its
// own fields call for ("Connection: close" unless both connections may be
// kept) in place of the server's Connection fields, the fields those name
// and Keep-Alive, and its Content-Length fields as fix_content_length says.
// Bytes after the final head, and an answer that does not start with an
// HTTP status line, pass untouched. With a Via name, the final head's Via
// values go on in one field with ferry's entry last.
class answer_editor {
 public:
  void add_via(std::string_view own_name) { via_name_ = own_name; }
  void fit_to_request(answer_request request) { request_ = std::move(request); }
  // Takes the server's next bytes; returns what may go to the client now. The
  // view stays valid until the next call. Bytes of a head that is not yet
  // complete are held back.
  std::string_view feed(std::string_view bytes);
  // At the server's end of stream: whatever is still held back, untouched.
  std::string_view finish();
  // True once the final head has passed (or editing was given up): from then
  // on the caller may send server bytes straight to the client.
  bool passing() const { return passing_; }
  // The final answer's status code, 0 while unknown or when there was none.
  int status() const { return status_; }
  // What the final head said; final_head stays false when editing was given up.
  const answer_found& found() const { return found_; }
  // Where the body begins in what the last feed returned: npos when it held
  // all back or returned heads only.
  std::size_t body_start() const { return body_start_; }
  // The answer cannot be HTTP: where a head should start there is no status
  // line, or a code outside 100-599, or a 101 nobody asked for. What feed
  // returned with it must not reach the client.
  bool broken() const { return broken_; }
  // Bytes of interim heads returned so far.
  std::size_t interim_bytes() const { return interim_bytes_; }

 private:
  std::string connection_fields(const answer_fields& fields);
  void take_final_head(std::string_view head);

  std::string held_;
  std::string out_;
  std::string via_name_;
  answer_request request_;
  answer_found found_;
  bool passing_ = false;
  bool broken_ = false;
  int status_ = 0;
  std::size_t interim_bytes_ = 0;
  std::size_t body_start_ = std::string_view::npos;
};

}  // namespace ferry
