// feature-dump: the hybrid verifier's 30 feature scores, the cheetah
// stage's two values, the alignment and the label of many comparisons, one
// CSV row each, for training the verification models.
//
//   feature-dump --out FILE.csv
//       (--generate [--fingers 100] [--impressions 8] [--seed 1] [--size 88x88]
//                   [--rotation 15]
//        | --dir DIR [--window 88x88])
//       [--config NAME] [--genuine all|none] [--impostors first|all]
//       [--max-genuine N] [--max-impostors N] [--far 12] [--summary]
//
// Images: --generate makes fingers x impressions synthetic captures in
// memory, the very images "fpsynth set" writes with the same seed, size and
// rotation (f0001_01, f0001_02, ...); --dir reads every
// <finger>_<impression>.bmp of a directory (8-bit bitmaps), optionally
// cutting a window of the given size around the print's centre (the mean
// position of its dark pixels: imageio::centred_window).  The
// configuration is the one the library would build for the image size,
// or the one named by --config ("ehmsq-xs", "ehmsq-xl", ...).
//
// Pairs (A enrolled, B probe, A before B in image order): genuine = every
// two images of the same finger; impostors = the first images of every two
// fingers ("first", the default) or every two images of different fingers
// ("all").  Each image's template is extracted once, then compared.
//
// Output: first a comment line starting with "#" (command, configuration,
// images, seed), then the header and one row per pair:
//   a,b,label,status,f0..f29,cheetah0,cheetah1,rotation,dx,dy,score
// a, b: image names; label 1 genuine, 0 impostor; status 0, or the engine
// result code of the step that failed (template extraction of a or b, the
// feature scores), with every value after it 0; f0..f29 the feature scores
// in the verifier's order; cheetah0/1 the quick-match values; rotation (1/256
// turn), dx, dy (pixels) the alignment of A onto B that the verifier
// reports; score the similarity under the library's current model.
// --summary prints score quantiles per label to stderr.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/image/qx_image.h"
#include "engine/match/ehm_verifier.h"
#include "engine/match/qx_config.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_finger.h"
#include "fpsynth/fpsynth.h"
#include "imageio.h"

namespace fs = std::filesystem;

