#include "flow.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

#include "io.h"
#include "log.h"
#include "transfer.h"

namespace ferry {

using steady_clock = std::chrono::steady_clock;

namespace {

// A write that takes nothing starts the write timeout.
move_result note_blocked(flow& direction) {
  direction.writable = false;
  if (!direction.blocked) direction.blocked_since = steady_clock::now();
  direction.blocked = true;
  return move_result::idle;
}

// Writes what `to` takes of the pending bytes; one write that takes
// something stops the write timeout.
move_result write_pending(flow& direction) {
  transfer taken = write_now(direction.to, direction.pending.data(), direction.pending.size(),
                             direction.written);
  if (taken.result == io_result::failed) return move_result::failed;
  if (taken.result == io_result::would_block) return note_blocked(direction);
  direction.blocked = false;
  direction.written += taken.bytes;
  direction.bytes_written += taken.bytes;
  if (direction.written == direction.pending.size()) {
    direction.pending = {};
    direction.written = 0;
  }
  return move_result::moved;
}

void take_buffer(flow& direction) {
  if (direction.buffer == nullptr) direction.buffer = kept_buffer(*direction.small, chunk_size);
}

// Splices what `to` takes of the piped bytes; a `to` that does not splice
// gets them through the buffer instead, a bufferful at a time.
move_result write_piped(splice_pipe* pipe, flow& direction) {
  int pipe_out = pipe->read_end.get();
  if (!direction.splice_refused) {
    ssize_t put = splice(pipe_out, nullptr, direction.to, nullptr, direction.in_pipe,
                         SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (put < 0 && (errno == EAGAIN || errno == EINTR)) return note_blocked(direction);
    if (put > 0) {
      direction.blocked = false;
      direction.in_pipe -= static_cast<std::size_t>(put);
      direction.bytes_written += static_cast<std::size_t>(put);
      return move_result::moved;
    }
    if (put == 0 || errno != EINVAL) return move_result::failed;
    direction.splice_refused = true;
  }
  take_buffer(direction);
  ssize_t got = read(pipe_out, direction.buffer, std::min(direction.capacity, direction.in_pipe));
  if (got <= 0) return move_result::failed;
  direction.in_pipe -= static_cast<std::size_t>(got);
  direction.pending = std::string_view(direction.buffer, static_cast<std::size_t>(got));
  return move_result::moved;
}

}  // namespace

bool has_pending(const flow& direction) {
  return !direction.pending.empty() || direction.in_pipe > 0;
}

// The pipe's bytes are lost with it: a pump that ends, or an upload that
// ends, with bytes in it leaves a new pipe to be made.
void drop_pipe(splice_pipe* pipe, flow& direction) {
  if (direction.in_pipe == 0 || pipe == nullptr) return;
  pipe->read_end.reset();
  pipe->write_end.reset();
  direction.in_pipe = 0;
}

// Splices up to `allowance` bytes from `from` into the pipe, which is empty.
// End of stream clears source_open.
move_result splice_source(splice_pipe*& kept, flow& direction, std::uint64_t allowance) {
  splice_pipe& pipe = *kept;
  if (pipe.read_end.get() < 0) {
    int ends[2];
    // Out of descriptors: this pump reads and writes.
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
      kept = nullptr;
      return move_result::refused;
    }
    pipe.read_end.reset(ends[0]);
    pipe.write_end.reset(ends[1]);
  }
  ssize_t got = splice(direction.from, nullptr, pipe.write_end.get(), nullptr,
                       std::min<std::uint64_t>(allowance, large_chunk_size),
                       SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  if (got < 0 && errno == EINVAL) {
    direction.splice_refused = true;
    return move_result::refused;
  }
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
    direction.readable = false;
    return move_result::idle;
  }
  if (got < 0) return move_result::failed;
  if (got == 0) direction.source_open = false;
  direction.in_pipe = static_cast<std::size_t>(got);
  direction.bytes_read += direction.in_pipe;
  return move_result::moved;
}

// Pending bytes first, then piped ones, which came later.
move_result write_out(splice_pipe* pipe, flow& direction) {
  if (!direction.pending.empty()) return write_pending(direction);
  return write_piped(pipe, direction);
}

// Reads once from `from` into the buffer. End of stream clears source_open;
// the bytes read are left in `got`.
move_result read_source(flow& direction, std::string_view& got) {
  take_buffer(direction);
  // Nothing is pending, so no view points into the old buffer.
  if (direction.full_reads >= 2 && direction.capacity < large_chunk_size && direction.may_grow &&
      !tracing()) {
    direction.buffer = kept_buffer(*direction.large, large_chunk_size);
    direction.capacity = large_chunk_size;
  }
  transfer read = read_now(direction.from, direction.buffer, direction.capacity);
  if (read.result == io_result::would_block) {
    direction.readable = false;
    return move_result::idle;
  }
  if (read.result == io_result::failed) return move_result::failed;
  if (read.result == io_result::peer_closed) direction.source_open = false;
  got = std::string_view(direction.buffer, read.bytes);
  direction.bytes_read += read.bytes;
  if (read.bytes == direction.capacity) direction.full_reads++;
  return move_result::moved;
}

}  // namespace ferry
