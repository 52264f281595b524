// Shared pieces of the lumetra command: exit statuses, error lines, JSON
// strings, argument parsing, reading images and writing files.  The
// command reaches the library only through liblumetra.so: the public
// exports of lumetra.h and, for what a host never needs (per-slot scores,
// the configuration, templates in memory), the library's internal tools
// header api/lumetra_tools.h.
#ifndef TOOLS_LUMETRA_CLI_H
#define TOOLS_LUMETRA_CLI_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "api/lumetra_tools.h"
#include "imageio.h"

namespace cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitNoMatch = 1;
inline constexpr int kExitError = 2;

// Captures are taken at the library's 500 dpi, as its own bitmap
// comparison takes them.
inline constexpr int kResolution = imageio::kDefaultDpi;
inline constexpr int32_t kImpressionType = 0;
// Default false-accept level of the library (1 in 10^4).
inline constexpr int kDefaultFar = 12;
// Highest false-accept level the verifier's threshold tables hold.
inline constexpr int kMaxFar = LUMETRA_TOOLS_MAX_FAR;

// Prints "lumetra: <what>: <problem>" on standard error; returns kExitError.
int fail(const std::string &what, const std::string &problem);

// A JSON string literal of s.
std::string json_string(const std::string &s);

// Parses a whole decimal number in lo..hi.
bool parse_int(const char *text, int lo, int hi, int *value);

// A grey image read from a file, brought to the library's resolution.
using Picture = imageio::GreyImage;

// How images are read: the resolution of files that state none (or of
// every file, with --force-dpi).
struct ImageOptions {
  int dpi = kResolution;
  bool force_dpi = false;
};

// Reads an image file (BMP, PNG, TIFF, PGM) and brings it to the library's
// resolution with the library's own resampling; on failure the problem is
// described in *problem.
bool read_picture(const std::string &path, const ImageOptions &options, Picture *pic,
                  std::string *problem);

// The arguments of one subcommand: --json everywhere; --dpi N and
// --force-dpi where images are read; the options named by the subcommand
// (each with one value, or a plain switch); the rest are file names.
struct Arguments {
  bool json = false;
  ImageOptions image;
  std::vector<std::string> files;
  std::map<std::string, std::string> values;
  std::set<std::string> switches;

  const std::string *value(const char *name) const {
    const auto it = values.find(name);
    return it == values.end() ? nullptr : &it->second;
  }
  bool has(const char *name) const { return switches.count(name) != 0; }
};

struct Grammar {
  bool images;
  std::vector<std::string> valued;
  std::vector<std::string> switches;
};

// False after reporting the faulty argument (*status is then the exit
// status).
bool parse_arguments(const std::string &command, const std::vector<std::string> &args,
                     const Grammar &grammar, Arguments *out, int *status);

// Reads a --far value (default kDefaultFar); false after reporting it.
bool far_level(const Arguments &a, int *far, int *status);

// Builds the library's algorithm for the picture's size (the sensor takes
// the image's size); false after reporting that there is none.
bool init_for(const std::string &file, const Picture &pic, int *status);

// The template the library's algorithm extracts from a picture (none with
// the library's result when it cannot).
int32_t extract_with(const Picture &pic, lumetra_tools_template **tpl);

// Writes bytes to a file through a temporary beside it, so that an
// existing file is replaced whole or not at all (devices, pipes and links
// are written in place); false with *problem set.
bool write_whole_file(const std::string &path, const uint8_t *bytes, size_t size,
                      std::string *problem);

// Subcommands (each returns the exit status).
int cmd_enroll(const std::vector<std::string> &args);
int cmd_verify(const std::vector<std::string> &args);
int cmd_convert(const std::vector<std::string> &args);

}  // namespace cli

#endif  // TOOLS_LUMETRA_CLI_H
