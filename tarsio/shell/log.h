// The station's log writer: one process-wide appender of lines to
// log/app.log (relative to the current directory), five line shapes,
// a level threshold and a hex dump for device replies.
//
// Every line starts with "[App]" and the level letter.  Callers use the
// macros below so that the shapes stay uniform:
//
//   TLOG_E(op, fmt, ...)  "[App] E error at %s[%s:%d]: "  qualified name,
//                         source base name (TARSIO_LOG_SOURCE), line
//   TLOG_E_SRC(op, src, fmt, ...)  the same with an explicit source name
//   TLOG_I(op, fmt, ...)  "[App] I %s[%d]: "               plain name, line
//   TLOG_W(op, fmt, ...)  "[App] W %s[%d]: "
//   TLOG_D(op, fmt, ...)  "[App] D %s[%d]: "
//   TLOG_ENTER(op)        "[App] V %s: ENTER>>(pid:%d tid:%d)."
//   TLOG_LEAVE(op)        "[App] V %s: LEAVE<<."
//
// A source file that writes error lines defines the base name of the
// program file it stands for before using TLOG_E, for example
//   #define TARSIO_LOG_SOURCE "devicecontrol"
// Error lines name the operation qualified by its class
// ("CTarsioDlg::OnClose"); the other shapes use the plain name.
#pragma once

#include <cstdint>

namespace tarsio::shell {

enum LogLevel : uint8_t {
  kLogV = 0,  // entry and exit traces
  kLogD = 1,  // hex dumps of device replies
  kLogI = 2,  // progress, results, device traffic
  kLogW = 4,  // warnings
  kLogE = 5,  // errors
};

// Size of the shared message buffer: at most 1022 characters of text.
inline constexpr int kLogBufferSize = 1023;
// Threshold in force until initlog() has read the configuration.
inline constexpr int kLogStartThreshold = 2;

// Writes one message when level >= threshold.  The format holds the whole
// line except the time stamp and the line feed.
void app_log(uint8_t level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// The threshold.  initlog() sets it once from AppLogLevel; the setter exists
// for tests and for the start-up value.
int log_threshold();
void set_log_threshold(int threshold);

// Creates "log" and "TestResult" in the current directory and sets the
// threshold from AppLogLevel (section "common", default 0).  If "log" cannot
// be created it warns and returns at once, leaving the threshold unchanged.
void initlog();

// Entry and exit traces (level V).
void log_enter(const char* op);
void log_leave(const char* op);

}  // namespace tarsio::shell

#define TLOG_E(op, fmt, ...)                                                              \
  ::tarsio::shell::app_log(::tarsio::shell::kLogE, "[App] E error at %s[%s:%d]: " fmt, op, TARSIO_LOG_SOURCE, \
                    __LINE__ __VA_OPT__(, ) __VA_ARGS__)
// The same error line for code that stands in for another program file
// (for example a dialog member implemented in the device layer).
#define TLOG_E_SRC(op, source, fmt, ...)                                                   \
  ::tarsio::shell::app_log(::tarsio::shell::kLogE, "[App] E error at %s[%s:%d]: " fmt, op, source, __LINE__ \
                    __VA_OPT__(, ) __VA_ARGS__)
#define TLOG_I(op, fmt, ...) \
  ::tarsio::shell::app_log(::tarsio::shell::kLogI, "[App] I %s[%d]: " fmt, op, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define TLOG_W(op, fmt, ...) \
  ::tarsio::shell::app_log(::tarsio::shell::kLogW, "[App] W %s[%d]: " fmt, op, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define TLOG_D(op, fmt, ...) \
  ::tarsio::shell::app_log(::tarsio::shell::kLogD, "[App] D %s[%d]: " fmt, op, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define TLOG_ENTER(op) ::tarsio::shell::log_enter(op)
#define TLOG_LEAVE(op) ::tarsio::shell::log_leave(op)
