// Shared pieces of the lumetra command.
#include "cli.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <unistd.h>

#include "engine/qx_rc.h"
#include "imageio.h"
#include "lumetra.h"
#include "resolution.h"

namespace cli {

bool g_json = false;

namespace {

// Where "-o -" writes its data: standard output, set aside before any
// report is printed, so that the reports go to standard error instead.
int g_data_fd = -1;

void claim_standard_output() {
  if (g_data_fd >= 0) return;
  std::fflush(stdout);
  g_data_fd = dup(STDOUT_FILENO);
  dup2(STDERR_FILENO, STDOUT_FILENO);
}

// One line, whatever a decoding library put in its message.
std::string one_line(std::string text) {
  std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  return text;
}

}  // namespace

int fail(const std::string &what, const std::string &problem) {
  if (g_json)
    std::fprintf(stderr, "{\"error\": %s, \"file\": %s}\n", json_string(one_line(problem)).c_str(),
                 json_string(what).c_str());
  else
    std::fprintf(stderr, "lumetra: %s: %s\n", what.c_str(), one_line(problem).c_str());
  return kExitError;
}

void warn(const std::string &what, const std::string &text) {
  if (g_json)
    std::fprintf(stderr, "{\"warning\": %s, \"file\": %s}\n", json_string(one_line(text)).c_str(),
                 json_string(what).c_str());
  else
    std::fprintf(stderr, "lumetra: %s: warning: %s\n", what.c_str(), one_line(text).c_str());
}

std::string json_string(const std::string &s) {
  std::string out = "\"";
  for (const unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

bool read_input(const std::string &path, std::size_t limit, std::vector<uint8_t> *bytes,
                std::string *problem) {
  bytes->clear();
  const bool standard = path == "-";
  FILE *f = standard ? stdin : std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *problem = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  uint8_t chunk[65536];
  bool error = false;
  for (;;) {
    const std::size_t n = std::fread(chunk, 1, sizeof chunk, f);
    bytes->insert(bytes->end(), chunk, chunk + n);
    if (bytes->size() > limit) break;
    if (n < sizeof chunk) {
      error = std::ferror(f) != 0;
      break;
    }
  }
  const int read_errno = errno;
  if (!standard) std::fclose(f);
  if (error) {
    *problem = std::string("cannot read: ") + std::strerror(read_errno);
    return false;
  }
  if (bytes->size() > limit) {
    *problem = "larger than " + std::to_string(limit) + " bytes";
    return false;
  }
  return true;
}

bool read_picture(const std::string &path, const ImageOptions &options, Picture *pic,
                  std::string *problem) {
  imageio::GreyImage image;
  if (path == "-") {
    std::vector<uint8_t> bytes;
    if (!read_input(path, imageio::kMaxFileBytes, &bytes, problem) ||
        !imageio::decode(bytes.data(), bytes.size(), &image, problem))
      return false;
  } else if (!imageio::read_file(path, &image, problem)) {
    return false;
  }
  imageio::ResolutionRule rule;
  rule.default_dpi = options.dpi;
  rule.force = options.force_dpi;
  std::string warning;
  if (!imageio::to_library_resolution(image, rule, pic, &warning, problem)) return false;
  if (!warning.empty()) warn(path, warning);
  if (options.window) {
    // The window is cut at 500 dpi, where the library's sensors are
    // measured; outside the image it is white.
    *pic = options.window_placed
               ? imageio::window(*pic, options.window_y, options.window_x, options.window_rows,
                                 options.window_cols)
               : imageio::foreground_window(*pic, options.window_rows, options.window_cols);
  }
  return true;
}

bool parse_window(const std::string &text, bool allow_place, ImageOptions *options) {
  int cols = 0, rows = 0, x = 0, y = 0, used = 0;
  const bool placed = std::sscanf(text.c_str(), "%dx%d+%d+%d%n", &cols, &rows, &x, &y, &used) == 4 &&
                      used == static_cast<int>(text.size());
  used = 0;
  const bool plain = !placed && std::sscanf(text.c_str(), "%dx%d%n", &cols, &rows, &used) == 2 &&
                     used == static_cast<int>(text.size());
  if ((!placed && !plain) || (placed && !allow_place) || text.find(' ') != std::string::npos ||
      cols < 1 || rows < 1 || cols > imageio::kMaxSide || rows > imageio::kMaxSide || x < 0 ||
      y < 0 || x > imageio::kMaxSide || y > imageio::kMaxSide)
    return false;
  options->window = true;
  options->window_cols = cols;
  options->window_rows = rows;
  options->window_placed = placed;
  options->window_x = x;
  options->window_y = y;
  return true;
}

std::vector<ServedRun> served_squares() {
  // Past 400 x 400 no configuration of the library is near: the registry
  // is asked for every square sensor below that.
  constexpr int kLargestProbed = 400;
  int col = 0, row = 0;
  get_fp_sensor_col_row(&col, &row);
  std::vector<ServedRun> runs;
  for (int n = 1; n <= kLargestProbed; ++n) {
    set_fp_sensor_col_row(n, n);
    lumetra_tools_config config;
    if (init_nerio_algorithm() != 0 || lumetra_tools_get_config(&config) != 0) continue;
    if (!runs.empty() && runs.back().last == n - 1 && runs.back().sensor_size == config.sensor_size)
      runs.back().last = n;
    else
      runs.push_back({n, n, config.sensor_size});
  }
  uninit_nerio_algorithm();
  set_fp_sensor_col_row(col, row);
  return runs;
}

std::string served_sizes_text() {
  const std::vector<ServedRun> runs = served_squares();
  if (runs.empty()) return "the library serves no square sensor";
  std::string text;
  int first = runs.front().first, last = runs.front().last;
  for (std::size_t i = 1; i <= runs.size(); ++i) {
    if (i < runs.size() && runs[i].first == last + 1) {
      last = runs[i].last;
      continue;
    }
    text += std::string(text.empty() ? "" : ", ") + std::to_string(first) + "x" +
            std::to_string(first) + " to " + std::to_string(last) + "x" + std::to_string(last);
    if (i < runs.size()) first = runs[i].first, last = runs[i].last;
  }
  return "the library serves square sensors from " + text +
         " pixels, and oblong ones of about the same area";
}

bool parse_int(const char *text, int lo, int hi, int *value) {
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  *value = static_cast<int>(v);
  return true;
}

bool parse_arguments(const std::string &command, const std::vector<std::string> &args,
                     const Grammar &grammar, Arguments *out, int *status) {
  if (std::find(args.begin(), args.end(), "--json") != args.end() &&
      std::find(args.begin(), args.end(), "--json") < std::find(args.begin(), args.end(), "--"))
    g_json = out->json = true;
  bool only_files = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    if (only_files || a == "-" || a.empty() || a[0] != '-') {
      out->files.push_back(a);
      continue;
    }
    if (a == "--") {
      only_files = true;
      continue;
    }
    // --name=value is --name value.
    const std::optional<std::string> inline_value =
        a.rfind("--", 0) == 0 && a.find('=') != std::string::npos
            ? std::optional<std::string>(a.substr(a.find('=') + 1))
            : std::nullopt;
    if (inline_value) a = a.substr(0, a.find('='));
    const auto named = [&](const std::vector<std::string> &list) {
      return std::find(list.begin(), list.end(), a) != list.end();
    };
    const bool image_valued = grammar.images && (a == "--dpi" || a == "--window" || a == "--sensor");
    if (a == "--help" || a == "-h") {
      std::fputs(command_help(command), stdout);
      *status = kExitOk;
      return false;
    }
    if (a == "--json" || named(grammar.switches) || (grammar.images && a == "--force-dpi")) {
      if (inline_value) {
        *status = fail(a, "takes no value");
        return false;
      }
      if (a == "--force-dpi") out->image.force_dpi = true;
      else if (a != "--json") out->switches.insert(a);
    } else if (image_valued || named(grammar.valued)) {
      if (!inline_value && i + 1 >= args.size()) {
        *status = fail(a, "needs a value");
        return false;
      }
      const std::string v = inline_value ? *inline_value : args[++i];
      if (a == "--dpi") {
        if (!parse_int(v.c_str(), 1, 65535, &out->image.dpi)) {
          *status = fail(v, "not a resolution in dpi (1..65535)");
          return false;
        }
      } else if (image_valued) {
        if (!parse_window(v, a == "--window", &out->image)) {
          *status = fail(v, a == "--window" ? "not a window WxH or WxH+X+Y (pixels at 500 dpi)"
                                            : "not a sensor size WxH (pixels at 500 dpi)");
          return false;
        }
      } else {
        out->values[a] = v;
      }
    } else {
      *status = fail(a, "unknown option of " + command + " (lumetra " + command + " --help)");
      return false;
    }
  }
  // Data written to standard output leaves it to the data alone.
  if (const std::string *o = out->value("-o"); o != nullptr && *o == "-") claim_standard_output();
  return true;
}

bool far_level(const Arguments &a, int *far, int *status) {
  *far = kDefaultFar;
  const std::string *v = a.value("--far");
  if (v != nullptr && !parse_int(v->c_str(), 0, kMaxFar, far)) {
    *status = fail(*v, "not a false-accept level (0.." + std::to_string(kMaxFar) + ")");
    return false;
  }
  return true;
}

bool init_for(const std::string &file, const Picture &pic, int *status) {
  set_fp_sensor_col_row(pic.cols, pic.rows);
  lumetra_tools_config config;
  if (init_nerio_algorithm() != 0 || lumetra_tools_get_config(&config) != 0) {
    *status = fail(file, "the library has no configuration for a sensor of " +
                             std::to_string(pic.cols) + " x " + std::to_string(pic.rows) +
                             " pixels (at 500 dpi): " + served_sizes_text() +
                             "; cut a window of a served size with --window WxH (for example "
                             "--window 88x88 or --window 197x197)");
    return false;
  }
  return true;
}

int32_t extract_with(const Picture &pic, lumetra_tools_template **tpl) {
  return lumetra_tools_extract(pic.pixels.data(), pic.rows, pic.cols, tpl);
}

bool write_whole_file(const std::string &path, const uint8_t *bytes, size_t size,
                      std::string *problem) {
  if (path != "-") return imageio::replace_file(path, bytes, size, problem);
  claim_standard_output();
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::write(g_data_fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *problem = std::string("cannot write the whole output: ") +
                 std::strerror(n < 0 ? errno : EIO);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace cli
