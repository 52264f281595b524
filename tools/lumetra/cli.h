// Shared pieces of the lumetra command: exit statuses, error lines, JSON
// strings, argument parsing, reading images and writing files.  The
// command reaches the library only through liblumetra.so: the public
// exports of lumetra.h and, for what a host never needs (per-slot scores,
// the configuration, templates in memory), the library's internal tools
// header api/lumetra_tools.h.
#ifndef TOOLS_LUMETRA_CLI_H
#define TOOLS_LUMETRA_CLI_H

#include <cstddef>
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
// enroll: a template was written, but the enrollment's progress is below
// what --min-progress asks for (100 % by default).
inline constexpr int kExitIncomplete = 3;

// Set once --json is seen: errors and warnings go to standard error as
// one JSON object a line ({"error": ..., "file": ...}).
extern bool g_json;

// Captures are taken at the library's 500 dpi, as its own bitmap
// comparison takes them.
inline constexpr int kResolution = imageio::kDefaultDpi;
inline constexpr int32_t kImpressionType = 0;
// Default false-accept level of the library (1 in 10^4).
inline constexpr int kDefaultFar = 12;
// Highest false-accept level the verifier's threshold tables hold.
inline constexpr int kMaxFar = LUMETRA_TOOLS_MAX_FAR;

// Prints "lumetra: <what>: <problem>" on standard error (a JSON object
// {"error": problem, "file": what} with --json); returns kExitError.
int fail(const std::string &what, const std::string &problem);
// Prints "lumetra: <what>: warning: <text>" (or {"warning": ..., "file":
// ...}) on standard error.
void warn(const std::string &what, const std::string &text);

// A JSON string literal of s.
std::string json_string(const std::string &s);

// Parses a whole decimal number in lo..hi.
bool parse_int(const char *text, int lo, int hi, int *value);

// A grey image read from a file, brought to the library's resolution.
using Picture = imageio::GreyImage;

// How images are read: the resolution of files that state none or an
// implausible one (or of every file, with --force-dpi), and the window
// cut from each image at 500 dpi (--window WxH[+X+Y] or --sensor WxH).
struct ImageOptions {
  int dpi = kResolution;
  bool force_dpi = false;
  bool window = false;
  int window_cols = 0, window_rows = 0;
  bool window_placed = false;  // at (window_x, window_y), else at the print's centre
  int window_x = 0, window_y = 0;
};

// Parses WxH or WxH+X+Y; false when the text is neither.
bool parse_window(const std::string &text, bool allow_place, ImageOptions *options);

// The sizes the library serves, found by asking it: each run of square
// sensors n x n that one configuration serves ({first, last, size code}),
// and one line that names them for people.
struct ServedRun {
  int first, last, sensor_size;
};
std::vector<ServedRun> served_squares();
std::string served_sizes_text();

// Reads an image file (BMP, PNG, TIFF, PGM; "-" standard input), brings it
// to the library's resolution under the tools' resolution rule (a warning
// line when the file's stated value is ignored), and cuts the window the
// options ask for; on failure the problem is described in *problem.
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
// the image's size); false after reporting that there is none (with the
// sizes that are served and the option that cuts one).
bool init_for(const std::string &file, const Picture &pic, int *status);

// The template the library's algorithm extracts from a picture (none with
// the library's result when it cannot).
int32_t extract_with(const Picture &pic, lumetra_tools_template **tpl);

// Writes bytes to a file through a temporary beside it, so that what is
// at the path is replaced whole or not at all (imageio::replace_file: a
// symbolic link is followed and stays, devices and pipes are written in
// place); "-" is standard output, set aside from the reports.  False with
// *problem set.  Every file the command writes, templates and images,
// goes through here.
bool write_whole_file(const std::string &path, const uint8_t *bytes, size_t size,
                      std::string *problem);

// Reads a whole file ("-" standard input) of at most `limit` bytes; false
// with *problem set.
bool read_input(const std::string &path, std::size_t limit, std::vector<uint8_t> *bytes,
                std::string *problem);

// The help text of one subcommand, or null for an unknown one.
const char *command_help(const std::string &command);

// Subcommands (each returns the exit status).
int cmd_enroll(const std::vector<std::string> &args);
int cmd_verify(const std::vector<std::string> &args);
int cmd_convert(const std::vector<std::string> &args);

}  // namespace cli

#endif  // TOOLS_LUMETRA_CLI_H
