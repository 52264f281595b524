#include "shell/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

#include "shell/config.h"

namespace tarsio::shell {
namespace {

// Constant-initialised, so it exists before any static constructor logs.
std::mutex g_log_lock;
char g_log_buffer[kLogBufferSize];
std::atomic<int> g_threshold{kLogStartThreshold};

constexpr const char* kLogFile = "log/app.log";

bool path_exists(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0;
}

}  // namespace

int log_threshold() { return g_threshold.load(std::memory_order_relaxed); }

void set_log_threshold(int threshold) { g_threshold.store(threshold, std::memory_order_relaxed); }

void app_log(uint8_t level, const char* fmt, ...) {
  // A suppressed message costs one comparison: nothing is formatted or locked.
  if (static_cast<int>(level) < log_threshold()) return;

  std::lock_guard<std::mutex> guard(g_log_lock);
  va_list args;
  va_start(args, fmt);
  const int formatted = std::vsnprintf(g_log_buffer, sizeof g_log_buffer, fmt, args);
  va_end(args);

  std::FILE* file = std::fopen(kLogFile, "ab");
  if (file == nullptr) return;  // the message is lost without any other report

  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm local;
  ::localtime_r(&now.tv_sec, &local);
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
  std::fputs(stamp, file);
  // A format that fails leaves only the stamp, without a line feed.
  if (formatted >= 0) {
    std::fputs(g_log_buffer, file);
    std::fputc('\n', file);
  }
  std::fclose(file);
}

void log_enter(const char* op) {
  app_log(kLogV, "[App] V %s: ENTER>>(pid:%d tid:%d).", op, static_cast<int>(::getpid()),
          static_cast<int>(::gettid()));
}

void log_leave(const char* op) { app_log(kLogV, "[App] V %s: LEAVE<<.", op); }

void initlog() {
  // Only existence is tested: a plain file called "log" passes the test, and
  // every message is then lost when the file cannot be opened.
  if (!path_exists("log") && ::mkdir("log", 0777) != 0) {
    TLOG_W("initlog", "Directory log creat failed.");
    return;
  }
  if (!path_exists("TestResult") && ::mkdir("TestResult", 0777) != 0) {
    TLOG_W("initlog", "create TestResult failed");
  }
  // Levels run from 0 to 5; 6 and above write nothing.
  set_log_threshold(config_get_checked("common", "AppLogLevel", 0, 0, 6));
}

}  // namespace tarsio::shell
