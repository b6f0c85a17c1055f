// Where a stop reaches a request being served.
#pragma once

#include <mutex>

namespace ferry {

// A request's sockets, and whether its head is complete. Safe to use from
// the request's thread and a stopping one.
class cut_point {
 public:
  explicit cut_point(int clifd = -1) : client_(clifd) {}
  void set_server(int servfd);
  // Before the server's descriptor closes, so a cut never reaches a reused number.
  void clear_server() { set_server(-1); }
  void note_head_complete();
  // Shuts both sockets down, so every wait of the request ends at once; with
  // `unfinished_heads_only`, only while its head is incomplete. Returns
  // whether it cut.
  bool cut(bool unfinished_heads_only);
  bool was_cut();

 private:
  std::mutex mutex_;
  int client_;
  int server_ = -1;
  bool head_complete_ = false;
  bool cut_ = false;
};

}  // namespace ferry
