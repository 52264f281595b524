// A named set: many fingers, several impressions each, bitmaps, manifest
// and an optional contact sheet.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "fpsynth/fpsynth.h"

namespace fpsynth {

namespace {

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

File open_text(const std::string& path) { return File(std::fopen(path.c_str(), "w"), std::fclose); }

void write_minutiae(FILE* f, int finger, int impression, const std::vector<Minutia>& list) {
    for (const Minutia& m : list)
        std::fprintf(f, "%d,%d,%d,%d,%d,%d\n", finger, impression, m.row, m.col, m.direction, m.type);
}

const char* skin_name(Skin s) {
    switch (s) {
        case Skin::Dry: return "dry";
        case Skin::Wet: return "wet";
        default: return "normal";
    }
}

}  // namespace

bool generate_set(const SetParams& p, std::string& error) {
    namespace fs = std::filesystem;
    if (p.out_dir.empty()) {
        error = "no output directory given";
        return false;
    }
    if (p.fingers < 1 || p.impressions < 1) {
        error = "fingers and impressions must be at least 1";
        return false;
    }
    std::error_code ec;
    fs::create_directories(p.out_dir, ec);
    if (p.write_masters) fs::create_directories(fs::path(p.out_dir) / "masters", ec);
    if (ec) {
        error = "cannot create " + p.out_dir + ": " + ec.message();
        return false;
    }
    File manifest = open_text((fs::path(p.out_dir) / "manifest.csv").string());
    File minutiae = open_text((fs::path(p.out_dir) / "minutiae.csv").string());
    File singular = open_text((fs::path(p.out_dir) / "singularities.csv").string());
    if (!manifest || !minutiae || !singular) {
        error = "cannot write the manifest in " + p.out_dir + ": " + std::strerror(errno);
        return false;
    }
    std::fprintf(manifest.get(),
                 "finger,impression,file,class,rows,cols,rotation_deg,a,b,c,d,e,f,"
                 "contact_row,contact_col,contact_radius,transition,extra_rotation_deg,extra_dx,extra_dy,"
                 "skin,pressure,minutiae\n");
    std::fprintf(minutiae.get(), "finger,impression,row,col,direction,type\n");
    std::fprintf(singular.get(), "finger,class,kind,row,col\n");

    std::vector<Image> sheet;
    const int sheet_impressions = std::min(p.impressions, 8);
    char name[64];
    for (int fi = 1; fi <= p.fingers; ++fi) {
        const uint64_t finger_seed = derive_seed(p.seed, static_cast<uint64_t>(fi));
        const Master master = make_master(finger_seed, p.master);
        write_minutiae(minutiae.get(), fi, 0, master.minutiae);
        for (const Singularity& s : master.singularities)
            std::fprintf(singular.get(), "%d,%s,%s,%.1f,%.1f\n", fi, class_name(master.finger_class),
                         s.core ? "core" : "delta", s.row, s.col);
        if (p.write_masters) {
            std::snprintf(name, sizeof name, "masters/f%04d.bmp", fi);
            std::string problem;
            if (!imageio::write_bmp((fs::path(p.out_dir) / name).string(), master.render(), &problem)) {
                error = std::string("cannot write ") + name + ": " + problem;
                return false;
            }
        }
        for (int ii = 1; ii <= p.impressions; ++ii) {
            const Impression imp = make_impression(master, derive_seed(finger_seed, static_cast<uint64_t>(ii)), p.impression);
            std::snprintf(name, sizeof name, "f%04d_%02d.bmp", fi, ii);
            std::string problem;
            if (!imageio::write_bmp((fs::path(p.out_dir) / name).string(), imp.image, &problem)) {
                error = std::string("cannot write ") + name + ": " + problem;
                return false;
            }
            const Affine& t = imp.transform;
            std::fprintf(manifest.get(),
                         "%d,%d,%s,%s,%d,%d,%.3f,%.6f,%.6f,%.3f,%.6f,%.6f,%.3f,%.2f,%.2f,%.2f,%.2f,%.3f,%.3f,%.3f,%s,%.3f,%zu\n",
                         fi, ii, name, class_name(master.finger_class), imp.image.rows, imp.image.cols,
                         imp.rotation_deg, t.a, t.b, t.c, t.d, t.e, t.f, imp.contact_row, imp.contact_col,
                         imp.contact_radius, imp.transition, imp.extra_rotation_deg, imp.extra_dx, imp.extra_dy,
                         skin_name(imp.skin), imp.pressure, imp.minutiae.size());
            write_minutiae(minutiae.get(), fi, ii, imp.minutiae);
            if (!p.sheet_path.empty() && fi <= p.sheet_fingers && ii <= sheet_impressions) sheet.push_back(imp.image);
        }
    }
    if (std::ferror(manifest.get()) || std::ferror(minutiae.get()) || std::ferror(singular.get())) {
        error = "error while writing the manifest";
        return false;
    }
    std::string problem;
    if (!p.sheet_path.empty() &&
        !imageio::write_png(p.sheet_path, contact_sheet(sheet, sheet_impressions), &problem)) {
        error = "cannot write " + p.sheet_path + ": " + problem;
        return false;
    }
    return true;
}

}  // namespace fpsynth
