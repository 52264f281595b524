// lumetra: one command for people who want to point the fingerprint library
// at a few image files: what version and parameters it has, how good a
// capture is, what template it yields, whether two captures match, and
// enrollment and verification through template files (finger.cpp,
// records.cpp).  This file holds the image subcommands and main.
//
// The command only reads and writes files and prints: every grading,
// enhancement, extraction and comparison is done by the library itself,
// liblumetra.so (its public exports, or the internal set its tools use,
// api/lumetra_tools.h), never by code of its own.
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

#include "cli.h"
#include "engine/formats/extract_template.h"
#include "engine/image/extract.h"
#include "engine/qx_rc.h"
#include "imageio.h"
#include "lumetra.h"
#include "overlay.h"

using namespace cli;

namespace {

// Extraction requests: the largest minutiae count a record holds, and the
// minutiae order the library's own extractor asks for.
constexpr int kMaxMinutiae = 255;
constexpr int kOrdering = 21;

const char kUsage[] =
    "usage: lumetra COMMAND [--json] ARGUMENTS...   (lumetra COMMAND --help)\n"
    "       lumetra --version\n"
    "\n"
    "Commands:\n"
    "  info [--sensor COLSxROWS]\n"
    "      Library version and parameters, and the configuration the library\n"
    "      chooses for a sensor size (default 88x88).\n"
    "  quality IMG...\n"
    "      Image quality (0..100), fingerprint area (mm2) and condition of each\n"
    "      image.\n"
    "  enhance IMG -o OUT\n"
    "      The library's enhancement of IMG, written to OUT (.png, .tif, .pgm or\n"
    "      .bmp).\n"
    "  extract IMG [--format iso-v2|iso-v3|card|hybrid] [-o FILE] [--overlay PNG]\n"
    "      A template of IMG in the chosen format (default iso-v2), written to FILE;\n"
    "      --overlay draws the minutiae, cores and deltas found over the image.\n"
    "  compare A B [--far N]\n"
    "      Similarity score of two images, the decision at level N, the alignment.\n"
    "  enroll -o FINGER.tpl IMG... [--min-progress P]\n"
    "      Enrols one finger from its captures (all of one size) through the\n"
    "      library's enrollment: a progress bar on a terminal, one line per\n"
    "      capture otherwise (accepted, refused as a duplicate, or unused).\n"
    "      Below P % progress (default 100) the template is still written, with\n"
    "      a warning and exit status 3.\n"
    "  verify FINGER.tpl... IMG [--far N] [--update]\n"
    "      Verifies IMG against up to 5 templates, loaded in slots 0..4 and tried\n"
    "      in turn: which template matched, its score, and whether the library\n"
    "      updated it; --update writes the updated template back to its file.\n"
    "  convert IN -o OUT [--to record|raw|card|spectral|spectral-hr] [--type N]\n"
    "      Between template files and bare template bytes (a template extract\n"
    "      writes, or of type N), or to the compact-card or spectral part of a\n"
    "      hybrid template.  Default: a template file becomes its bytes and bare\n"
    "      bytes become a template file.\n"
    "\n"
    "Options:\n"
    "  --json       one JSON document on standard output instead of text\n"
    "  --far N      false-accept level 0..27: 1 in 10^(N/3) (default 12)\n"
    "  --dpi N      resolution of images whose file states none, or a value\n"
    "               outside 250..1500 dpi (default 500; a warning names it)\n"
    "  --force-dpi  take every image at --dpi, whatever its file states\n"
    "  --window WxH[+X+Y]  cut a W x H window (pixels at 500 dpi) at the print's\n"
    "               centre, or with its top-left corner at X,Y\n"
    "  --sensor WxH the same window at the print's centre\n"
    "  --name=VALUE is --name VALUE; -- ends the options; - is standard input\n"
    "               (images, templates) or output (-o -: the reports then go\n"
    "               to standard error)\n"
    "\n"
    "Images: BMP (uncompressed 8-bit), PNG, TIFF or PGM; 16-bit, colour and\n"
    "palette images are read as 8-bit grey.  Each image is brought to the\n"
    "library's 500 dpi from the resolution its file states (PNG pHYs, TIFF\n"
    "resolution, BMP pixels per metre) when that lies in 250..1500 dpi, else\n"
    "from --dpi; the result may not exceed the readers' pixel limit.  The\n"
    "library serves sensors of certain sizes (lumetra info lists them): cut\n"
    "a window of a full print with --window.\n"
    "\n"
    "Template files (FINGER.tpl) hold exactly the template record a host\n"
    "stores: byte 0 the template type (80 for an enrolled finger), bytes 1-3\n"
    "unused, bytes 4-7 the length L of the template (32-bit little-endian, at\n"
    "most 32760), then the L template bytes: 8 + L bytes in all.  A file holding\n"
    "the whole 32768-byte record is read as well.\n"
    "\n"
    "Exit status: 0 success or match, 1 no match, 2 error (one line on standard\n"
    "error naming the file and the problem; a JSON object with --json), 3\n"
    "enrollment below --min-progress.  See man lumetra.\n";

// The usage lines of each command, for COMMAND --help.
struct CommandHelp {
  const char *command;
  const char *text;
};

const CommandHelp kCommandHelp[] = {
    {"info", "usage: lumetra info [--json] [--sensor COLSxROWS]\n"
             "Library version and parameters, the configuration chosen for a sensor\n"
             "size (default 88x88), and the square sensor sizes the library serves.\n"},
    {"quality", "usage: lumetra quality [--json] [--dpi N] [--force-dpi] [--window WxH[+X+Y]] IMG...\n"
                "Image quality (0..100), fingerprint area (mm2) and condition of each image.\n"},
    {"enhance", "usage: lumetra enhance [--json] [--dpi N] [--force-dpi] [--window WxH[+X+Y]] IMG -o OUT\n"
                "The library's enhancement of IMG, written to OUT (.png, .tif, .pgm, .bmp;\n"
                "- writes PNG to standard output).\n"},
    {"extract", "usage: lumetra extract [--json] [--dpi N] [--force-dpi] [--window WxH[+X+Y]] IMG\n"
                "       [--format iso-v2|iso-v3|card|hybrid] [-o FILE] [--overlay PNG]\n"
                "A template of IMG in the chosen format (default iso-v2).\n"},
    {"compare", "usage: lumetra compare [--json] [--dpi N] [--force-dpi] [--window WxH[+X+Y]] A B [--far N]\n"
                "Similarity score (0..65535) of two images of one size, the decision at\n"
                "false-accept level N (default 12), and the alignment (pixels, 1/256 turn).\n"
                "Exit 0 match, 1 no match, 2 error.\n"},
    {"enroll", "usage: lumetra enroll [--json] [--dpi N] [--force-dpi] [--window WxH[+X+Y]] -o FINGER.tpl\n"
               "       [--min-progress P] IMG...\n"
               "Enrols one finger from its captures; below P % progress (default 100) the\n"
               "template is written with a warning and exit status 3.\n"},
    {"verify", "usage: lumetra verify [--json] [--dpi N] [--force-dpi] [--window WxH[+X+Y]] FINGER.tpl... IMG\n"
               "       [--far N] [--update]\n"
               "Verifies IMG against up to 5 templates; --update writes an updated\n"
               "template back.  Exit 0 match, 1 no match, 2 error.\n"},
    {"convert", "usage: lumetra convert [--json] IN -o OUT [--to record|raw|card|spectral|spectral-hr]\n"
                "       [--type N]\n"
                "Between template files and bare template bytes, or to a part of a hybrid\n"
                "template.\n"},
};

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
  lumetra_tools_config config;
  if (init_rc != 0 || lumetra_tools_get_config(&config) != 0) config = {-1, -1, -1};
  const int template_type = config.template_type, sensor_type = config.sensor_type,
            sensor_size = config.sensor_size;
  uninit_nerio_algorithm();
  const std::vector<ServedRun> served = served_squares();
  std::string served_json;
  for (const ServedRun &r : served)
    served_json += std::string(served_json.empty() ? "" : ", ") + "{\"from\": " +
                   std::to_string(r.first) + ", \"to\": " + std::to_string(r.last) +
                   ", \"sensor_size\": " + std::to_string(r.sensor_size) + "}";
  if (json) {
    std::printf("{\"version\": %s, \"sensor\": {\"cols\": %d, \"rows\": %d}, "
                "\"image\": {\"cols\": %d, \"rows\": %d}, \"far\": %d, "
                "\"configuration\": {\"available\": %s, \"template_type\": %d, "
                "\"sensor_type\": %d, \"sensor_size\": %d}, \"served_squares\": [%s]}\n",
                json_string(version).c_str(), col, row, icol, irow, kDefaultFar,
                init_rc == 0 ? "true" : "false", template_type, sensor_type, sensor_size,
                served_json.c_str());
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
    std::printf("served sensor sizes  (square, pixels at 500 dpi; cut full prints with --window)\n");
    for (const ServedRun &r : served)
      std::printf("  %3dx%-3d to %3dx%-3d  sensor size %d\n", r.first, r.first, r.last, r.last,
                  r.sensor_size);
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
    set_fp_sensor_col_row(pic.cols, pic.rows);
    fp_image_quality_t q;
    if (get_fp_image_quality(pic.pixels.data(), &q) != 0) {
      status = fail(file, "the library cannot grade this image");
      continue;
    }
    if (json) {
      if (out.size() > 1) out += ", ";
      out += "{\"file\": " + json_string(file) + ", \"width\": " + std::to_string(pic.cols) +
             ", \"height\": " + std::to_string(pic.rows) +
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

// ---- enhance ------------------------------------------------------------

int cmd_enhance(const std::vector<std::string> &args) {
  Arguments a;
  int status = kExitOk;
  if (!parse_arguments("enhance", args, {true, {"-o"}, {}}, &a, &status)) return status;
  if (a.files.empty()) return fail("enhance", "no image given");
  if (a.files.size() > 1) return fail(a.files[1], "enhance takes one image");
  const std::string &file = a.files[0];
  if (a.value("-o") == nullptr) return fail("enhance", "needs -o OUT (.png, .tif, .pgm or .bmp)");
  const std::string &output = *a.value("-o");
  Picture pic;
  std::string problem;
  if (!read_picture(file, a.image, &pic, &problem)) return fail(file, problem);
  // The library enhances a sensor image: the sensor takes the image's size.
  set_fp_sensor_col_row(pic.cols, pic.rows);
  if (nerio_qx_ImageEnhance(pic.pixels.data(), pic.cols, pic.rows) != 0)
    return fail(file, "the library cannot enhance this image");
  imageio::GreyImage enhanced;
  enhanced.pixels = std::move(pic.pixels);
  enhanced.cols = pic.cols;
  enhanced.rows = pic.rows;
  enhanced.dpi_x = enhanced.dpi_y = kResolution;
  // Standard output takes a PNG image; a file the format its name ends with.
  std::vector<uint8_t> bytes;
  if (!imageio::encode_file(output == "-" ? std::string("-.png") : output, enhanced, &bytes,
                            &problem) ||
      !write_whole_file(output, bytes.data(), bytes.size(), &problem))
    return fail(output, problem);
  if (a.json) {
    std::printf("{\"file\": %s, \"output\": %s, \"width\": %d, \"height\": %d}\n",
                json_string(file).c_str(), json_string(output).c_str(), enhanced.cols,
                enhanced.rows);
  } else {
    std::printf("%s: enhanced image of %d x %d pixels written to %s\n", file.c_str(),
                enhanced.cols, enhanced.rows, output.c_str());
  }
  return kExitOk;
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

// Draws the minutiae, cores and deltas the library's extractor finds over
// the picture (tools/overlay draws them), enlarged to about 512 pixels,
// into a PNG file.
bool write_overlay(const Picture &pic, const std::string &path, int *minutiae,
                   std::string *problem) {
  bal_extract_result r;
  std::memset(&r, 0, sizeof r);
  r.flags = BAL_EXTRACT_CORES | BAL_EXTRACT_DELTAS;
  const qxi_status status =
      static_cast<qxi_status>(lumetra_tools_find_features(pic.pixels.data(), pic.rows, pic.cols, &r));
  if (status != QXI_OK) {
    lumetra_tools_release_features(&r);
    *problem = extraction_problem(status);
    return false;
  }
  const int zoom = std::clamp(512 / std::max(pic.cols, pic.rows), 1, 4);
  const overlay::Rgb drawn = overlay::draw(pic.pixels.data(), pic.rows, pic.cols, r, zoom);
  *minutiae = r.minutiae.count;
  lumetra_tools_release_features(&r);
  std::vector<uint8_t> png;
  return imageio::encode_rgb_png(drawn, &png, problem) &&
         write_whole_file(path, png.data(), png.size(), problem);
}

int cmd_extract(const std::vector<std::string> &args) {
  Arguments a;
  int status = kExitOk;
  if (!parse_arguments("extract", args, {true, {"--format", "-o", "--overlay"}, {}}, &a, &status))
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
  if (a.value("--overlay") != nullptr && *a.value("--overlay") == "-" && output == "-")
    return fail("-", "standard output takes one of -o and --overlay, not both");
  Picture pic;
  std::string problem;
  if (!read_picture(file, a.image, &pic, &problem)) return fail(file, problem);
  uint8_t *bytes = nullptr;
  uint32_t size = 0;
  const qxi_status extracted = static_cast<qxi_status>(
      lumetra_tools_extract_record(pic.pixels.data(), pic.rows, pic.cols, kMaxMinutiae, kOrdering,
                                   choice->flags, choice->format, &bytes, &size));
  if (extracted != QXI_OK || bytes == nullptr) {
    lumetra_tools_free(bytes);
    return fail(file, extraction_problem(extracted));
  }
  std::vector<uint8_t> record(bytes, bytes + size);
  lumetra_tools_free(bytes);
  if (!output.empty() && !write_whole_file(output, record.data(), record.size(), &problem))
    return fail(output, problem);
  const std::string *overlay_path = a.value("--overlay");
  int minutiae = 0;
  if (overlay_path != nullptr && !write_overlay(pic, *overlay_path, &minutiae, &problem))
    return fail(*overlay_path, problem);
  if (json) {
    std::printf("{\"file\": %s, \"format\": \"%s\", \"bytes\": %u, \"output\": %s, "
                "\"overlay\": %s, \"minutiae\": %s}\n",
                json_string(file).c_str(), choice->name, size,
                output.empty() ? "null" : json_string(output).c_str(),
                overlay_path == nullptr ? "null" : json_string(*overlay_path).c_str(),
                overlay_path == nullptr ? "null" : std::to_string(minutiae).c_str());
  } else {
    std::printf("%s: %s template of %u bytes%s%s\n", file.c_str(), choice->name, size,
                output.empty() ? "" : " written to ", output.c_str());
    if (overlay_path != nullptr)
      std::printf("%s: %d minutiae drawn in %s\n", file.c_str(), minutiae, overlay_path->c_str());
  }
  return kExitOk;
}

// ---- compare ------------------------------------------------------------

int cmd_compare(const std::vector<std::string> &args) {
  Arguments a;
  int status = kExitOk;
  if (!parse_arguments("compare", args, {true, {"--far"}, {}}, &a, &status)) return status;
  const bool json = a.json;
  const std::vector<std::string> &files = a.files;
  int far = kDefaultFar;
  if (!far_level(a, &far, &status)) return status;
  if (files.size() != 2) return fail("compare", "needs exactly two images");
  Picture pics[2];
  for (int i = 0; i < 2; ++i) {
    std::string problem;
    if (!read_picture(files[i], a.image, &pics[i], &problem)) return fail(files[i], problem);
  }
  // The algorithm is configured for the first image's size; a capture of
  // another size is no capture of that sensor.
  if (pics[1].cols != pics[0].cols || pics[1].rows != pics[0].rows)
    return fail(files[1], "is " + std::to_string(pics[1].cols) + " x " +
                              std::to_string(pics[1].rows) + " pixels at 500 dpi, " + files[0] +
                              " is " + std::to_string(pics[0].cols) + " x " +
                              std::to_string(pics[0].rows) +
                              " (compare needs one sensor size: cut both with --window WxH)");
  if (!init_for(files[0], pics[0], &status)) return status;
  lumetra_tools_template *tpl[2] = {nullptr, nullptr};
  for (int i = 0; i < 2 && status == kExitOk; ++i) {
    const int32_t rc = extract_with(pics[i], &tpl[i]);
    if (rc != QX_RC_OK || tpl[i] == nullptr)
      status = fail(files[i], "the library extracts no template from this image (result " +
                                  std::to_string(rc) + ")");
  }
  if (status == kExitOk) {
    lumetra_tools_comparison c;
    const int32_t rc = lumetra_tools_compare(tpl[0], tpl[1], far, &c);
    if (rc == QX_RC_BAD_ARGUMENT) {
      // The library compares only templates of one image size.
      status = fail(files[1], "was made on another sensor size than " + files[0] +
                                  " (compare needs one sensor size: cut both with --window WxH)");
    } else if (rc != QX_RC_OK) {
      status = fail(files[0] + " and " + files[1],
                    "the library cannot compare them (result " + std::to_string(rc) + ")");
    } else {
      const bool match = c.decision != 0;
      std::string where = "null";
      if (c.aligned) {
        where = "{\"dx\": " + std::to_string(c.dx) + ", \"dy\": " + std::to_string(c.dy) +
                ", \"rotation\": " + std::to_string(c.rotation) + "}";
      }
      if (json) {
        std::printf("{\"a\": %s, \"b\": %s, \"far\": %d, \"score\": %u, \"match\": %s, "
                    "\"alignment\": %s}\n",
                    json_string(files[0]).c_str(), json_string(files[1]).c_str(), far, c.score,
                    match ? "true" : "false", where.c_str());
      } else {
        std::printf("score %u at false-accept level %d: %s\n", c.score, far,
                    match ? "match" : "no match");
        if (c.aligned)
          std::printf("alignment dx %d, dy %d, rotation %u\n", c.dx, c.dy, c.rotation);
      }
      status = match ? kExitOk : kExitNoMatch;
    }
  }
  lumetra_tools_template_delete(tpl[0]);
  lumetra_tools_template_delete(tpl[1]);
  uninit_nerio_algorithm();
  return status;
}

}  // namespace

const char *cli::command_help(const std::string &command) {
  for (const CommandHelp &h : kCommandHelp)
    if (command == h.command) return h.text;
  return kUsage;
}

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return kExitError;
  }
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(args.empty() ? kUsage : command_help(args[0]), stdout);
    return kExitOk;
  }
  if (command == "--version") {
    char version[24];
    std::memset(version, 0, sizeof version);
    nerio_get_version(version);  // 23 characters, no terminator
    std::printf("lumetra %d.%d.%d (library %s)\n", LUMETRA_VERSION_MAJOR, LUMETRA_VERSION_MINOR,
                LUMETRA_VERSION_PATCH, version);
    return kExitOk;
  }
  if (std::find(args.begin(), args.end(), "--json") != args.end()) g_json = true;
  if (command == "info") return cmd_info(args);
  if (command == "quality") return cmd_quality(args);
  if (command == "extract") return cmd_extract(args);
  if (command == "compare") return cmd_compare(args);
  if (command == "enhance") return cmd_enhance(args);
  if (command == "enroll") return cmd_enroll(args);
  if (command == "verify") return cmd_verify(args);
  if (command == "convert") return cmd_convert(args);
  return fail(command, "unknown command (try lumetra --help)");
}