namespace {

const char *kUsage =
    "usage: feature-dump --out FILE.csv\n"
    "         (--generate [--fingers 100] [--impressions 8] [--seed 1] [--size 88x88]\n"
    "                     [--rotation 15]\n"
    "          | --dir DIR [--window 88x88])\n"
    "         [--config NAME] [--genuine all|none] [--impostors first|all]\n"
    "         [--max-genuine N] [--max-impostors N] [--far 12] [--summary]\n";

constexpr int kResolution = 500;

struct Args {
  std::string out, dir, config, command;
  bool generate = false, summary = false, genuine = true, all_impostors = false;
  int fingers = 100, impressions = 8, rows = 88, cols = 88, window_rows = 0, window_cols = 0;
  int far = 12;
  long max_genuine = -1, max_impostors = -1;
  double rotation = 15;
  uint64_t seed = 1;
};

struct Capture {
  std::string name, finger;
  imageio::GreyImage image;
};

bool parse_long(const char *s, long lo, long hi, long &out) {
  char *end = nullptr;
  const long v = std::strtol(s, &end, 10);
  if (end == s || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

bool parse_int(const char *s, int lo, int hi, int &out) {
  long v = 0;
  if (!parse_long(s, lo, hi, v)) return false;
  out = static_cast<int>(v);
  return true;
}

bool parse_size(const std::string &s, int &rows, int &cols) {
  const size_t x = s.find('x');
  if (x == std::string::npos) return parse_int(s.c_str(), 16, 1024, rows) && (cols = rows);
  return parse_int(s.substr(0, x).c_str(), 16, 1024, rows) &&
         parse_int(s.substr(x + 1).c_str(), 16, 1024, cols);
}

bool parse(int argc, char **argv, Args &a, std::string &why) {
  for (int i = 0; i < argc; ++i) a.command += (i ? " " : "") + std::string(argv[i]);
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--generate") { a.generate = true; continue; }
    if (opt == "--summary") { a.summary = true; continue; }
    if (i + 1 >= argc) { why = "missing value after " + opt; return false; }
    const char *v = argv[++i];
    bool ok = true;
    if (opt == "--out") a.out = v;
    else if (opt == "--dir") a.dir = v;
    else if (opt == "--config") a.config = v;
    else if (opt == "--fingers") ok = parse_int(v, 1, 100000, a.fingers);
    else if (opt == "--impressions") ok = parse_int(v, 1, 1000, a.impressions);
    else if (opt == "--size") ok = parse_size(v, a.rows, a.cols);
    else if (opt == "--window") ok = parse_size(v, a.window_rows, a.window_cols);
    else if (opt == "--far") ok = parse_int(v, 0, 27, a.far);
    else if (opt == "--max-genuine") ok = parse_long(v, 0, 1L << 40, a.max_genuine);
    else if (opt == "--max-impostors") ok = parse_long(v, 0, 1L << 40, a.max_impostors);
    else if (opt == "--rotation") { a.rotation = std::atof(v); ok = a.rotation >= 0 && a.rotation <= 180; }
    else if (opt == "--seed") { char *end = nullptr; a.seed = std::strtoull(v, &end, 0); ok = end != v && *end == '\0'; }
    else if (opt == "--genuine") { ok = std::strcmp(v, "all") == 0 || std::strcmp(v, "none") == 0; a.genuine = v[0] == 'a'; }
    else if (opt == "--impostors") { ok = std::strcmp(v, "all") == 0 || std::strcmp(v, "first") == 0; a.all_impostors = v[0] == 'a'; }
    else { why = "unknown option " + opt; return false; }
    if (!ok) { why = "bad value for " + opt + ": " + v; return false; }
  }
  if (a.out.empty()) { why = "--out is required"; return false; }
  if (a.generate == !a.dir.empty()) { why = "give exactly one of --generate and --dir"; return false; }
  return true;
}

bool load_dir(const Args &a, std::vector<Capture> &out, std::string &why) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto &e : fs::directory_iterator(a.dir, ec))
    if (e.path().extension() == ".bmp" && e.path().stem().string().find('_') != std::string::npos)
      files.push_back(e.path());
  if (ec) { why = "cannot read " + a.dir; return false; }
  std::sort(files.begin(), files.end());
  for (const fs::path &p : files) {
    Capture c;
    std::string problem;
    if (!imageio::read_file(p.string(), &c.image, &problem)) {
      std::fprintf(stderr, "feature-dump: skipping %s (%s)\n", p.c_str(), problem.c_str());
      continue;
    }
    c.name = p.stem().string();
    c.finger = c.name.substr(0, c.name.rfind('_'));
    // A window around the print, kept inside the capture; a capture that
    // is not larger than the window is used whole.
    if (a.window_rows > 0 && (c.image.rows > a.window_rows || c.image.cols > a.window_cols))
      c.image = imageio::centred_window(c.image, a.window_rows, a.window_cols);
    out.push_back(std::move(c));
  }
  if (out.empty()) { why = "no <finger>_<impression>.bmp in " + a.dir; return false; }
  return true;
}

void generate(const Args &a, std::vector<Capture> &out) {
  fpsynth::ImpressionParams ip;
  ip.rows = a.rows;
  ip.cols = a.cols;
  ip.max_rotation_deg = a.rotation;
  // The same captures, names and seeds as "fpsynth set" with these options.
  for (int f = 1; f <= a.fingers; ++f) {
    const uint64_t fseed = fpsynth::derive_seed(a.seed, static_cast<uint64_t>(f));
    const fpsynth::Master master = fpsynth::make_master(fseed);
    for (int i = 1; i <= a.impressions; ++i) {
      fpsynth::Impression imp =
          fpsynth::make_impression(master, fpsynth::derive_seed(fseed, static_cast<uint64_t>(i)), ip);
      Capture c;
      char name[32];
      std::snprintf(name, sizeof name, "f%04d_%02d", f, i);
      c.name = name;
      c.finger = c.name.substr(0, c.name.rfind('_'));
      c.image = std::move(imp.image);
      out.push_back(std::move(c));
    }
  }
}

