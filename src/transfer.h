// Reads and writes on a client's or a server's socket, as the trace tells of
// them: every line the trace writes about a transfer is written here, and
// nowhere else.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>

#include "io.h"

namespace ferry {

// What a transfer did: its result, and the bytes it moved.
struct transfer {
  io_result result = io_result::failed;
  std::size_t bytes = 0;
};

// Waits until `fd` is readable or `until` passes, then reads once, at most
// `count` bytes: done with the bytes, peer_closed, timed_out or failed.
transfer wait_and_read(int fd, void* buffer, std::size_t count, const deadline& until);

// One read of at most `count` bytes that never waits: as wait_and_read, or
// would_block, printing nothing, when no data is there yet. Traced as
// wait_and_read traces a read that finds data waiting.
transfer read_now(int fd, void* buffer, std::size_t count);

// Writes what it can of chunk[done, size) without waiting: done with the
// bytes written, would_block when the descriptor takes none now, or failed.
// Traced as write_all traces the chunk: its first line when `done` is 0, its
// last when the chunk is complete.
transfer write_now(int fd, const char* chunk, std::size_t size, std::size_t done);

// Writes all `count` bytes; each wait for room may last `each_wait` (a
// negative span: as long as it takes). Returns done, timed_out or failed;
// bytes written before a failure stay written.
transfer write_all(int fd, const void* buffer, std::size_t count,
                   std::chrono::milliseconds each_wait);

}  // namespace ferry
