#include "platform/ini.h"

#include <cstdint>
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarsio::platform {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// Splits off the next line (LF, CR LF or a lone CR ends it).
std::string_view next_line(std::string_view& rest) {
  std::size_t end = 0;
  while (end < rest.size() && rest[end] != '\n' && rest[end] != '\r') ++end;
  std::string_view line = rest.substr(0, end);
  if (end < rest.size()) {
    if (rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n') ++end;
    ++end;
  }
  rest.remove_prefix(end);
  return line;
}

// The text without a leading UTF-8 byte-order mark.
std::string_view body(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return text;
}

// The name of a section header line ("[name]", trimmed inside), or nothing
// for any other line.  A line that opens a bracket without closing it is no
// header.
std::optional<std::string_view> section_header(std::string_view line) {
  if (line.empty() || line.front() != '[') return std::nullopt;
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return trim(line.substr(1, close - 1));
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

int ini_parse_int(std::string_view value) {
  value = trim(value);
  bool negative = false;
  if (!value.empty() && (value.front() == '-' || value.front() == '+')) {
    negative = value.front() == '-';
    value.remove_prefix(1);
  }
  uint32_t result = 0;  // unsigned, so that overflow wraps instead of being undefined
  if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X') &&
      hex_digit(value[2]) >= 0) {
    for (std::size_t i = 2; i < value.size() && hex_digit(value[i]) >= 0; ++i)
      result = result * 16u + static_cast<uint32_t>(hex_digit(value[i]));
  } else {
    for (std::size_t i = 0; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i)
      result = result * 10u + static_cast<uint32_t>(value[i] - '0');
  }
  if (negative) result = 0u - result;
  return static_cast<int>(result);
}

IniFileStatus read_ini_file(const std::string& path, std::string* text, int* error) {
  text->clear();
  *error = 0;
  if (path.empty()) {
    *error = ENOENT;
    return IniFileStatus::kMissing;
  }
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    *error = errno;
    return errno == ENOENT ? IniFileStatus::kMissing : IniFileStatus::kError;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    if (S_ISDIR(st.st_mode)) *error = EISDIR;
    return IniFileStatus::kNotRegular;
  }
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = errno;
      ::close(fd);
      text->clear();
      return IniFileStatus::kError;
    }
    if (n == 0) break;
    if (text->size() + static_cast<std::size_t>(n) > kIniMaxFileSize) {
      ::close(fd);
      text->clear();
      return IniFileStatus::kTooLarge;
    }
    text->append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return IniFileStatus::kOk;
}

IniText IniText::load(const std::string& path) {
  std::string text;
  int error = 0;
  if (read_ini_file(path, &text, &error) != IniFileStatus::kOk) return IniText();
  return IniText(std::move(text));
}

bool IniText::has_section(std::string_view section) const {
  section = trim(section);
  if (section.empty()) return false;
  std::string_view rest = body(text_);
  while (!rest.empty()) {
    const auto name = section_header(trim(next_line(rest)));
    if (name && same_name(*name, section)) return true;
  }
  return false;
}

std::optional<std::string> IniText::get(std::string_view section, std::string_view key) const {
  section = trim(section);
  key = trim(key);
  if (section.empty() || key.empty()) return std::nullopt;
  std::string_view rest = body(text_);
  enum { kBefore, kInside, kAfter } state = kBefore;
  while (!rest.empty() && state != kAfter) {
    const std::string_view line = trim(next_line(rest));
    if (line.empty() || line.front() == ';') continue;
    if (const auto name = section_header(line)) {
      if (state == kInside)
        state = kAfter;  // only the first matching section is searched
      else if (same_name(*name, section))
        state = kInside;
      continue;
    }
    if (state != kInside) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    if (!same_name(trim(line.substr(0, eq)), key)) continue;
    std::string_view value = trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
  }
  return std::nullopt;
}

int IniText::get_int(std::string_view section, std::string_view key, int def) const {
  const auto value = get(section, key);
  return value ? ini_parse_int(*value) : def;
}

std::string IniText::get_string(std::string_view section, std::string_view key, std::string_view def,
                                std::size_t capacity) const {
  const auto value = get(section, key);
  std::string text = value ? *value : std::string(def);
  const std::size_t limit = capacity == 0 ? 0 : capacity - 1;
  if (text.size() > limit) text.resize(limit);
  return text;
}

int ini_read_int(const std::string& path, std::string_view section, std::string_view key, int def) {
  return IniText::load(path).get_int(section, key, def);
}

std::string ini_read_string(const std::string& path, std::string_view section, std::string_view key,
                            std::string_view def, std::size_t capacity) {
  return IniText::load(path).get_string(section, key, def, capacity);
}

}  // namespace tarsio::platform
