// An INI reader with the semantics of the private-profile functions the
// station's configuration was designed around:
//  - "[name]" opens a section, "key=value" lines follow; section and key
//    names match without regard to (ASCII) case; the first matching
//    section and, inside it, the first matching key win;
//  - lines end in LF, CR LF or CR; lines starting with ';' and lines
//    without '=' are ignored; a UTF-8 byte-order mark is skipped;
//  - names and values are trimmed of blanks and tabs; a string value
//    enclosed in a pair of matching quotes loses them;
//  - a missing file, section or key yields the caller's default;
//  - an integer is read from the value's leading number: optional sign,
//    then decimal digits, or "0x"/"0X" and hexadecimal digits; a value
//    without a leading number reads as 0; the result wraps to 32 bits;
//  - an empty section name never matches (not even a "[]" line), and a
//    line that opens a bracket without closing it is no section header;
//  - has_section() and the lookups see the same sections.
// Files larger than kIniMaxFileSize, and anything that is not a regular file
// (a FIFO would block the reader for ever), are treated as missing.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarsio::platform {

inline constexpr std::size_t kIniMaxFileSize = 4u << 20;

enum class IniFileStatus { kOk, kMissing, kNotRegular, kTooLarge, kError };

// Reads a whole configuration file without ever blocking on it: the file is
// opened without waiting and refused unless it is a regular file.  *error
// holds the errno value of kMissing and kError (and EISDIR for a folder).
IniFileStatus read_ini_file(const std::string& path, std::string* text, int* error);

// Parses the leading integer of a value (see above).
int ini_parse_int(std::string_view value);

class IniText {
 public:
  IniText() = default;
  explicit IniText(std::string text) : text_(std::move(text)) {}
  // Reads the whole file; a missing, unreadable or oversized file gives an
  // empty text (so every read yields its default).
  static IniText load(const std::string& path);

  // True when a section of that name (any case) is present.
  bool has_section(std::string_view section) const;
  // The raw (trimmed, unquoted) value, or nothing when absent.
  std::optional<std::string> get(std::string_view section, std::string_view key) const;
  int get_int(std::string_view section, std::string_view key, int def) const;
  // The value cut to capacity - 1 characters (capacity counts the
  // terminator of the original fixed buffers; 0 gives "").
  std::string get_string(std::string_view section, std::string_view key, std::string_view def,
                         std::size_t capacity) const;

 private:
  std::string text_;
};

int ini_read_int(const std::string& path, std::string_view section, std::string_view key, int def);
std::string ini_read_string(const std::string& path, std::string_view section, std::string_view key,
                            std::string_view def, std::size_t capacity);

}  // namespace tarsio::platform