struct AlgorithmDeleter {
  void operator()(qx_algorithm *a) const { qx_algorithm_delete(a); }
};
struct TemplateDeleter {
  void operator()(qx_template *t) const { qx_template_delete(t); }
};
using Template = std::unique_ptr<qx_template, TemplateDeleter>;

qx_algorithm *build_algorithm(const Args &a, const Capture &first, std::string &name) {
  const qx_config_row *row = nullptr;
  if (!a.config.empty()) {
    row = qx_config_find(a.config.c_str(), 0, 0);
  } else {
    qx_image *probe = qx_image_create(first.image.rows, first.image.cols, kResolution,
                                      kResolution, first.image.pixels.data(), 0);
    const int code = probe ? qx_image_get_sensor_size(probe) : 0;
    qx_image_delete(probe);
    row = qx_config_find("ehm", code, 0);
  }
  if (row == nullptr || row->builder == nullptr) return nullptr;
  name = row->name;
  return row->builder(nullptr);
}

struct Pair {
  int a, b, label;
};

std::vector<Pair> make_pairs(const Args &a, const std::vector<Capture> &caps) {
  std::vector<Pair> pairs;
  long genuine = 0, impostors = 0;
  std::map<std::string, int> first_of;
  for (int i = 0; i < static_cast<int>(caps.size()); ++i) first_of.emplace(caps[i].finger, i);
  for (int i = 0; i < static_cast<int>(caps.size()); ++i) {
    for (int j = i + 1; j < static_cast<int>(caps.size()); ++j) {
      const bool same = caps[i].finger == caps[j].finger;
      if (same) {
        if (!a.genuine || (a.max_genuine >= 0 && genuine >= a.max_genuine)) continue;
        ++genuine;
      } else {
        if (!a.all_impostors && (first_of[caps[i].finger] != i || first_of[caps[j].finger] != j)) continue;
        if (a.max_impostors >= 0 && impostors >= a.max_impostors) continue;
        ++impostors;
      }
      pairs.push_back({i, j, same ? 1 : 0});
    }
  }
  return pairs;
}

