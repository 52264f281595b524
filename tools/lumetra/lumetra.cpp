// lumetra: one command for people who want to point the fingerprint library
// at a few image files: what version and parameters it has, how good a
// capture is, what template it yields, and whether two captures match.
//
// The command only reads files and prints: every grading, extraction and
// comparison is done by the library itself (the public exports, or the
// engine functions behind them), never by code of its own.
//
// Exit status: 0 success (or match), 1 no match, 2 error; on an error one
// line on standard error names the file and the problem.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "api/state.h"
#include "engine/formats/extract_template.h"
#include "engine/image/qx_image.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_alignment.h"
#include "engine/objects/qx_finger.h"
#include "engine/objects/qx_template.h"
#include "engine/match/qx_verifier.h"
#include "engine/qx_rc.h"
#include "imageio.h"
#include "lumetra.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNoMatch = 1;
constexpr int kExitError = 2;

// Captures are taken as 500 dpi images, as the library's own bitmap
// comparison takes them.
constexpr int kResolution = 500;
constexpr int32_t kImpressionType = 0;
// Default false-accept level of the library (1 in 10^4).
constexpr int kDefaultFar = 12;
// Highest false-accept level the verifier's threshold tables hold.
constexpr int kMaxFar = QX_THRESHOLD_COLUMNS - 1;
// Extraction requests: the largest minutiae count a record holds, and the
// minutiae order the library's own extractor asks for.
constexpr int kMaxMinutiae = 255;
constexpr int kOrdering = 21;

const char kUsage[] =
    "usage: lumetra info [--json] [--sensor COLSxROWS]\n"
    "       lumetra quality [--json] IMG...\n"
    "       lumetra extract [--json] IMG [--format iso-v2|iso-v3|card|hybrid] [-o FILE]\n"
    "       lumetra compare [--json] A B [--far N]\n"
    "Images: BMP (uncompressed 8-bit), PNG, TIFF or PGM; 16-bit, colour and\n"
    "palette images are read as 8-bit grey.  Each image is brought to 500 dpi\n"
    "from the resolution its file states; a file that states none is taken\n"
    "at --dpi N (default 500), and --force-dpi applies --dpi to every file.\n"
    "Exit status: 0 success or match, 1 no match, 2 error (one line on\n"
    "standard error naming the file and the problem).\n";

