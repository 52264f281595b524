// Shared pieces of the lumetra command.
#include "cli.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/qx_rc.h"
#include "imageio.h"
#include "lumetra.h"

namespace cli {

int fail(const std::string &what, const std::string &problem) {
  // One line, whatever a decoding library put in its message.
  std::string line = problem;
  std::replace_if(line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  std::fprintf(stderr, "lumetra: %s: %s\n", what.c_str(), line.c_str());
  return kExitError;
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

bool read_picture(const std::string &path, const ImageOptions &options, Picture *pic,
                  std::string *problem) {
  imageio::GreyImage image;
  if (!imageio::read_file(path, &image, problem)) return false;
  int dpi_x = image.dpi_x > 0 ? image.dpi_x : image.dpi_y;
  int dpi_y = image.dpi_y > 0 ? image.dpi_y : image.dpi_x;
  if (options.force_dpi || dpi_x <= 0) dpi_x = dpi_y = options.dpi;
  if (dpi_x == kResolution && dpi_y == kResolution) {
    *pic = std::move(image);
    pic->dpi_x = pic->dpi_y = kResolution;
    return true;
  }
  const std::string from = std::to_string(dpi_x) + (dpi_x == dpi_y ? "" : " x " + std::to_string(dpi_y));
  if (dpi_x > 65535 || dpi_y > 65535) {
    *problem = "a resolution of " + from + " dpi is beyond the library's images";
    return false;
  }
  unsigned char *scaled = nullptr;
  int rows = 0, cols = 0;
  if (lumetra_tools_resample_to_500(image.pixels.data(), image.rows, image.cols, dpi_y, dpi_x,
                                    &scaled, &rows, &cols) != QX_RC_OK) {
    lumetra_tools_free(scaled);
    *problem = "cannot bring the image from " + from + " dpi to " + std::to_string(kResolution) +
               " dpi (use --dpi / --force-dpi if the file states a wrong resolution)";
    return false;
  }
  *pic = Picture(rows, cols);
  std::copy(scaled, scaled + pic->pixels.size(), pic->pixels.begin());
  pic->dpi_x = pic->dpi_y = kResolution;
  lumetra_tools_free(scaled);
  return true;
}

bool parse_int(const char *text, int lo, int hi, int *value) {
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  *value = static_cast<int>(v);
  return true;
}

// False after reporting the faulty argument (*status is then the exit
// status).
bool parse_arguments(const std::string &command, const std::vector<std::string> &args,
                     const Grammar &grammar, Arguments *out, int *status) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    const auto named = [&](const std::vector<std::string> &list) {
      return std::find(list.begin(), list.end(), a) != list.end();
    };
    if (a == "--json") {
      out->json = true;
    } else if (grammar.images && a == "--force-dpi") {
      out->image.force_dpi = true;
    } else if ((grammar.images && a == "--dpi") || named(grammar.valued)) {
      if (i + 1 >= args.size()) {
        *status = fail(a, "needs a value");
        return false;
      }
      const std::string &v = args[++i];
      if (a == "--dpi") {
        if (!parse_int(v.c_str(), 1, 65535, &out->image.dpi)) {
          *status = fail(v, "not a resolution in dpi (1..65535)");
          return false;
        }
      } else {
        out->values[a] = v;
      }
    } else if (named(grammar.switches)) {
      out->switches.insert(a);
    } else if (a.size() > 1 && a[0] == '-') {
      *status = fail(a, "unknown option of " + command);
      return false;
    } else {
      out->files.push_back(a);
    }
  }
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
                             " pixels");
    return false;
  }
  return true;
}

int32_t extract_with(const Picture &pic, lumetra_tools_template **tpl) {
  return lumetra_tools_extract(pic.pixels.data(), pic.rows, pic.cols, tpl);
}

bool write_whole_file(const std::string &path, const uint8_t *bytes, size_t size,
                      std::string *problem) {
  // A regular file (or a new one) is replaced through a temporary beside
  // it; anything else (a device such as /dev/stdout, a pipe, a symbolic
  // link) is written in place, since renaming over it would replace it.
  struct stat st;
  const bool in_place = lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
  const std::string target = in_place ? path : path + ".part";
  FILE *f = std::fopen(target.c_str(), "wb");
  if (f == nullptr) {
    *problem = std::string("cannot write: ") + std::strerror(errno);
    return false;
  }
  const bool written = size == 0 || std::fwrite(bytes, 1, size, f) == size;
  const int write_errno = errno;
  if (std::fclose(f) != 0 || !written) {
    if (!in_place) std::remove(target.c_str());
    *problem = std::string("cannot write the whole file: ") + std::strerror(write_errno);
    return false;
  }
  if (!in_place && std::rename(target.c_str(), path.c_str()) != 0) {
    *problem = std::string("cannot write: ") + std::strerror(errno);
    std::remove(target.c_str());
    return false;
  }
  return true;
}

}  // namespace cli
