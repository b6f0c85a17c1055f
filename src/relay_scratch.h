// What a request thread keeps for every request it serves, so that none
// allocates its own: its buffers and its splice pipe.
#pragma once

#include <cstddef>
#include <memory>

#include "unique_fd.h"

namespace ferry {

// Reads of this size while the trace names each one; an answer or upload
// that keeps filling its buffer moves on in large chunks otherwise.
inline constexpr std::size_t chunk_size = 4096;
inline constexpr std::size_t large_chunk_size = 64 * 1024;

// A pipe that bodies and tunnels pass through with splice(2), never copied
// into ferry's memory; one direction's bytes at a time. Made at the first
// body that can use it, kept by its thread.
struct splice_pipe {
  unique_fd read_end;
  unique_fd write_end;
};

// The size of the buffer that takes the head, then the answer's first
// reads: a chunk while the trace names each read's size, else room for most
// heads, since every request in flight holds one.
std::size_t head_buffer_size();

// What a request thread keeps for every request it serves, so that none
// allocates its own: buffers made at their first use, and the pipe.
struct relay_scratch {
  std::unique_ptr<char[]> head;          // head_buffer_size()
  std::unique_ptr<char[]> upload;        // chunk_size, for uploads that cannot splice
  std::unique_ptr<char[]> large_answer;  // large_chunk_size, for long chunked answers
  std::unique_ptr<char[]> large_upload;  // and uploads
  splice_pipe pipe;
};

// `kept`, made of `size` bytes if it was not yet.
char* kept_buffer(std::unique_ptr<char[]>& kept, std::size_t size);

}  // namespace ferry
