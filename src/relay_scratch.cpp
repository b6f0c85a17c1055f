#include "relay_scratch.h"

#include "log.h"

namespace ferry {

std::size_t head_buffer_size() { return tracing() ? chunk_size : 2048; }

char* kept_buffer(std::unique_ptr<char[]>& kept, std::size_t size) {
  if (!kept) kept = std::make_unique_for_overwrite<char[]>(size);
  return kept.get();
}

}  // namespace ferry
