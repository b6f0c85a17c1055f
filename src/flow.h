// One direction of a pump: bytes read from a socket (or spliced into the
// thread's pipe) and waiting to be written to the other, and the steps that
// move them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "relay_scratch.h"

namespace ferry {

// refused: a descriptor does not splice, so the bytes go by reads and writes.
enum class move_result { idle, moved, failed, refused };

// One direction: bytes read from `from`, waiting to go to `to`.
struct flow {
  int from = -1;
  int to = -1;
  std::string_view pending;  // read and not yet written
  std::size_t written = 0;   // of `pending`
  // Spliced from `from` into the pipe, not yet on to `to`; goes after `pending`.
  std::size_t in_pipe = 0;
  bool splice_refused = false;  // a descriptor of this flow does not splice
  std::uint64_t bytes_read = 0;
  int full_reads = 0;  // reads that filled the buffer: a long transfer
  std::uint64_t bytes_written = 0;
  bool readable = false;    // a read may find data without a wait
  bool writable = true;     // a write may take bytes without a wait
  bool source_open = true;  // `from` has not ended
  bool may_grow = true;     // the buffer may grow to large_chunk_size
  bool blocked = false;     // a write is waiting for room since `blocked_since`
  std::chrono::steady_clock::time_point blocked_since;
  // The thread's buffers, taken at the first read unless given: most
  // requests send nothing after their head, and need no upload buffer.
  char* buffer = nullptr;
  std::size_t capacity = chunk_size;
  std::unique_ptr<char[]>* small = nullptr;  // chunk_size
  std::unique_ptr<char[]>* large = nullptr;  // large_chunk_size
};

bool has_pending(const flow& direction);

// The pipe's bytes are lost with it: a pump that ends, or an upload that
// ends, with bytes in it leaves a new pipe to be made.
void drop_pipe(splice_pipe* pipe, flow& direction);

// Splices up to `allowance` bytes from `from` into the pipe, which is empty.
// End of stream clears source_open.
move_result splice_source(splice_pipe*& kept, flow& direction, std::uint64_t allowance);

// Pending bytes first, then piped ones, which came later.
move_result write_out(splice_pipe* pipe, flow& direction);

// Reads once from `from` into the buffer. End of stream clears source_open;
// the bytes read are left in `got`.
move_result read_source(flow& direction, std::string_view& got);

}  // namespace ferry
