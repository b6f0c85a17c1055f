// Where a stop reaches a request being served: its sockets, and whether its
// head is complete; and the guard that lets it reach a server's socket.
#pragma once

#include <mutex>

namespace ferry {

// Safe to use from the request's thread and a stopping one.
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

// Lets a stop reach the server's socket while it is open: cleared before the
// owner closes it, as it is declared after the owner.
class server_watch {
 public:
  server_watch(cut_point* cut, int servfd) : cut_(cut) {
    if (cut_ != nullptr) cut_->set_server(servfd);
  }
  server_watch(const server_watch&) = delete;
  server_watch& operator=(const server_watch&) = delete;
  ~server_watch() { clear(); }
  void clear() {
    if (cut_ != nullptr) cut_->clear_server();
  }

 private:
  cut_point* cut_;
};

}  // namespace ferry
