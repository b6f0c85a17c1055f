// Files and throw-away folders: what the tests install, package, deploy and
// serve, and the configurations of the programs they start.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace temp_files {

// False when the file cannot be written whole.
inline bool write_file(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary);
  file << content;
  file.close();
  return !file.fail();
}

// The whole file, or "" when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

// A fresh folder under /tmp, removed with everything in it.
class temp_folder {
 public:
  temp_folder() {
    char pattern[] = "/tmp/ferry-test-XXXXXX";
    path_ = mkdtemp(pattern) != nullptr ? pattern : "";
    EXPECT_FALSE(path_.empty()) << "mkdtemp failed";
  }
  temp_folder(const temp_folder&) = delete;
  temp_folder& operator=(const temp_folder&) = delete;
  ~temp_folder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace temp_files
