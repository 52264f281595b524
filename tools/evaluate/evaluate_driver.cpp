// lumetra-evaluate: runs the accuracy and speed protocols of the evaluation
// report on a folder of fingerprint images, through the public exports of
// liblumetra.so only, as a host program would.  It writes plain
// tab-separated tables; scripts/evaluate.sh turns them into the report.
//
//   lumetra-evaluate small DIR OUT [--seed N] [--far 12,14,15] [--size 88]
//                          [--enrol-windows 8] [--probe-windows 4]
//   lumetra-evaluate pairs DIR OUT [--size 197] [--far 12] [--timing-only]
//   lumetra-evaluate grid DIR OUT [--far 9,10,11,12,13,14,15,18] [--size 88]
//   lumetra-evaluate moved DIR OUT [--far 12,14,18] [--size 88]
//
// "small": each finger is enrolled from windows of impressions 1-4 (eight
// windows each: 32 captures) and verified (mode 0, one slot) with windows of
// impressions 5-8 of every finger, at every FAR index asked, with template
// updating off and then on.  Window positions are drawn from a generator
// seeded with --seed and written out, so that two runs can be compared.
//
// "pairs": one crop per impression at the print's centre; every
// impression against every later one of the same finger (genuine) and the
// first impressions of different fingers against each other (impostor),
// scored with nerio_get_score_from_two_image_compare.  The crops are written
// as bitmaps (the export reads files) and as raw bytes for the yardstick.
//
// "grid": the false-accept rate at the scale the library promises.  Each
// finger is enrolled from eight fixed windows of each of impressions 1-4,
// verified with four fixed windows of each of impressions 5-8 (genuine) and
// with a 5 x 5 grid of windows (-28..28 px, step 14) of every impression of
// every other finger (impostor): 10 fingers of 8 impressions give 18 000
// impostor attempts.  The climb starts at index 9 (1 in 1 000), the loosest
// index whose rate 18 000 attempts can resolve, so that the report can say
// whether the realised rate follows the target from 9 to 14.
//
// "moved": a capture against itself.  Each impression's window at the
// print's foreground centre is enrolled on its own (one capture, saved into
// a slot) and verified with the very same window and with the window moved
// by a few pixels, at every FAR index asked (acceptance only shrinks as the
// index grows, so a rejection ends the climb).  A host that enrols a finger
// and puts it straight back expects acceptance at every level.
//
// The library chooses its configuration from the sensor geometry, so the
// crop size selects it: 197 x 197 builds "ehmsq-xl", 158 x 158 "ehmsq-l",
// 88 x 88 "ehmsq-xs".
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <cstdarg>
#include <sys/resource.h>
#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "imageio.h"
#include "lumetra.h"
#include "foreground_centre.h"