int fail(const std::string &what, const std::string &problem) {
  std::fprintf(stderr, "lumetra: %s: %s\n", what.c_str(), problem.c_str());
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

// A grey image read from a file, top row first, at the library's
// resolution.
struct Picture {
  std::vector<uint8_t> pixels;
  int width = 0;
  int height = 0;
  int source_dpi_x = kResolution;  // the resolution the image was read at
  int source_dpi_y = kResolution;
};

// How images are read: the resolution of files that state none (or of
// every file, with --force-dpi).
struct ImageOptions {
  int dpi = kResolution;
  bool force_dpi = false;
};

// Reads an image file (BMP, PNG, TIFF, PGM) and brings it to the library's
// resolution with the engine's own resampling; on failure the problem is
// described in *problem.
bool read_picture(const std::string &path, const ImageOptions &options, Picture *pic,
                  std::string *problem) {
  imageio::GreyImage image;
  if (!imageio::read_file(path, &image, problem)) return false;
  int dpi_x = image.dpi_x > 0 ? image.dpi_x : image.dpi_y;
  int dpi_y = image.dpi_y > 0 ? image.dpi_y : image.dpi_x;
  if (options.force_dpi || dpi_x <= 0) dpi_x = dpi_y = options.dpi;
  pic->source_dpi_x = dpi_x;
  pic->source_dpi_y = dpi_y;
  if (dpi_x == kResolution && dpi_y == kResolution) {
    pic->pixels = std::move(image.pixels);
    pic->width = image.width;
    pic->height = image.height;
    return true;
  }
  const std::string from = std::to_string(dpi_x) + (dpi_x == dpi_y ? "" : " x " + std::to_string(dpi_y));
  if (dpi_x > 65535 || dpi_y > 65535) {
    *problem = "a resolution of " + from + " dpi is beyond the library's images";
    return false;
  }
  qx_image *source = qx_image_create(image.height, image.width, dpi_y, dpi_x,
                                     image.pixels.data(), kImpressionType);
  qx_image *scaled = source != nullptr ? qx_image_scale_res(source, kResolution, kResolution) : nullptr;
  qx_image_delete(source);
  const uint8_t *pixels = scaled != nullptr ? qx_image_get_pixels(scaled) : nullptr;
  if (pixels == nullptr) {
    qx_image_delete(scaled);
    *problem = "cannot bring the image from " + from + " dpi to " + std::to_string(kResolution) +
               " dpi (use --dpi / --force-dpi if the file states a wrong resolution)";
    return false;
  }
  pic->width = qx_image_get_cols(scaled);
  pic->height = qx_image_get_rows(scaled);
  pic->pixels.assign(pixels, pixels + static_cast<size_t>(pic->width) * pic->height);
  qx_image_delete(scaled);
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

// ---- info ---------------------------------------------------------------

int cmd_info(const std::vector<std::string> &args) {
  Arguments a;
  int status = kExitOk;
  if (!parse_arguments("info", args, {false, {"--sensor"}, {}}, &a, &status)) return status;
  if (!a.files.empty()) return fail(a.files[0], "unknown argument of info");
  const bool json = a.json;
  if (const std::string *v = a.value("--sensor")) {
    // The configuration the library would choose for this sensor size.
    const size_t x = v->find('x');
    int cols = 0, rows = 0;
    if (x == std::string::npos || !parse_int(v->substr(0, x).c_str(), 1, 65535, &cols) ||
        !parse_int(v->substr(x + 1).c_str(), 1, 65535, &rows))
      return fail(*v, "not a sensor size COLSxROWS");
    set_fp_sensor_col_row(cols, rows);
  }
  char version[24];
  std::memset(version, 0, sizeof version);
  nerio_get_version(version);  // 23 characters, no terminator
  int col = 0, row = 0, icol = 0, irow = 0;
  get_fp_sensor_col_row(&col, &row);
  get_fp_image_col_row(&icol, &irow);
  // The configuration the library chooses for the sensor size.
  const int init_rc = init_nerio_algorithm();
  int template_type = -1, sensor_type = -1, sensor_size = -1;
  if (init_rc == 0 && lumetra::api::g_state.engine.algorithm != nullptr) {
    const qx_algorithm *alg = lumetra::api::g_state.engine.algorithm;
    template_type = qx_algorithm_get_template_type(alg);
    sensor_type = qx_algorithm_get_sensor_type(alg);
    sensor_size = qx_algorithm_get_sensor_size(alg);
  }
  uninit_nerio_algorithm();
  if (json) {
    std::printf("{\"version\": %s, \"sensor\": {\"cols\": %d, \"rows\": %d}, "
                "\"image\": {\"cols\": %d, \"rows\": %d}, \"far\": %d, "
                "\"configuration\": {\"available\": %s, \"template_type\": %d, "
                "\"sensor_type\": %d, \"sensor_size\": %d}}\n",
                json_string(version).c_str(), col, row, icol, irow, kDefaultFar,
                init_rc == 0 ? "true" : "false", template_type, sensor_type, sensor_size);
  } else {
    std::printf("library version      %s\n", version);
    std::printf("sensor geometry      %d x %d (cols x rows)\n", col, row);
    std::printf("image geometry       %d x %d (cols x rows)\n", icol, irow);
    std::printf("false-accept level   %d\n", kDefaultFar);
    if (init_rc == 0)
      std::printf("configuration        template type %d, sensor type %d, sensor size %d\n",
                  template_type, sensor_type, sensor_size);
    else
      std::printf("configuration        none for this sensor size\n");
  }
  return kExitOk;
}

// ---- quality ------------------------------------------------------------

int cmd_quality(const std::vector<std::string> &args) {
  Arguments a;
  int status = kExitOk;
  if (!parse_arguments("quality", args, {true, {}, {}}, &a, &status)) return status;
  const bool json = a.json;
  const std::vector<std::string> &files = a.files;
  if (files.empty()) return fail("quality", "no image given");
  std::string out = "[";
  for (const std::string &file : files) {
    Picture pic;
    std::string problem;
    if (!read_picture(file, a.image, &pic, &problem)) {
      status = fail(file, problem);
      continue;
    }
    // The library grades a sensor image: the sensor takes the image's size.
    set_fp_sensor_col_row(pic.width, pic.height);
    fp_image_quality_t q;
    if (get_fp_image_quality(pic.pixels.data(), &q) != 0) {
      status = fail(file, "the library cannot grade this image");
      continue;
    }
    if (json) {
      if (out.size() > 1) out += ", ";
      out += "{\"file\": " + json_string(file) + ", \"width\": " + std::to_string(pic.width) +
             ", \"height\": " + std::to_string(pic.height) +
             ", \"quality\": " + std::to_string(q.image_quality) +
             ", \"area\": " + std::to_string(q.area) +
             ", \"condition\": " + std::to_string(q.condition) + "}";
    } else {
      std::printf("%s: quality %u, area %u mm2, condition %u\n", file.c_str(), q.image_quality,
                  q.area, q.condition);
    }
  }
  if (json) std::printf("%s]\n", out.c_str());
  return status;
}

// ---- extract ------------------------------------------------------------

struct FormatChoice {
  const char *name;
  int format;
  uint32_t flags;
};

const FormatChoice kFormats[] = {
    {"iso-v2", QX_FORMAT_ISO_RECORD, 0},
    {"iso-v3", QX_FORMAT_ISO_RECORD, QX_CONTENT_V3},
    {"card", QX_FORMAT_COMPACT_CARD, 0},
    {"hybrid", QX_FORMAT_CARD_TO_EHM, 0},
};

std::string extraction_problem(qxi_status status) {
  if (status == QXI_TOO_FEW_MINUTIAE) return "too few minutiae for a template";
  if (status == QXI_NO_MEMORY) return "out of memory";
  return "the library cannot extract a template (status " + std::to_string(status) + ")";
}

int cmd_extract(const std::vector<std::string> &args) {
  Arguments a;
  int status = kExitOk;
  if (!parse_arguments("extract", args, {true, {"--format", "-o"}, {}}, &a, &status))
    return status;
  const bool json = a.json;
  if (a.files.size() > 1) return fail(a.files[1], "extract takes one image");
  const std::string file = a.files.empty() ? "" : a.files[0];
  const std::string output = a.value("-o") ? *a.value("-o") : "";
  const FormatChoice *choice = &kFormats[0];
  if (const std::string *v = a.value("--format")) {
    choice = nullptr;
    for (const FormatChoice &f : kFormats)
      if (*v == f.name) choice = &f;
    if (choice == nullptr) return fail(*v, "unknown format (iso-v2, iso-v3, card or hybrid)");
  }
  if (file.empty()) return fail("extract", "no image given");
  Picture pic;
  std::string problem;
  if (!read_picture(file, a.image, &pic, &problem)) return fail(file, problem);
  uint8_t *bytes = nullptr;
  uint32_t size = 0;
  const qxi_status extracted =
      bal_extract_template(pic.pixels.data(), pic.height, pic.width, 0, kImpressionType, 0,
                           kMaxMinutiae, kOrdering, choice->flags, choice->format, &bytes, &size);
  if (extracted != QXI_OK || bytes == nullptr) {
    bal_free_template(bytes);
    return fail(file, extraction_problem(extracted));
  }
  std::vector<uint8_t> record(bytes, bytes + size);
  bal_free_template(bytes);
  if (!output.empty()) {
    FILE *f = std::fopen(output.c_str(), "wb");
    if (f == nullptr) return fail(output, std::string("cannot write: ") + std::strerror(errno));
    const bool written = std::fwrite(record.data(), 1, record.size(), f) == record.size();
    if (std::fclose(f) != 0 || !written) {
      std::remove(output.c_str());
      return fail(output, "cannot write the whole template");
    }
  }
  if (json) {
    std::printf("{\"file\": %s, \"format\": \"%s\", \"bytes\": %u, \"output\": %s}\n",
                json_string(file).c_str(), choice->name, size,
                output.empty() ? "null" : json_string(output).c_str());
  } else {
    std::printf("%s: %s template of %u bytes%s%s\n", file.c_str(), choice->name, size,
                output.empty() ? "" : " written to ", output.c_str());
  }
  return kExitOk;
}

// ---- compare ------------------------------------------------------------

// Extracts the template of one picture through the library's algorithm.
int32_t extract_with(qx_algorithm *alg, const Picture &pic, qx_template **tpl) {
  *tpl = nullptr;
  qx_image *image = qx_image_create(pic.height, pic.width, kResolution, kResolution,
                                    pic.pixels.data(), kImpressionType);
  if (image == nullptr) return QX_RC_NO_MEMORY;
  qx_image_mr_weak(image);
  const int32_t rc = qx_algorithm_extract_template(alg, image, qx_finger_static_zero(), tpl);
  qx_image_delete(image);
  return rc;
}

int cmd_compare(const std::vector<std::string> &args) {
  Arguments a;
  int status = kExitOk;
  if (!parse_arguments("compare", args, {true, {"--far"}, {}}, &a, &status)) return status;
  const bool json = a.json;
  const std::vector<std::string> &files = a.files;
  int far = kDefaultFar;
  if (const std::string *v = a.value("--far")) {
    if (!parse_int(v->c_str(), 0, kMaxFar, &far))
      return fail(*v, "not a false-accept level (0.." + std::to_string(kMaxFar) + ")");
  }
  if (files.size() != 2) return fail("compare", "needs exactly two images");
  Picture pics[2];
  for (int i = 0; i < 2; ++i) {
    std::string problem;
    if (!read_picture(files[i], a.image, &pics[i], &problem)) return fail(files[i], problem);
  }
  // The algorithm is configured for the first image's size.
  set_fp_sensor_col_row(pics[0].width, pics[0].height);
  if (init_nerio_algorithm() != 0 || lumetra::api::g_state.engine.algorithm == nullptr)
    return fail(files[0], "the library has no configuration for a sensor of " +
                              std::to_string(pics[0].width) + " x " +
                              std::to_string(pics[0].height) + " pixels");
  qx_algorithm *alg = lumetra::api::g_state.engine.algorithm;
  qx_template *tpl[2] = {nullptr, nullptr};
  for (int i = 0; i < 2 && status == kExitOk; ++i) {
    const int32_t rc = extract_with(alg, pics[i], &tpl[i]);
    if (rc != QX_RC_OK || tpl[i] == nullptr)
      status = fail(files[i], "the library extracts no template from this image (result " +
                                  std::to_string(rc) + ")");
  }
  if (status == kExitOk) {
    uint16_t score = 0;
    int32_t decision = 0;
    qx_alignment *alignment = nullptr;
    const int32_t rc = qx_algorithm_get_similarity_score(alg, tpl[0], tpl[1], far, &score,
                                                         &decision, &alignment, nullptr);
    if (rc != QX_RC_OK) {
      status = fail(files[0] + " and " + files[1],
                    "the library cannot compare them (result " + std::to_string(rc) + ")");
    } else {
      const bool match = decision != 0;
      std::string where = "null";
      if (alignment != nullptr) {
        where = "{\"dx\": " + std::to_string(qx_alignment_get_dx(alignment)) +
                ", \"dy\": " + std::to_string(qx_alignment_get_dy(alignment)) +
                ", \"rotation\": " + std::to_string(qx_alignment_get_rotation(alignment)) + "}";
      }
      if (json) {
        std::printf("{\"a\": %s, \"b\": %s, \"far\": %d, \"score\": %u, \"match\": %s, "
                    "\"alignment\": %s}\n",
                    json_string(files[0]).c_str(), json_string(files[1]).c_str(), far, score,
                    match ? "true" : "false", where.c_str());
      } else {
        std::printf("score %u at false-accept level %d: %s\n", score, far,
                    match ? "match" : "no match");
        if (alignment != nullptr)
          std::printf("alignment dx %d, dy %d, rotation %u\n", qx_alignment_get_dx(alignment),
                      qx_alignment_get_dy(alignment), qx_alignment_get_rotation(alignment));
      }
      status = match ? kExitOk : kExitNoMatch;
    }
    qx_alignment_delete(alignment);
  }
  qx_template_delete(tpl[0]);
  qx_template_delete(tpl[1]);
  uninit_nerio_algorithm();
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return kExitError;
  }
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "info") return cmd_info(args);
  if (command == "quality") return cmd_quality(args);
  if (command == "extract") return cmd_extract(args);
  if (command == "compare") return cmd_compare(args);
  return fail(command, "unknown command (try lumetra --help)");
}
