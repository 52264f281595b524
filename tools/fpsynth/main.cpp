// fpsynth command line: generate a set, a single finger image, or a
// contact sheet for a quick look.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fpsynth/fpsynth.h"

using namespace fpsynth;

namespace {

const char* kUsage =
    "usage:\n"
    "  fpsynth set --out DIR [--fingers 200] [--impressions 12] [--size 88x88 | --full]\n"
    "              [--seed 1] [--period 8:11] [--rotation 15] [--distortion 1] [--noise 1]\n"
    "              [--skin random|normal|dry|wet] [--masters] [--sheet FILE.png]\n"
    "  fpsynth finger --out FILE.bmp [--size 128x128] [--seed 1]\n"
    "  fpsynth sheet --out FILE.png [--fingers 8] [--impressions 8] [--size 88x88 | --full]\n"
    "              [--seed 1] [--period 8:11] [--rotation 15] [--skin ...] [--masters]\n"
    "  (sheet --masters shows the master prints instead of impressions)\n";

struct Args {
    std::string out, sheet;
    int fingers = -1, impressions = -1, rows = 88, cols = 88;
    bool full = false, masters = false;
    uint64_t seed = 1;
    MasterParams master;
    ImpressionParams impression;
};

bool parse_int(const char* s, long lo, long hi, int& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s, &end, 10);
    if (errno || end == s || *end || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

bool parse_double(const char* s, double lo, double hi, double& out) {
    char* end = nullptr;
    const double v = std::strtod(s, &end);
    if (end == s || *end || !(v >= lo && v <= hi)) return false;
    out = v;
    return true;
}

// "88x88", "128" (square) or "96x120" (rows x columns).
bool parse_size(const std::string& s, int& rows, int& cols) {
    const size_t x = s.find('x');
    if (x == std::string::npos) {
        if (!parse_int(s.c_str(), 16, 2048, rows)) return false;
        cols = rows;
        return true;
    }
    return parse_int(s.substr(0, x).c_str(), 16, 2048, rows) && parse_int(s.substr(x + 1).c_str(), 16, 2048, cols);
}

bool parse(int argc, char** argv, Args& a, std::string& why) {
    for (int i = 2; i < argc; ++i) {
        const std::string opt = argv[i];
        const bool flag = opt == "--full" || opt == "--masters";
        if (!flag && i + 1 >= argc) {
            why = "missing value after " + opt;
            return false;
        }
        const char* v = flag ? "" : argv[++i];
        bool ok = true;
        if (opt == "--out") a.out = v;
        else if (opt == "--sheet") a.sheet = v;
        else if (opt == "--full") a.full = true;
        else if (opt == "--masters") a.masters = true;
        else if (opt == "--fingers") ok = parse_int(v, 1, 1000000, a.fingers);
        else if (opt == "--impressions") ok = parse_int(v, 1, 1000, a.impressions);
        else if (opt == "--size") ok = parse_size(v, a.rows, a.cols);
        else if (opt == "--seed") {
            char* end = nullptr;
            a.seed = std::strtoull(v, &end, 0);
            ok = end != v && !*end;
        } else if (opt == "--period") {
            const char* colon = std::strchr(v, ':');
            ok = colon && parse_double(std::string(v, colon).c_str(), 4, 24, a.master.period_min) &&
                 parse_double(colon + 1, a.master.period_min, 24, a.master.period_max);
        } else if (opt == "--rotation") ok = parse_double(v, 0, 180, a.impression.max_rotation_deg);
        else if (opt == "--distortion") ok = parse_double(v, 0, 5, a.impression.distortion);
        else if (opt == "--noise") ok = parse_double(v, 0, 10, a.impression.noise);
        else if (opt == "--skin") {
            const std::string s = v;
            if (s == "random") a.impression.skin = Skin::Random;
            else if (s == "normal") a.impression.skin = Skin::Normal;
            else if (s == "dry") a.impression.skin = Skin::Dry;
            else if (s == "wet") a.impression.skin = Skin::Wet;
            else ok = false;
        } else {
            why = "unknown option " + opt;
            return false;
        }
        if (!ok) {
            why = "bad value for " + opt + ": " + v;
            return false;
        }
    }
    if (a.out.empty()) {
        why = "--out is required";
        return false;
    }
    a.impression.rows = a.full ? 0 : a.rows;
    a.impression.cols = a.full ? 0 : a.cols;
    return true;
}

int run_set(const Args& a) {
    SetParams p;
    p.out_dir = a.out;
    p.fingers = a.fingers > 0 ? a.fingers : 200;
    p.impressions = a.impressions > 0 ? a.impressions : 12;
    p.seed = a.seed;
    p.master = a.master;
    p.impression = a.impression;
    p.write_masters = a.masters;
    p.sheet_path = a.sheet;
    std::string error;
    if (!generate_set(p, error)) {
        std::fprintf(stderr, "fpsynth: %s\n", error.c_str());
        return 1;
    }
    std::printf("fpsynth: %d fingers x %d impressions written to %s\n", p.fingers, p.impressions, p.out_dir.c_str());
    return 0;
}

int run_finger(const Args& a) {
    const Image img = make_finger_image(a.seed, a.rows, a.cols);
    std::string problem;
    if (!imageio::write_bmp(a.out, img, &problem)) {
        std::fprintf(stderr, "fpsynth: cannot write %s: %s\n", a.out.c_str(), problem.c_str());
        return 1;
    }
    if (a.rows < 96 || a.cols < 96 || a.rows > 160 || a.cols > 160)
        std::fprintf(stderr, "fpsynth: note: the station's scene test takes 96..160 pixels square\n");
    return 0;
}

int run_sheet(const Args& a) {
    const int fingers = a.fingers > 0 ? a.fingers : 8, per = a.impressions > 0 ? a.impressions : 8;
    std::vector<Image> tiles;
    for (int fi = 1; fi <= fingers; ++fi) {
        const uint64_t fs = derive_seed(a.seed, static_cast<uint64_t>(fi));
        const Master m = make_master(fs, a.master);
        if (a.masters) {
            tiles.push_back(m.render());
            continue;
        }
        for (int ii = 1; ii <= per; ++ii)
            tiles.push_back(make_impression(m, derive_seed(fs, static_cast<uint64_t>(ii)), a.impression).image);
    }
    std::string problem;
    if (!imageio::write_png(a.out, contact_sheet(tiles, a.masters ? 4 : per), &problem)) {
        std::fprintf(stderr, "fpsynth: cannot write %s: %s\n", a.out.c_str(), problem.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    Args a;
    if (!std::strcmp(argv[1], "finger")) a.rows = a.cols = 128;
    std::string why;
    const std::string cmd = argv[1];
    if (cmd != "set" && cmd != "finger" && cmd != "sheet") {
        std::fprintf(stderr, "fpsynth: unknown command %s\n%s", argv[1], kUsage);
        return 2;
    }
    if (!parse(argc, argv, a, why)) {
        std::fprintf(stderr, "fpsynth: %s\n%s", why.c_str(), kUsage);
        return 2;
    }
    if (cmd == "set") return run_set(a);
    if (cmd == "finger") return run_finger(a);
    return run_sheet(a);
}
