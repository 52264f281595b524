// fpsynth: synthetic fingerprints for tests, training and evaluation.
//
// A master fingerprint is grown from a class-specific orientation field
// (cores and deltas of a zero-pole model with smooth random variation), a
// ridge-period map and a finger-shaped outline, by iterative oriented
// filtering that starts from short ridge seeds scattered at random over the
// finger.  Where growing ridge fronts meet out of phase, ridge endings and
// bifurcations appear; they are read back from the thinned ridge and valley
// patterns as ground truth.
//
// Impressions of a master are rendered through a rigid transform plus a
// non-linear elastic distortion around the contact centre, with skin
// condition (dry: thin broken ridges, wet: thick merged ridges), pressure,
// background level and sensor noise, either at full finger size or as a
// small sensor window.
//
// Everything is deterministic from a 64-bit seed: the random numbers come
// from a fixed generator with hand-written distributions.  Byte-identical
// output across machines further assumes the same C math library (exp,
// sin, atan2 and friends) and no fused multiply-add contraction.
//
// Conventions (those of the Lumetra engine):
//  - pixels: 8-bit grey, row-major, no padding, 0 black, 255 white, ridges
//    dark, 500 dpi;
//  - minutia position: row and column, rows counted downward;
//  - minutia direction: 256 steps per turn, 64 = 90 degrees, counted
//    counter-clockwise with y pointing up (like atan2 of (rows upward,
//    columns));
//  - type 1 ridge ending, 2 ridge bifurcation;
//  - a bifurcation's direction is the mean of its two diverging branches
//    (pointing away from the stem); a ridge ending is located where the two
//    valleys beside it join (the valley bifurcation just beyond the ridge
//    tip) and its direction is the mean of those two valleys, that is it
//    points from the tip back into the ridge.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imageio.h"

namespace fpsynth {

// ---------------------------------------------------------------- random
// xoshiro256** seeded through splitmix64.  The distributions are written
// here so that a seed gives the same numbers with every standard library.
class Rng {
public:
    explicit Rng(uint64_t seed);
    uint64_t next();
    double uniform();                      // [0, 1)
    double uniform(double lo, double hi);  // [lo, hi)
    int below(int n);                      // 0 .. n-1, n > 0
    double normal();                       // mean 0, deviation 1
    double normal(double mean, double sd) { return mean + sd * normal(); }
    bool chance(double p) { return uniform() < p; }

private:
    uint64_t s_[4];
    double spare_ = 0.0;
    bool has_spare_ = false;
};

// splitmix64 step: the seed mixer used for derived seeds.
uint64_t splitmix64(uint64_t& state);
// Seed of a child object (finger i of a set, impression j of a finger).
uint64_t derive_seed(uint64_t parent, uint64_t index);

// ---------------------------------------------------------------- images
// The tools' one grey-image type (rows x cols, top row first); it is read
// and written by imageio (bitmaps of the generator: imageio::write_bmp).
using Image = imageio::GreyImage;

// Tiles equally sized or differently sized images into a grid with a gap,
// each tile top-left aligned in a cell of the largest tile's size.
Image contact_sheet(const std::vector<Image>& tiles, int columns, int gap = 4, uint8_t background = 160);

// ---------------------------------------------------------------- minutiae
struct Minutia {
    int row = 0;
    int col = 0;
    uint8_t direction = 0;  // 256 per turn, y up
    uint8_t type = 0;       // 1 ending, 2 bifurcation
};

// Byte angle of the vector (dx right, dy up), rounded to the nearest step.
uint8_t byte_angle(double dx, double dy_up);
// Circular distance of two byte angles, 0 .. 128.
int byte_angle_difference(int a, int b);

// ---------------------------------------------------------------- masters
enum class FingerClass { Arch = 0, LeftLoop = 1, RightLoop = 2, Whorl = 3, TentedArch = 4 };
const char* class_name(FingerClass c);

struct Singularity {
    double row = 0, col = 0;
    bool core = true;  // false: delta
};

struct MasterParams {
    int rows = 336;             // master canvas, 500 dpi
    int cols = 272;
    double period_min = 8.0;    // ridge period range in pixels per ridge
    double period_max = 11.0;
    int finger_class = -1;      // FingerClass value, or -1 for a natural mix
    int iterations = 16;        // oriented filtering passes
};

struct Master {
    int rows = 0, cols = 0;
    FingerClass finger_class = FingerClass::Arch;
    std::vector<Singularity> singularities;
    std::vector<float> orientation;  // ridge direction in radians, y up, modulo pi
    std::vector<float> period;       // pixels per ridge
    std::vector<float> field;        // grown ridge pattern, -1 valley .. +1 ridge
    std::vector<uint8_t> mask;       // 1 inside the finger
    std::vector<float> texture;      // skin texture added when printing: pores, rough edges
    std::vector<Minutia> minutiae;   // ground truth
    double centre_row = 0, centre_col = 0;  // middle of the finger outline

