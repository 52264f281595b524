// Small helpers for the discovery, hotplug and application tests.
#pragma once

#include <cstdlib>
#include <string>

namespace tarsio::testing {

// Counts the occurrences of `needle` in `text`.
inline int count_of_text(const std::string &text, const std::string &needle) {
  int n = 0;
  for (auto pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
  return n;
}

// Sets an environment variable for the life of the object and restores the
// previous value (or its absence) afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const std::string &value) : name_(name) {
    if (const char *old = std::getenv(name)) {
      had_ = true;
      old_ = old;
    }
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_) setenv(name_.c_str(), old_.c_str(), 1);
    else unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

}  // namespace tarsio::testing