namespace {

// ---- images -------------------------------------------------------------

struct Image {
  std::string finger;
  int impression = 0;
  std::string path;
  imageio::GreyImage grey;
  int centre_y = 0, centre_x = 0;  // the print's centre (imageio::print_centre)
  // The centre of the shared yardsticks (evaluate::foreground_centre).
  int yardstick_centre_y = 0, yardstick_centre_x = 0;
};

constexpr uint8_t kWhite = 255;

// Reads a bitmap through the library's own bounded reader: asked first
// with no buffer, it reports the bitmap's size, and the second call fills
// a buffer of exactly that size.
bool read_bitmap(Image &im, std::string &problem) {
  struct stat st {};
  if (stat(im.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    problem = "cannot read the file";
    return false;
  }
  unsigned int w = 0, h = 0;
  std::vector<uint8_t> buffer;
  if (get_bmp_buff_n(im.path.c_str(), nullptr, 0, &w, &h) == 1 && w > 0 && h > 0) {
    buffer.resize(static_cast<size_t>(w) * h);
    if (get_bmp_buff_n(im.path.c_str(), buffer.data(), buffer.size(), &w, &h) != 0) w = h = 0;
  }
  if (w == 0 || h == 0) {
    problem = "not an uncompressed 8-bit bitmap the library reads";
    return false;
  }
  im.grey.rows = static_cast<int>(h);
  im.grey.cols = static_cast<int>(w);
  im.grey.pixels = std::move(buffer);
  imageio::print_centre(im.grey, &im.centre_y, &im.centre_x);
  evaluate::foreground_centre(im.grey, &im.yardstick_centre_y, &im.yardstick_centre_x);
  return true;
}

// `<finger>_<impression>.<ext>`: the finger is everything before the last
// underscore, the impression a positive number after it.
bool parse_name(const std::string &name, std::string &finger, int &impression, std::string &ext) {
  const size_t dot = name.rfind('.');
  const size_t us = name.rfind('_', dot);
  if (dot == std::string::npos || us == std::string::npos || us == 0 || dot <= us + 1) return false;
  const std::string number = name.substr(us + 1, dot - us - 1);
  if (number.size() > 6 || number.find_first_not_of("0123456789") != std::string::npos) return false;
  impression = std::atoi(number.c_str());
  if (impression <= 0) return false;
  finger = name.substr(0, us);
  ext = name.substr(dot + 1);
  for (char &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return true;
}

// Numbers sort as numbers, other names as text.
bool finger_less(const std::string &a, const std::string &b) {
  const bool na = !a.empty() && a.find_first_not_of("0123456789") == std::string::npos;
  const bool nb = !b.empty() && b.find_first_not_of("0123456789") == std::string::npos;
  if (na && nb && a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

struct Set {
  std::vector<std::string> fingers;                           // sorted
  std::map<std::string, std::map<int, Image>> images;         // finger -> impression -> image
  std::vector<std::string> skipped;                           // "file: why"
};

bool load_set(const std::string &dir, Set &set) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) {
    std::fprintf(stderr, "lumetra-evaluate: %s: %s\n", dir.c_str(), std::strerror(errno));
    return false;
  }
  std::vector<std::string> names;
  while (dirent *e = readdir(d)) names.emplace_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    std::string finger, ext;
    int impression = 0;
    if (!parse_name(name, finger, impression, ext)) continue;
    // Other formats are brought to bitmaps first (lumetra-evaluate-images).
    if (ext != "bmp") continue;
    Image im;
    im.finger = finger;
    im.impression = impression;
    im.path = dir + "/" + name;
    std::string problem;
    if (!read_bitmap(im, problem)) {
      set.skipped.push_back(name + ": " + problem);
      continue;
    }
    set.images[finger][impression] = std::move(im);
  }
  for (const auto &kv : set.images) set.fingers.push_back(kv.first);
  std::sort(set.fingers.begin(), set.fingers.end(), finger_less);
  if (set.fingers.empty()) {
    std::fprintf(stderr, "lumetra-evaluate: %s: no <finger>_<impression>.bmp images\n", dir.c_str());
    return false;
  }
  return true;
}

const Image *find(const Set &set, const std::string &finger, int impression) {
  const auto f = set.images.find(finger);
  if (f == set.images.end()) return nullptr;
  const auto i = f->second.find(impression);
  return i == f->second.end() ? nullptr : &i->second;
}

// Top-left corner of an s x s window centred `dy, dx` away from the
// print's centre, kept inside the image.
void window_origin(const Image &im, int s, int dy, int dx, int &y0, int &x0) {
  imageio::window_origin(im.grey, im.centre_y + dy, im.centre_x + dx, s, s, &y0, &x0);
}

// The same around the shared yardsticks' centre (the impostor grid).
void yardstick_window_origin(const Image &im, int s, int dy, int dx, int &y0, int &x0) {
  imageio::window_origin(im.grey, im.yardstick_centre_y + dy, im.yardstick_centre_x + dx, s, s, &y0, &x0);
}

// The s x s window at (y0, x0) (an image smaller than the window is padded
// with white on its far side).
void cut(const Image &im, int s, int y0, int x0, uint8_t *out) {
  const imageio::GreyImage w = imageio::window(im.grey, y0, x0, s, s);
  std::copy(w.pixels.begin(), w.pixels.end(), out);
}

// The crops as 8-bit grey bitmaps of the tools' one writer (500 dpi).
bool write_bmp(const std::string &path, const uint8_t *px, int s) {
  imageio::GreyImage crop(s, s);
  std::copy(px, px + crop.pixels.size(), crop.pixels.begin());
  std::string problem;
  return imageio::write_bmp(path, crop, &problem);
}

bool write_raw(const std::string &path, const uint8_t *px, int s) {
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const size_t n = static_cast<size_t>(s) * s;
  const bool ok = std::fwrite(px, 1, n, f) == n;
  return std::fclose(f) == 0 && ok;
}

// ---- clocks, generator, output ------------------------------------------

struct Stamp {
  timespec wall{}, cpu{};
};

Stamp now() {
  Stamp s;
  clock_gettime(CLOCK_MONOTONIC, &s.wall);
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &s.cpu);
  return s;
}

double ms_between(const timespec &a, const timespec &b) {
  return (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6;
}

struct Elapsed {
  double wall_ms, cpu_ms;
};

Elapsed since(const Stamp &start) {
  const Stamp end = now();
  return {ms_between(start.wall, end.wall), ms_between(start.cpu, end.cpu)};
}

// splitmix64: small, fast, and the same sequence on every machine.
struct Generator {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [-r, r].
  int offset(int r) { return static_cast<int>(next() % static_cast<uint64_t>(2 * r + 1)) - r; }
};

struct Output {
  std::FILE *f = nullptr;
  explicit Output(const std::string &path) : f(std::fopen(path.c_str(), "w")) {}
  ~Output() {
    if (f != nullptr) std::fclose(f);
  }
  Output(const Output &) = delete;
  Output &operator=(const Output &) = delete;
};

// One progress line on standard output, indented under the stage line of
// scripts/evaluate.sh, written at once.
__attribute__((format(printf, 1, 2))) void progress_line(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("  ", stdout);
  std::vfprintf(stdout, format, args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  va_end(args);
}

// The process's peak resident memory so far, in KiB.
long peak_rss_kib() {
  rusage u{};
  return getrusage(RUSAGE_SELF, &u) == 0 ? u.ru_maxrss : 0;
}

bool make_dir(const std::string &path) { return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

std::string library_version() {
  char text[24] = {0};
  nerio_get_version(text);
  return std::string(text, strnlen(text, 23));
}

void write_meta(std::FILE *f, const std::string &mode, const std::string &dir, const Set &set, int size) {
  size_t count = 0;
  for (const auto &kv : set.images) count += kv.second.size();
  std::fprintf(f, "key\tvalue\nmode\t%s\nfolder\t%s\nlibrary_version\t%s\nwindow\t%d\nfingers\t%zu\nimages\t%zu\n",
               mode.c_str(), dir.c_str(), library_version().c_str(), size, set.fingers.size(), count);
  for (const std::string &s : set.skipped) std::fprintf(f, "skipped\t%s\n", s.c_str());
}

std::vector<int> parse_list(const char *text) {
  std::vector<int> out;
  const char *p = text;
  while (*p != '\0') {
    char *end = nullptr;
    const long v = std::strtol(p, &end, 10);
    if (end == p || v < 0 || v > 255) return {};
    out.push_back(static_cast<int>(v));
    p = *end == ',' ? end + 1 : end;
    if (*end != ',' && *end != '\0') return {};
  }
  return out;
}

struct Options {
  std::string mode, dir, out;
  uint64_t seed = 1;
  std::vector<int> far;
  int size = 0;
  int enrol_windows = 8, probe_windows = 4;
  bool timing_only = false;  // pairs: time, but score no pair
};

// ---- small-sensor protocol ----------------------------------------------

constexpr int kEnrolImpressions[] = {1, 2, 3, 4};
constexpr int kProbeImpressions[] = {5, 6, 7, 8};
// How far windows wander from the foreground centre: enrollment covers more
// of the finger than a probe, as a user rolls the finger while enrolling.
constexpr int kEnrolSpread = 28;
constexpr int kProbeSpread = 20;
constexpr int kSlot = 0;

struct Window {
  const Image *image;
  int index, y0, x0;
};

// Pairs timed, and calls per timed term.
constexpr size_t kTimingPairs = 24;
constexpr int kTimingRepeats = 3;
// A FAR index no impostor window reaches, so that every loaded slot is scored.
constexpr int kTimingFar = 27;

// The least of a few repeats of a call: the work is deterministic, so what
// exceeds the least is interference from the rest of a shared machine.
template <typename Call>
Elapsed least_of(Call call) {
  Elapsed best{1e300, 1e300};
  for (int r = 0; r < kTimingRepeats; ++r) {
    const Stamp t0 = now();
    call();
    const Elapsed e = since(t0);
    best.wall_ms = std::min(best.wall_ms, e.wall_ms);
    best.cpu_ms = std::min(best.cpu_ms, e.cpu_ms);
  }
  return best;
}

// One comparison of a probe with an enrolled template, and one extraction,
// through verification alone: a rejected probe is compared with every
// loaded slot (mode 0), so five slots holding the same template cost four
// comparisons more than one slot does:
//   comparison = (t(5 slots) - t(1 slot)) / 4,  extraction = t(1 slot) - comparison.
void time_slots(const Set &set, const std::map<std::string, tpl_record> &records,
                std::map<std::string, std::vector<Window>> &probe_windows, int s, std::FILE *out) {
  std::fprintf(out, "operation\twall_ms\tcpu_ms\n");
  set_fp_dyn_update_flg(0);
  set_nerio_FAR_Val(kTimingFar);
  std::vector<uint8_t> win(static_cast<size_t>(s) * s);
  size_t timed = 0;
  for (const auto &[tf, rec] : records)
    for (const std::string &pf : set.fingers) {
      if (pf == tf || probe_windows[pf].empty() || timed >= kTimingPairs) continue;
      const Window &w = probe_windows[pf].front();
      cut(*w.image, s, w.y0, w.x0, win.data());
      int matched = -1, updated = 0, accepted = 0;
      auto verify = [&] { accepted |= nerio_qx_verify(win.data(), &matched, &updated, 0) == 0; };
      for (int slot = 0; slot < 5; ++slot) init_alg_tpl_data(slot, &rec);
      const Elapsed five = least_of(verify);
      for (int slot = 1; slot < 5; ++slot) nerio_DelFinger(slot);
      const Elapsed single = least_of(verify);
      nerio_DelFinger(0);
      if (accepted) continue;  // not every slot was scored
      const Elapsed cmp{(five.wall_ms - single.wall_ms) / 4, (five.cpu_ms - single.cpu_ms) / 4};
      std::fprintf(out, "compare\t%.4f\t%.4f\nextract\t%.4f\t%.4f\n", cmp.wall_ms, cmp.cpu_ms,
                   single.wall_ms - cmp.wall_ms, single.cpu_ms - cmp.cpu_ms);
      ++timed;
    }
}

int run_small(const Options &o, const Set &set) {
  const int s = o.size;
  // With --timing-only the tables of a finished run stay as they are.
  auto table = [&](const char *name) { return o.timing_only ? std::string("/dev/null") : o.out + "/" + name; };
  Output meta(table("meta.tsv")), pos(table("positions.tsv")), att(table("attempts.tsv")),
      enr(table("enrolment.tsv")), tim(table("timing.tsv")), slots(o.out + "/slot-timing.tsv");
  if (!meta.f || !pos.f || !att.f || !enr.f || !tim.f || !slots.f) {
    std::fprintf(stderr, "lumetra-evaluate: cannot write into %s\n", o.out.c_str());
    return 2;
  }
  write_meta(meta.f, "small", o.dir, set, s);
  std::fprintf(meta.f, "seed\t%llu\nenrol_windows\t%d\nprobe_windows\t%d\nenrol_spread\t%d\nprobe_spread\t%d\n",
               static_cast<unsigned long long>(o.seed), o.enrol_windows, o.probe_windows, kEnrolSpread,
               kProbeSpread);

  // Every window's position first, in a fixed order, so that the positions
  // depend on the seed and the folder only.
  Generator gen{o.seed};
  std::map<std::string, std::vector<Window>> enrol_windows, probe_windows;
  std::fprintf(pos.f, "use\tfinger\timpression\twindow\ty0\tx0\n");
  auto draw = [&](const char *use, const std::string &f, const int (&impressions)[4], int count, int spread,
                  std::vector<Window> &out) {
    for (int i : impressions)
      if (const Image *im = find(set, f, i))
        for (int k = 0; k < count; ++k) {
          int y0, x0;
          const int dy = gen.offset(spread), dx = gen.offset(spread);
          window_origin(*im, s, dy, dx, y0, x0);
          out.push_back({im, k, y0, x0});
          std::fprintf(pos.f, "%s\t%s\t%d\t%d\t%d\t%d\n", use, f.c_str(), i, k, y0, x0);
        }
  };
  for (const std::string &f : set.fingers) {
    draw("enrol", f, kEnrolImpressions, o.enrol_windows, kEnrolSpread, enrol_windows[f]);
    draw("probe", f, kProbeImpressions, o.probe_windows, kProbeSpread, probe_windows[f]);
  }

  set_fp_sensor_col_row(s, s);
  if (init_nerio_algorithm() != 0) {
    std::fprintf(stderr, "lumetra-evaluate: the library builds no algorithm for %d x %d\n", s, s);
    return 2;
  }
  std::vector<uint8_t> win(static_cast<size_t>(s) * s);

  // Enrollment: one template per finger, kept as the host keeps records.
  std::map<std::string, tpl_record> records;
  size_t enrolled = 0;
  std::fprintf(enr.f, "finger\tcaptures\tsaved\tprogress\tbytes\twall_ms\tcpu_ms\n");
  std::fprintf(tim.f, "operation\tupdate\tfar\twall_ms\tcpu_ms\n");
  for (const std::string &f : set.fingers) {
    nerio_qx_cancel_enroll();
    unsigned char progress = 0;
    const Stamp t0 = now();
    for (const Window &w : enrol_windows[f]) {
      cut(*w.image, s, w.y0, w.x0, win.data());
      nerio_qx_enroll_Image(win.data(), 0, 0, &progress);
    }
    auto rec = std::make_unique<tpl_record>();
    std::memset(rec.get(), 0, sizeof *rec);
    const bool saved = !enrol_windows[f].empty() && nerio_qx_save_tpl(kSlot, rec.get()) == 0 && rec->length > 0;
    const Elapsed e = since(t0);
    std::fprintf(enr.f, "%s\t%zu\t%d\t%d\t%u\t%.3f\t%.3f\n", f.c_str(), enrol_windows[f].size(), saved ? 1 : 0,
                 progress, saved ? rec->length : 0u, e.wall_ms, e.cpu_ms);
    progress_line("small: finger %s enrolled (%zu of %zu)%s", f.c_str(), ++enrolled, set.fingers.size(),
                  saved ? "" : ", enrolment failed");
    if (saved) {
      records[f] = *rec;
      std::fprintf(tim.f, "enrol\t0\t-\t%.4f\t%.4f\n", e.wall_ms, e.cpu_ms);
    }
  }

  // Verification: every enrolled finger against every probe window, per
  // FAR index, template updating off then on.  The slot is reloaded from
  // the enrolled record for each run, so the updates of one run never leak
  // into another; within a run the probes come in the fixed order of the
  // table (fingers, impressions 5-8, windows).
  std::fprintf(att.f, "update\tfar\ttemplate\tfinger\timpression\twindow\taccepted\tupdated\n");
  for (int update : {0, 1}) {
    if (o.timing_only) break;
    set_fp_dyn_update_flg(update);
    for (int far : o.far) {
      set_nerio_FAR_Val(far);
      size_t verified = 0;
      for (const auto &[tf, rec] : records) {
        nerio_DelFinger(kSlot);
        if (init_alg_tpl_data(kSlot, &rec) != 0) {
          std::fprintf(stderr, "lumetra-evaluate: the record of finger %s does not load again\n", tf.c_str());
          return 2;
        }
        for (const std::string &pf : set.fingers)
          for (const Window &w : probe_windows[pf]) {
            cut(*w.image, s, w.y0, w.x0, win.data());
            int matched = -1, updated = 0;
            const Stamp t0 = now();
            const int rc = nerio_qx_verify(win.data(), &matched, &updated, 0);
            const Elapsed e = since(t0);
            std::fprintf(att.f, "%d\t%d\t%s\t%s\t%d\t%d\t%d\t%d\n", update, far, tf.c_str(), pf.c_str(),
                         w.image->impression, w.index, rc == 0 ? 1 : 0, rc == 0 && updated ? 1 : 0);
            std::fprintf(tim.f, "verify\t%d\t%d\t%.4f\t%.4f\n", update, far, e.wall_ms, e.cpu_ms);
          }
        progress_line("small: update %s, FAR index %d: template of finger %s verified (%zu of %zu)",
                      update ? "on" : "off", far, tf.c_str(), ++verified, records.size());
      }
    }
  }
  time_slots(set, records, probe_windows, s, slots.f);
  std::fprintf(meta.f, "peak_rss_kib\t%ld\n", peak_rss_kib());
  uninit_nerio_algorithm();
  return 0;
}

// ---- impostor grid ------------------------------------------------------

// Enrolment and genuine probes at fixed offsets from the foreground centre
// (dy, dx), so that two runs and two programs see the same windows; the
// impostor windows form a 5 x 5 grid -28..28 px in steps of 14 on every
// impression of every other finger.
constexpr int kGridEnrolOffsets[8][2] = {{0, 0},   {-28, 0},   {28, 0},  {0, -28},
                                         {0, 28}, {-28, -28}, {28, 28}, {-28, 28}};
constexpr int kGridProbeOffsets[4][2] = {{-14, -14}, {14, 14}, {-14, 14}, {14, -14}};
constexpr int kGridSide = 5, kGridStep = 14;

// Verifies the window at the given FAR indexes (ascending).  With
// `stop_at_reject`, an index after a rejection is not tried: a verification
// that rejects at one false-accept level rejects at every stricter one, so
// impostor windows are only verified again when they were accepted.
// Returns how many indexes were tried; accepted[k] is 1 or 0.
size_t verify_levels(const uint8_t *win, const std::vector<int> &far, bool stop_at_reject,
                     std::vector<int> &accepted) {
  accepted.assign(far.size(), 0);
  size_t tried = 0;
  for (size_t k = 0; k < far.size(); ++k) {
    set_nerio_FAR_Val(far[k]);
    int matched = -1, updated = 0;
    ++tried;
    accepted[k] = nerio_qx_verify(win, &matched, &updated, 0) == 0 ? 1 : 0;
    if (!accepted[k] && stop_at_reject) break;
  }
  return tried;
}

// The FAR indexes asked for, each once, in the order a climb takes them.
std::vector<int> ascending(std::vector<int> far) {
  std::sort(far.begin(), far.end());
  far.erase(std::unique(far.begin(), far.end()), far.end());
  return far;
}

// The library built for s x s captures, with template updating off; false
// (said on standard error) when it builds no algorithm for that size.
bool init_without_update(int s) {
  set_fp_sensor_col_row(s, s);
  if (init_nerio_algorithm() != 0) {
    std::fprintf(stderr, "lumetra-evaluate: the library builds no algorithm for %d x %d\n", s, s);
    return false;
  }
  set_fp_dyn_update_flg(0);
  return true;
}

// The attempts table's header: the given columns, then one per FAR index.
void attempts_header(std::FILE *f, const char *columns, const std::vector<int> &far) {
  std::fprintf(f, "%s", columns);
  for (int l : far) std::fprintf(f, "\tfar%d", l);
  std::fprintf(f, "\n");
}

int run_grid(const Options &o, const Set &set) {
  const int s = o.size;
  Output meta(o.out + "/meta.tsv"), pos(o.out + "/positions.tsv"), att(o.out + "/attempts.tsv"),
      enr(o.out + "/enrolment.tsv");
  if (!meta.f || !pos.f || !att.f || !enr.f) {
    std::fprintf(stderr, "lumetra-evaluate: cannot write into %s\n", o.out.c_str());
    return 2;
  }
  const std::vector<int> far = ascending(o.far);
  write_meta(meta.f, "grid", o.dir, set, s);
  std::fprintf(meta.f, "grid_side\t%d\ngrid_step\t%d\n", kGridSide, kGridStep);
  if (!init_without_update(s)) return 2;
  std::vector<uint8_t> win(static_cast<size_t>(s) * s);

  std::fprintf(pos.f, "use\tfinger\timpression\twindow\ty0\tx0\n");
  std::fprintf(enr.f, "finger\tcaptures\tsaved\tprogress\tbytes\n");
  attempts_header(att.f, "kind\ttemplate\tfinger\timpression\twindow\ttried", far);
  // The grid's windows of every impression, placed once.
  std::map<const Image *, std::vector<std::pair<int, int>>> grid;
  for (const std::string &f : set.fingers)
    for (const auto &[i, im] : set.images.at(f))
      for (int k = 0; k < kGridSide * kGridSide; ++k) {
        int y0, x0;
        const int half = kGridSide / 2;
        yardstick_window_origin(im, s, kGridStep * (k / kGridSide - half), kGridStep * (k % kGridSide - half), y0, x0);
        grid[&im].push_back({y0, x0});
        std::fprintf(pos.f, "grid\t%s\t%d\t%d\t%d\t%d\n", f.c_str(), i, k, y0, x0);
      }

  auto write_attempt = [&](const char *kind, const std::string &tf, const Image &im, int k, size_t tried,
                           const std::vector<int> &acc) {
    std::fprintf(att.f, "%s\t%s\t%s\t%d\t%d\t%zu", kind, tf.c_str(), im.finger.c_str(), im.impression, k, tried);
    for (int a : acc) std::fprintf(att.f, "\t%d", a);
    std::fprintf(att.f, "\n");
  };
  const Stamp start = now();
  size_t done = 0;
  std::vector<int> acc;
  for (const std::string &tf : set.fingers) {
    ++done;
    // Enrolment: eight windows of each of impressions 1-4.
    nerio_qx_cancel_enroll();
    unsigned char progress = 0;
    int captures = 0;
    for (int i : kEnrolImpressions)
      if (const Image *im = find(set, tf, i))
        for (int k = 0; k < 8; ++k) {
          int y0, x0;
          yardstick_window_origin(*im, s, kGridEnrolOffsets[k][0], kGridEnrolOffsets[k][1], y0, x0);
          std::fprintf(pos.f, "enrol\t%s\t%d\t%d\t%d\t%d\n", tf.c_str(), i, k, y0, x0);
          cut(*im, s, y0, x0, win.data());
          nerio_qx_enroll_Image(win.data(), 0, 0, &progress);
          ++captures;
        }
    auto rec = std::make_unique<tpl_record>();
    std::memset(rec.get(), 0, sizeof *rec);
    const bool saved = captures > 0 && nerio_qx_save_tpl(kSlot, rec.get()) == 0 && rec->length > 0;
    std::fprintf(enr.f, "%s\t%d\t%d\t%d\t%u\n", tf.c_str(), captures, saved ? 1 : 0, progress,
                 saved ? rec->length : 0u);
    nerio_DelFinger(kSlot);
    if (saved && init_alg_tpl_data(kSlot, rec.get()) != 0) {
      std::fprintf(stderr, "lumetra-evaluate: the record of finger %s does not load again\n", tf.c_str());
      return 2;
    }
    // Genuine probes: four windows of each of impressions 5-8.
    for (int i : kProbeImpressions)
      if (const Image *im = find(set, tf, i))
        for (int k = 0; k < 4; ++k) {
          int y0, x0;
          yardstick_window_origin(*im, s, kGridProbeOffsets[k][0], kGridProbeOffsets[k][1], y0, x0);
          std::fprintf(pos.f, "probe\t%s\t%d\t%d\t%d\t%d\n", tf.c_str(), i, k, y0, x0);
          if (!saved) {
            write_attempt("genuine", tf, *im, k, 0, std::vector<int>(far.size(), 0));
            continue;
          }
          cut(*im, s, y0, x0, win.data());
          const size_t tried = verify_levels(win.data(), far, false, acc);
          write_attempt("genuine", tf, *im, k, tried, acc);
        }
    // Impostors: the grid on every impression of every other finger.  A
    // finger that enrolled nothing accepts nothing and is left out, as a
    // failure to enrol is counted on its own.
    size_t impostors = 0;
    if (saved)
      for (const std::string &pf : set.fingers) {
        if (pf == tf) continue;
        for (const auto &[i, im] : set.images.at(pf))
          for (size_t k = 0; k < grid[&im].size(); ++k) {
            cut(im, s, grid[&im][k].first, grid[&im][k].second, win.data());
            const size_t tried = verify_levels(win.data(), far, true, acc);
            write_attempt("impostor", tf, im, static_cast<int>(k), tried, acc);
            ++impostors;
          }
      }
    nerio_DelFinger(kSlot);
    progress_line("grid: finger %s (%zu of %zu)%s, %zu impostor windows, %.0f s so far", tf.c_str(), done,
                  set.fingers.size(), saved ? "" : ", enrolment failed", impostors, since(start).wall_ms / 1e3);
  }
  const Elapsed e = since(start);
  std::fprintf(meta.f, "wall_s\t%.1f\ncpu_s\t%.1f\n", e.wall_ms / 1e3, e.cpu_ms / 1e3);
  std::fprintf(meta.f, "peak_rss_kib\t%ld\n", peak_rss_kib());
  uninit_nerio_algorithm();
  return 0;
}

// ---- a capture against itself -------------------------------------------

// The window itself, then moved by up to 4 px (rows, columns).
constexpr int kMovedOffsets[][2] = {{0, 0}, {4, 0}, {0, 4}, {-4, 0}, {0, -4}, {3, 3}};

int run_moved(const Options &o, const Set &set) {
  const int s = o.size;
  Output meta(o.out + "/meta.tsv"), att(o.out + "/attempts.tsv");
  if (!meta.f || !att.f) {
    std::fprintf(stderr, "lumetra-evaluate: cannot write into %s\n", o.out.c_str());
    return 2;
  }
  const std::vector<int> far = ascending(o.far);
  write_meta(meta.f, "moved", o.dir, set, s);
  if (!init_without_update(s)) return 2;
  std::vector<uint8_t> win(static_cast<size_t>(s) * s);
  attempts_header(att.f, "finger\timpression\tsaved\tdy\tdx\ttried", far);
  const Stamp start = now();
  std::vector<int> acc;
  for (const std::string &f : set.fingers) {
    for (const auto &[i, im] : set.images.at(f)) {
      int y0, x0;
      yardstick_window_origin(im, s, 0, 0, y0, x0);
      cut(im, s, y0, x0, win.data());
      nerio_qx_cancel_enroll();
      unsigned char progress = 0;
      nerio_qx_enroll_Image(win.data(), 0, 0, &progress);
      auto rec = std::make_unique<tpl_record>();
      std::memset(rec.get(), 0, sizeof *rec);
      nerio_DelFinger(kSlot);
      const bool saved = nerio_qx_save_tpl(kSlot, rec.get()) == 0 && rec->length > 0;
      for (const auto &d : kMovedOffsets) {
        size_t tried = 0;
        acc.assign(far.size(), 0);
        if (saved) {
          // Moved past the image's edge, the window shows white there, as
          // a sensor shows no skin.
          cut(im, s, y0 + d[0], x0 + d[1], win.data());
          tried = verify_levels(win.data(), far, true, acc);
        }
        std::fprintf(att.f, "%s\t%d\t%d\t%d\t%d\t%zu", f.c_str(), i, saved ? 1 : 0, d[0], d[1], tried);
        for (int a : acc) std::fprintf(att.f, "\t%d", a);
        std::fprintf(att.f, "\n");
      }
      nerio_DelFinger(kSlot);
    }
    progress_line("moved: finger %s, %.0f s so far", f.c_str(), since(start).wall_ms / 1e3);
  }
  const Elapsed e = since(start);
  std::fprintf(meta.f, "wall_s\t%.1f\ncpu_s\t%.1f\n", e.wall_ms / 1e3, e.cpu_ms / 1e3);
  uninit_nerio_algorithm();
  return 0;
}

// ---- FVC 1:1 protocol ---------------------------------------------------

int run_pairs(const Options &o, const Set &set) {
  const int s = o.size;
  const std::string crops = o.out + "/crops";
  if (!make_dir(crops)) {
    std::fprintf(stderr, "lumetra-evaluate: cannot create %s\n", crops.c_str());
    return 2;
  }
  Output meta(o.out + "/meta.tsv"), tim(o.out + "/timing.tsv"), pos(o.out + "/positions.tsv");
  if (!meta.f || !tim.f || !pos.f) {
    std::fprintf(stderr, "lumetra-evaluate: cannot write into %s\n", o.out.c_str());
    return 2;
  }
  write_meta(meta.f, "pairs", o.dir, set, s);
  const int far = o.far.empty() ? 12 : o.far[0];
  std::fprintf(meta.f, "far\t%d\n", far);

  // One crop per impression, at the foreground centre.
  std::map<const Image *, std::string> crop_of;
  std::vector<uint8_t> px(static_cast<size_t>(s) * s);
  std::fprintf(pos.f, "finger\timpression\ty0\tx0\n");
  for (const std::string &f : set.fingers)
    for (const auto &[i, im] : set.images.at(f)) {
      int y0, x0;
      window_origin(im, s, 0, 0, y0, x0);
      cut(im, s, y0, x0, px.data());
      const std::string base = crops + "/" + f + "_" + std::to_string(i);
      if (!write_bmp(base + ".bmp", px.data(), s) || !write_raw(base + ".raw", px.data(), s)) {
        std::fprintf(stderr, "lumetra-evaluate: cannot write %s\n", base.c_str());
        return 2;
      }
      crop_of[&im] = base + ".bmp";
      std::fprintf(pos.f, "%s\t%d\t%d\t%d\n", f.c_str(), i, y0, x0);
    }
  const std::string blank = crops + "/blank.bmp";
  std::fill(px.begin(), px.end(), kWhite);
  if (!write_bmp(blank, px.data(), s)) return 2;

  set_fp_sensor_col_row(s, s);
  if (init_nerio_algorithm() != 0) {
    std::fprintf(stderr, "lumetra-evaluate: the library builds no algorithm for %d x %d\n", s, s);
    return 2;
  }
  set_nerio_FAR_Val(far);

  struct Pair {
    const Image *a, *b;
    bool genuine;
  };
  std::vector<Pair> list;
  for (const std::string &f : set.fingers) {
    const auto &imps = set.images.at(f);
    for (auto i = imps.begin(); i != imps.end(); ++i)
      for (auto j = std::next(i); j != imps.end(); ++j) list.push_back({&i->second, &j->second, true});
  }
  for (size_t x = 0; x < set.fingers.size(); ++x)
    for (size_t y = x + 1; y < set.fingers.size(); ++y)
      list.push_back({&set.images.at(set.fingers[x]).begin()->second,
                      &set.images.at(set.fingers[y]).begin()->second, false});

  if (!o.timing_only) {
    Output pairs(o.out + "/scores.tsv");
    if (!pairs.f) return 2;
    std::fprintf(pairs.f, "kind\tfinger_a\timpression_a\tfinger_b\timpression_b\tscore\tfailed\n");
    size_t scored = 0;
    for (const Pair &p : list) {
      // One line per finger's genuine pairs, and one for the impostors.
      const Pair *prev = scored > 0 ? &list[scored - 1] : nullptr;
      if (prev == nullptr || p.genuine != prev->genuine || (p.genuine && p.a->finger != prev->a->finger)) {
        if (p.genuine) progress_line("pairs %d x %d: genuine pairs of finger %s", s, s, p.a->finger.c_str());
        else progress_line("pairs %d x %d: impostor pairs of the first impressions", s, s);
      }
      ++scored;
      const int score = nerio_get_score_from_two_image_compare(crop_of[p.a].c_str(), crop_of[p.b].c_str());
      // 1 is the export's failure result; it counts as a rejection.
      const bool failed = score == 1;
      std::fprintf(pairs.f, "%s\t%s\t%d\t%s\t%d\t%d\t%d\n", p.genuine ? "genuine" : "impostor",
                   p.a->finger.c_str(), p.a->impression, p.b->finger.c_str(), p.b->impression,
                   failed ? 0 : score, failed ? 1 : 0);
    }
  }

  // The export extracts both images and compares them.  The cost of one
  // extraction and of one comparison is separated with a blank (white)
  // crop, which yields no template and so no comparison:
  //   t(A, blank) = 2 reads + extract(A) + extract(blank)
  //   t(blank, blank) = 2 reads + 2 extract(blank)
  //   comparison(A, B) = t(A, B) - t(A, blank) - t(B, blank) + t(blank, blank)
  //   extraction(A) = t(A, blank) - t(blank, blank) / 2  (plus one file read)
  // A difference of single calls drowns a short comparison in the noise of
  // a shared machine, so every term is the least of a few repeats (the
  // work is deterministic: what exceeds the least is interference), on a
  // spread of pairs taken evenly from the list.
  auto least = [](const char *a, const char *b) {
    return least_of([&] { nerio_get_score_from_two_image_compare(a, b); });
  };
  const Elapsed none = least(blank.c_str(), blank.c_str());
  std::map<const Image *, Elapsed> one;
  std::fprintf(tim.f, "operation\twall_ms\tcpu_ms\n");
  const size_t step = std::max<size_t>(1, list.size() / kTimingPairs);
  for (size_t k = 0; k < list.size(); k += step) {
    const Pair &p = list[k];
    for (const Image *im : {p.a, p.b})
      if (one.count(im) == 0) {
        one[im] = least(crop_of[im].c_str(), blank.c_str());
        std::fprintf(tim.f, "extract\t%.4f\t%.4f\n", one[im].wall_ms - none.wall_ms / 2,
                     one[im].cpu_ms - none.cpu_ms / 2);
      }
    const Elapsed both = least(crop_of[p.a].c_str(), crop_of[p.b].c_str());
    std::fprintf(tim.f, "compare\t%.4f\t%.4f\n", both.wall_ms - one[p.a].wall_ms - one[p.b].wall_ms + none.wall_ms,
                 both.cpu_ms - one[p.a].cpu_ms - one[p.b].cpu_ms + none.cpu_ms);
  }
  std::fprintf(meta.f, "peak_rss_kib\t%ld\n", peak_rss_kib());
  uninit_nerio_algorithm();
  return 0;
}

const char *kUsage =
    "usage: lumetra-evaluate small DIR OUT [--seed N] [--far 12,14,15] [--size 88]\n"
    "                              [--enrol-windows 8] [--probe-windows 4]\n"
    "       lumetra-evaluate pairs DIR OUT [--size 197] [--far 12] [--timing-only]\n"
    "       lumetra-evaluate grid DIR OUT [--far 9,10,11,12,13,14,15,18] [--size 88]\n"
    "       lumetra-evaluate moved DIR OUT [--far 12,14,18] [--size 88]\n";

bool parse_options(int argc, char **argv, Options &o) {
  if (argc < 4) return false;
  o.mode = argv[1];
  o.dir = argv[2];
  o.out = argv[3];
  if (o.mode != "small" && o.mode != "pairs" && o.mode != "grid" && o.mode != "moved") return false;
  o.size = o.mode == "pairs" ? 197 : 88;
  o.far = o.mode == "small"  ? std::vector<int>{12, 14, 15}
          : o.mode == "grid" ? std::vector<int>{9, 10, 11, 12, 13, 14, 15, 18}
          : o.mode == "moved" ? std::vector<int>{12, 14, 18}
                             : std::vector<int>{12};
  for (int i = 4; i < argc; i += 2) {
    if (std::string(argv[i]) == "--timing-only") {
      o.timing_only = true;
      --i;
      continue;
    }
    if (i + 1 >= argc) return false;
    const std::string opt = argv[i];
    const char *v = argv[i + 1];
    char *end = nullptr;
    const long n = std::strtol(v, &end, 10);
    const bool number = end != v && *end == '\0';
    if (opt == "--seed" && number && n >= 0) o.seed = static_cast<uint64_t>(n);
    else if (opt == "--far") o.far = parse_list(v);
    else if (opt == "--size" && number && n >= 16 && n <= 512) o.size = static_cast<int>(n);
    else if (opt == "--enrol-windows" && number && n >= 1 && n <= 64) o.enrol_windows = static_cast<int>(n);
    else if (opt == "--probe-windows" && number && n >= 1 && n <= 64) o.probe_windows = static_cast<int>(n);
    else return false;
  }
  return !o.far.empty();
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (!parse_options(argc, argv, o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!make_dir(o.out)) {
    std::fprintf(stderr, "lumetra-evaluate: cannot create %s\n", o.out.c_str());
    return 2;
  }
  Set set;
  if (!load_set(o.dir, set)) return 2;
  if (o.mode == "grid") return run_grid(o, set);
  if (o.mode == "moved") return run_moved(o, set);
  return o.mode == "small" ? run_small(o, set) : run_pairs(o, set);
}
