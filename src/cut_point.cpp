#include "cut_point.h"

#include <sys/socket.h>

namespace ferry {

void cut_point::set_server(int servfd) {
  std::lock_guard lock(mutex_);
  server_ = servfd;
}

void cut_point::note_head_complete() {
  std::lock_guard lock(mutex_);
  head_complete_ = true;
}

bool cut_point::cut(bool unfinished_heads_only) {
  std::lock_guard lock(mutex_);
  if (unfinished_heads_only && head_complete_) return false;
  for (int fd : {client_, server_}) {
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
  }
  cut_ = true;
  return true;
}

bool cut_point::was_cut() {
  std::lock_guard lock(mutex_);
  return cut_;
}

}  // namespace ferry