void print_quantiles(const char *what, std::vector<int> &s) {
  if (s.empty()) return;
  std::sort(s.begin(), s.end());
  auto q = [&](double p) { return s[std::min(s.size() - 1, static_cast<size_t>(p * (s.size() - 1) + 0.5))]; };
  double mean = 0;
  for (int v : s) mean += v;
  mean /= static_cast<double>(s.size());
  std::fprintf(stderr, "%-9s n=%zu mean=%.0f min=%d p5=%d p25=%d median=%d p75=%d p95=%d max=%d\n", what,
               s.size(), mean, s.front(), q(0.05), q(0.25), q(0.5), q(0.75), q(0.95), s.back());
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char **argv) {
  Args a;
  std::string why;
  if (!parse(argc, argv, a, why)) {
    std::fprintf(stderr, "feature-dump: %s\n%s", why.c_str(), kUsage);
    return 2;
  }
  std::vector<Capture> caps;
  if (a.generate) generate(a, caps);
  else if (!load_dir(a, caps, why)) { std::fprintf(stderr, "feature-dump: %s\n", why.c_str()); return 1; }

  std::string config;
  std::unique_ptr<qx_algorithm, AlgorithmDeleter> alg(build_algorithm(a, caps.front(), config));
  if (!alg) { std::fprintf(stderr, "feature-dump: no configuration for these images\n"); return 1; }
  qx_session *session = qx_algorithm_get_session(alg.get());
  const qx_verifier_interface *verifier = qx_algorithm_get_verifier(alg.get());

  // Templates, once per image.
  auto t0 = std::chrono::steady_clock::now();
  std::vector<Template> templates(caps.size());
  std::vector<int32_t> extract_rc(caps.size(), 0);
  for (size_t i = 0; i < caps.size(); ++i) {
    const Capture &c = caps[i];
    qx_image *image = qx_image_create(c.image.rows, c.image.cols, kResolution, kResolution,
                                      c.image.pixels.data(), 0);
    qx_template *t = nullptr;
    extract_rc[i] = image ? qx_algorithm_extract_template(alg.get(), image, qx_finger_static_zero(), &t) : 9;
    if (extract_rc[i] == 0 && t == nullptr) extract_rc[i] = 17;
    templates[i].reset(t);
    qx_image_delete(image);
  }
  const double extract_s = seconds_since(t0);

  FILE *out = std::fopen(a.out.c_str(), "w");
  if (out == nullptr) { std::fprintf(stderr, "feature-dump: cannot write %s\n", a.out.c_str()); return 1; }
  std::fprintf(out, "# %s; configuration %s; %zu images; seed %llu\n", a.command.c_str(), config.c_str(),
               caps.size(), static_cast<unsigned long long>(a.seed));
  std::fprintf(out, "a,b,label,status");
  for (int i = 0; i < QX_EHM_NBR_FEATURE_SCORES; ++i) std::fprintf(out, ",f%d", i);
  std::fprintf(out, ",cheetah0,cheetah1,rotation,dx,dy,score\n");

  const std::vector<Pair> pairs = make_pairs(a, caps);
  std::vector<int> scores[2];
  long failed = 0;
  t0 = std::chrono::steady_clock::now();
  for (const Pair &p : pairs) {
    qx_template *ta = templates[static_cast<size_t>(p.a)].get();
    qx_template *tb = templates[static_cast<size_t>(p.b)].get();
    int32_t status = extract_rc[static_cast<size_t>(p.a)] ? extract_rc[static_cast<size_t>(p.a)]
                                                          : extract_rc[static_cast<size_t>(p.b)];
    uint16_t *v = nullptr, *cv = nullptr;
    uint8_t n = 0, cn = 0;
    qx_alignment *al = nullptr;
    uint16_t score = 0;
    if (status == 0) status = verifier->extract_feature_scores(session, ta, tb, &v, &n, &al);
    if (status == 0)
      status = verifier->verify_feature_scores(session, ta, tb, v, n, a.far, &score, nullptr, nullptr);
    if (status == 0) status = cheetah_verifier.extract_feature_scores(session, ta, tb, &cv, &cn, nullptr);
    if (status != 0) ++failed;
    std::fprintf(out, "%s,%s,%d,%d", caps[static_cast<size_t>(p.a)].name.c_str(),
                 caps[static_cast<size_t>(p.b)].name.c_str(), p.label, status);
    for (int i = 0; i < QX_EHM_NBR_FEATURE_SCORES; ++i) std::fprintf(out, ",%u", status == 0 ? v[i] : 0u);
    if (status == 0) {
      std::fprintf(out, ",%u,%u,%u,%d,%d,%u\n", cv[0], cv[1], qx_alignment_get_rotation(al),
                   qx_alignment_get_dx(al), qx_alignment_get_dy(al), score);
      scores[p.label].push_back(score);
    } else {
      std::fprintf(out, ",0,0,0,0,0,0\n");
    }
    qx_feature_scores_free(v);
    qx_feature_scores_free(cv);
    qx_alignment_delete(al);
  }
  const double compare_s = seconds_since(t0);
  const bool write_ok = std::fclose(out) == 0;
  std::fprintf(stderr,
               "feature-dump: %s, %zu images (templates in %.2f s), %zu pairs (%ld failed) in %.2f s: "
               "%.0f comparisons/s\n",
               config.c_str(), caps.size(), extract_s, pairs.size(), failed, compare_s,
               compare_s > 0 ? static_cast<double>(pairs.size()) / compare_s : 0.0);
  if (a.summary) {
    print_quantiles("genuine", scores[1]);
    print_quantiles("impostor", scores[0]);
  }
  if (!write_ok) { std::fprintf(stderr, "feature-dump: cannot write %s\n", a.out.c_str()); return 1; }
  return 0;
}
