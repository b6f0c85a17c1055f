// What SIGHUP reads again: the users of AUTH_FILE and the "@" files of
// ALLOW_HOSTS and DENY_HOSTS. One holder, shared by the request threads and
// the thread that takes the signal; the settings value itself never changes.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host_list.h"
#include "settings.h"
#include "users.h"

namespace ferry {

class policy_files {
 public:
  // Starts from what the settings read at start-up.
  explicit policy_files(const settings& config);

  // Null without AUTH_FILE.
  credential_cache* users() const { return users_.get(); }

  // The host lists in force. A request keeps the ones it took, so a reload
  // never changes a judgement half-way.
  std::shared_ptr<const host_lists> hosts() const;

  // Whether a setting names a file that SIGHUP reads again.
  bool has_files() const;

  // Reads every such file again and forgets the verified pairs. A file that
  // cannot be read or parsed keeps what was in force; each adds one line
  // (no newline) to the result.
  std::vector<std::string> reread();

 private:
  const settings& config_;
  std::unique_ptr<credential_cache> users_;
  mutable std::mutex mutex_;  // guards hosts_
  std::shared_ptr<const host_lists> hosts_;
};

}  // namespace ferry
