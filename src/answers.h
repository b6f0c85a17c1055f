// ferry's own HTTP answers, and the ways a connection is closed after one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "log.h"
#include "unique_fd.h"

namespace ferry {

// One of ferry's own answers: the status line, `extra_fields` (whole lines),
// a one-line text/plain body and Connection: close.
std::string error_answer(int status, std::string_view body_line,
                         std::string_view extra_fields = {});

// The access log's ending for a request that ferry answered with `status`.
request_ending ending_of(int status);

// Half-closes towards the client and reads what it still sends for a moment,
// so the close does not become a reset that destroys the answer in the
// client's receive buffer. The caller closes the descriptor.
void close_gently(int clifd);

// Sends `answer` (when not empty) without waiting, half-closes and takes what
// already arrived, so the close does not become a reset that destroys the
// answer. Returns the bytes sent. Never waits on the client; the caller
// closes the descriptor.
std::size_t answer_without_waiting(int clifd, std::string_view answer);

// The same, then closes the connection.
std::size_t answer_and_close_now(unique_fd connection, std::string_view answer);

}  // namespace ferry