    bool inside(int r, int c) const {
        return r >= 0 && c >= 0 && r < rows && c < cols && mask[static_cast<size_t>(r) * cols + c];
    }
    // Clean grey rendering (dark ridges, white background).
    Image render() const;
};

Master make_master(uint64_t seed, const MasterParams& params = {});

// ---------------------------------------------------------------- impressions
enum class Skin { Random = -1, Normal = 0, Dry = 1, Wet = 2 };

struct ImpressionParams {
    int rows = 88;  // 0 (both) = full master canvas
    int cols = 88;
    double max_rotation_deg = 15.0;  // uniform in +-; 180 gives the full range
    double placement_sd = 18.0;      // spread of the window centre (pixels)
    double distortion = 1.0;         // 0 = rigid only, 1 = natural, larger = stronger
    Skin skin = Skin::Random;
    double noise = 1.0;              // sensor noise scale (0 = none)
    double variability = 1.0;        // spread of brightness, contrast, grain (0 = clean)
    // Window centre in master coordinates (row, col); negative = chosen by the
    // generator around the finger's placement centre.
    double centre_row = -1, centre_col = -1;
};

// Affine map of a master point (x = column, y = row) to an impression:
// x' = a*x + b*y + c, y' = d*x + e*y + f.
struct Affine {
    double a = 1, b = 0, c = 0, d = 0, e = 1, f = 0;
    void apply(double x, double y, double& xo, double& yo) const {
        xo = a * x + b * y + c;
        yo = d * x + e * y + f;
    }
    Affine inverse() const;
};

struct Impression {
    Image image;
    Affine transform;          // master -> impression, rigid part
    double rotation_deg = 0;   // counter-clockwise on screen (y up)
    // Elastic distortion: outside the contact radius the skin is turned by
    // a further angle and shifted, blending in over the transition width.
    double contact_row = 0, contact_col = 0;  // contact centre (impression)
    double contact_radius = 0, transition = 0;
    double extra_rotation_deg = 0, extra_dx = 0, extra_dy = 0;
    Skin skin = Skin::Normal;
    double pressure = 1.0;
    std::vector<Minutia> minutiae;  // ground truth in impression coordinates

    // Master point (col x, row y) seen from impression pixel (x, y), and back.
    void to_master(double x, double y, double& mx, double& my) const;
    bool to_impression(double mx, double my, double& x, double& y) const;
};

Impression make_impression(const Master& master, uint64_t seed, const ImpressionParams& params = {});

// A single finger image of the given size (96..160 square for the station's
// scene test), centred on the finger's core area.
Image make_finger_image(uint64_t seed, int rows, int cols);

// ---------------------------------------------------------------- sets
struct SetParams {
    std::string out_dir;
    int fingers = 200;
    int impressions = 12;
    uint64_t seed = 1;
    MasterParams master;
    ImpressionParams impression;
    bool write_masters = false;
    std::string sheet_path;  // contact sheet PNG, empty = none
    int sheet_fingers = 8;   // fingers shown on the sheet
};

// Writes <out>/f<finger>_<impression>.bmp, masters/f<finger>.bmp when asked,
// manifest.csv (one line per impression), minutiae.csv (one line per
// ground-truth minutia; impression 0 is the master) and singularities.csv
// (cores and deltas of each master, master coordinates).  Returns false with a
// message on failure.
bool generate_set(const SetParams& params, std::string& error);

}  // namespace fpsynth
