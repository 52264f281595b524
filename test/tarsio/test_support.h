// Helpers shared by the station tests: a scratch directory that becomes the
// current directory (the log and result files are relative to it), file
// reading, and the log lines without their time stamps.
#pragma once

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "shell/config.h"
#include "shell/log.h"

namespace tarsio::testing {

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// A fresh directory under /tmp that is the current directory while the
// object lives; it holds "log/" and an AppConfig.ini the readers use.
class ScratchDir {
 public:
  explicit ScratchDir(bool make_log_dir = true) {
    char tmpl[] = "/tmp/tarsio-test-XXXXXX";
    path_ = ::mkdtemp(tmpl);
    char cwd[PATH_MAX];
    old_cwd_ = ::getcwd(cwd, sizeof cwd) ? cwd : "/";
    if (::chdir(path_.c_str()) != 0) std::abort();
    if (make_log_dir) std::system(("mkdir -p '" + path_ + "/log'").c_str());
    shell::set_config_path_for_testing(config());
    saved_threshold_ = shell::log_threshold();
  }
  ~ScratchDir() {
    shell::set_log_threshold(saved_threshold_);
    shell::set_config_path_for_testing("");
    if (::chdir(old_cwd_.c_str()) != 0) std::abort();
    std::system(("rm -rf '" + path_ + "'").c_str());
  }
  const std::string& path() const { return path_; }
  std::string config() const { return path_ + "/AppConfig.ini"; }
  void write_config(const std::string& text) const { write_file(config(), text); }
  std::string log_bytes() const { return read_file(path_ + "/log/app.log"); }

  // The log lines with their 13-character time stamps removed.
  std::vector<std::string> log_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(log_bytes());
    std::string line;
    while (std::getline(in, line)) lines.push_back(line.size() >= 13 ? line.substr(13) : line);
    return lines;
  }

 private:
  std::string path_;
  std::string old_cwd_;
  int saved_threshold_ = shell::kLogStartThreshold;
};

}  // namespace tarsio::testing
