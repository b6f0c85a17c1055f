#include "policy_files.h"

#include <chrono>
#include <utility>

namespace ferry {

policy_files::policy_files(const settings& config)
    : config_(config), hosts_(std::make_shared<const host_lists>(config.hosts)) {
  if (config.auth_file.empty()) return;
  users_ = std::make_unique<credential_cache>(config.users,
                                              std::chrono::seconds(config.auth_cache_seconds));
}

std::shared_ptr<const host_lists> policy_files::hosts() const {
  std::lock_guard lock(mutex_);
  return hosts_;
}

bool policy_files::has_files() const {
  return !config_.auth_file.empty() || config_.allowed_hosts_value.starts_with('@') ||
         config_.denied_hosts_value.starts_with('@');
}

std::vector<std::string> policy_files::reread() {
  std::vector<std::string> problems;
  if (users_ != nullptr) {
    user_file file = load_user_file(config_.auth_file);
    if (file.problem.empty()) {
      users_->replace_users(std::move(file));
    } else {
      problems.push_back("AUTH_FILE kept as it was: " + file.problem);
    }
  }
  host_lists lists = *hosts();
  auto reload = [&problems](const char* name, const std::string& value, host_list& list) {
    std::string problem;
    if (!value.starts_with('@') || load_host_list(value, list, problem)) return;
    problems.push_back(std::string(name) + " kept as it was: " + problem);
  };
  if (lists.allowed) reload("ALLOW_HOSTS", config_.allowed_hosts_value, *lists.allowed);
  reload("DENY_HOSTS", config_.denied_hosts_value, lists.denied);
  auto fresh = std::make_shared<const host_lists>(std::move(lists));
  std::lock_guard lock(mutex_);
  hosts_ = std::move(fresh);
  return problems;
}

}  // namespace ferry
