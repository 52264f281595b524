// Impressions of a master: rigid placement, elastic distortion around the
// contact centre, pressure and skin condition, background and sensor noise.
#include <algorithm>
#include <cmath>

#include "fpsynth/fpsynth.h"

namespace fpsynth {

Affine Affine::inverse() const {
    const double det = a * e - b * d;
    Affine r;
    r.a = e / det;
    r.b = -b / det;
    r.d = -d / det;
    r.e = a / det;
    r.c = -(r.a * c + r.b * f);
    r.f = -(r.d * c + r.e * f);
    return r;
}

namespace {

double smoothstep(double lo, double hi, double v) {
    const double t = std::clamp((v - lo) / (hi - lo), 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

// Bilinear sample of a float plane; `outside` beyond the canvas.
float sample(const std::vector<float>& plane, int rows, int cols, double x, double y, float outside) {
    if (!(x >= 0 && y >= 0 && x <= cols - 1 && y <= rows - 1)) return outside;
    const int x0 = std::min(static_cast<int>(x), cols - 2 < 0 ? 0 : cols - 2);
    const int y0 = std::min(static_cast<int>(y), rows - 2 < 0 ? 0 : rows - 2);
    const double fx = x - x0, fy = y - y0;
    const float* p = &plane[static_cast<size_t>(y0) * cols + x0];
    const double top = p[0] + fx * (p[1] - p[0]);
    const double bot = p[cols] + fx * (p[cols + 1] - p[cols]);
    return static_cast<float>(top + fy * (bot - top));
}

// Coarse random grid, bilinearly interpolated: blotches of dry or wet skin.
struct ValueNoise {
    int gr = 0, gc = 0;
    double cell = 8;
    std::vector<float> v;
    ValueNoise(Rng& rng, int rows, int cols, double cell_px) : cell(cell_px) {
        gr = static_cast<int>(rows / cell) + 2;
        gc = static_cast<int>(cols / cell) + 2;
        v.resize(static_cast<size_t>(gr) * gc);
        for (auto& x : v) x = static_cast<float>(rng.uniform(-1, 1));
    }
    float operator()(int r, int c) const { return sample(v, gr, gc, c / cell, r / cell, 0.0f); }
};

void blur3(std::vector<float>& img, int rows, int cols) {
    std::vector<float> tmp(img.size());
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const float* p = &img[static_cast<size_t>(r) * cols];
            tmp[static_cast<size_t>(r) * cols + c] =
                0.25f * p[std::max(c - 1, 0)] + 0.5f * p[c] + 0.25f * p[std::min(c + 1, cols - 1)];
        }
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            img[static_cast<size_t>(r) * cols + c] = 0.25f * tmp[static_cast<size_t>(std::max(r - 1, 0)) * cols + c] +
                                                     0.5f * tmp[static_cast<size_t>(r) * cols + c] +
                                                     0.25f * tmp[static_cast<size_t>(std::min(r + 1, rows - 1)) * cols + c];
}

}  // namespace

void Impression::to_master(double x, double y, double& mx, double& my) const {
    // Outside the contact disc the skin was dragged by a small extra turn and
    // shift; undo it, blended in over the transition ring, then undo the
    // rigid placement.
    const double dx = x - contact_col, dy = y - contact_row;
    const double w = smoothstep(contact_radius, contact_radius + transition, std::sqrt(dx * dx + dy * dy));
    double px = x, py = y;
    if (w > 0) {
        const double t = extra_rotation_deg * M_PI / 180.0, ct = std::cos(t), st = std::sin(t);
        // Counter-clockwise on screen with rows downward.
        const double ex = contact_col + ct * dx + st * dy + extra_dx;
        const double ey = contact_row - st * dx + ct * dy + extra_dy;
        px = x - w * (ex - x);
        py = y - w * (ey - y);
    }
    transform.inverse().apply(px, py, mx, my);
}

bool Impression::to_impression(double mx, double my, double& x, double& y) const {
    double tx, ty;
    transform.apply(mx, my, tx, ty);
    x = tx;
    y = ty;
    for (int i = 0; i < 30; ++i) {
        double bx, by;
        to_master(x, y, bx, by);
        double fx, fy;
        transform.apply(bx, by, fx, fy);  // where (x, y) shows the skin, rigidly placed
        const double ex = fx - tx, ey = fy - ty;
        x -= ex;
        y -= ey;
        if (ex * ex + ey * ey < 1e-8) return true;
    }
    return false;
}

Impression make_impression(const Master& m, uint64_t seed, const ImpressionParams& in) {
    Rng rng(seed);
    Impression imp;
    const int rows = in.rows > 0 ? in.rows : m.rows;
    const int cols = in.cols > 0 ? in.cols : m.cols;
    const bool full = in.rows <= 0 && in.cols <= 0;

    // Placement: the window centre lands around the finger's usual touch
    // point (a little above the middle of the outline).
    imp.rotation_deg = rng.uniform(-1, 1) * std::clamp(in.max_rotation_deg, 0.0, 180.0);
    double cx = in.centre_col, cy = in.centre_row;
    if (cx < 0 || cy < 0) {
        const double base_r = full ? m.rows / 2.0 : m.centre_row - 0.06 * m.rows;
        const double base_c = full ? m.cols / 2.0 : m.centre_col;
        const double sd = full ? in.placement_sd * 0.5 : in.placement_sd;
        for (int tries = 0; tries < 50; ++tries) {
            cy = base_r + rng.normal(0, sd);
            cx = base_c + rng.normal(0, sd);
            if (full || m.inside(static_cast<int>(cy), static_cast<int>(cx))) break;
        }
    }
    const double t = imp.rotation_deg * M_PI / 180.0, ct = std::cos(t), st = std::sin(t);
    // Master (x, y) -> impression, turning counter-clockwise on screen about
    // the window centre.
    imp.transform.a = ct;
    imp.transform.b = st;
    imp.transform.d = -st;
    imp.transform.e = ct;
    imp.transform.c = cols / 2.0 - (ct * cx + st * cy);
    imp.transform.f = rows / 2.0 - (-st * cx + ct * cy);

    const double dist = std::max(0.0, in.distortion);
    const double scale = std::min(rows, cols) / 88.0;
    imp.contact_row = rows / 2.0 + rng.normal(0, 0.1 * rows);
    imp.contact_col = cols / 2.0 + rng.normal(0, 0.1 * cols);
    imp.contact_radius = rng.uniform(20, 35) * std::max(1.0, scale * 0.8);
    imp.transition = rng.uniform(45, 70) * std::max(1.0, scale * 0.8);
    imp.extra_rotation_deg = rng.normal(0, 2.5) * dist;
    imp.extra_dx = rng.normal(0, 2.5) * dist;
    imp.extra_dy = rng.normal(0, 2.5) * dist;

    if (in.skin == Skin::Random) {
        const double u = rng.uniform();
        imp.skin = u < 0.6 ? Skin::Normal : (u < 0.8 ? Skin::Dry : Skin::Wet);
    } else {
        imp.skin = in.skin;
    }
    imp.pressure = rng.uniform(0.7, 1.3);

    // Contact area of the finger on the sensor, in master coordinates: the
    // harder the press, the more of the outline touches.
    const double reach = 0.72 + 0.22 * imp.pressure;
    const double touch_r = m.centre_row - 0.05 * m.rows, touch_c = m.centre_col;
    const double half_h = 0.5 * m.rows * reach, half_w = 0.46 * m.cols * reach;

    // 1. Sample the master's ridge field through the distortion.  The edge
    // of the contact area is ragged, not a clean ellipse.
    ValueNoise ragged(rng, rows, cols, 14);
    std::vector<float> f(static_cast<size_t>(rows) * cols), contact(f.size());
    std::vector<float> maskf(m.mask.begin(), m.mask.end());
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            double mx, my;
            imp.to_master(c, r, mx, my);
            const size_t i = static_cast<size_t>(r) * cols + c;
            f[i] = sample(m.field, m.rows, m.cols, mx, my, -1.0f) +
                   0.3f * sample(m.texture, m.rows, m.cols, mx, my, 0.0f);
            const double ex = (mx - touch_c) / half_w, ey = (my - touch_r) / half_h;
            const double ell = 1.0 - smoothstep(0.85, 1.0, ex * ex + ey * ey + 0.12 * ragged(r, c));
            contact[i] = static_cast<float>(ell) * sample(maskf, m.rows, m.cols, mx, my, 0.0f);
        }

    // 2. Skin condition and pressure: the threshold on the field sets the
    // ridge width; dry skin breaks ridges in patches, wet skin fills valleys.
    ValueNoise blotch(rng, rows, cols, rng.uniform(5, 9));
    ValueNoise grain(rng, rows, cols, 2.5);
    ValueNoise speck(rng, rows, cols, 1.4);
    ValueNoise shade(rng, rows, cols, 30);
    double thr = 0.25 * (1.0 - imp.pressure);
    if (imp.skin == Skin::Wet) {
        blur3(f, rows, cols);
        blur3(f, rows, cols);
        thr -= 0.3;
    } else if (imp.skin == Skin::Dry) {
        thr += 0.25;
    }
    // Brightness, contrast and grain vary from capture to capture; the
    // variability knob scales how far they stray from a clean print.
    const double var = std::clamp(in.variability, 0.0, 1.0);
    double bg = rng.uniform(205, 240);
    if (rng.chance(0.15 * var)) bg = rng.uniform(110, 170);  // a dim sensor
    bg -= var * rng.uniform(0, 35);
    const double contrast = (1.0 - var * rng.uniform(0.0, 0.5)) * rng.uniform(0.7, 0.9) * bg;
    const double ink = bg - contrast;
    const double grain_amp = 0.1 + var * rng.uniform(0.0, 0.25), speck_amp = var * rng.uniform(0.1, 0.4);
    std::vector<float> grey(f.size());
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const size_t i = static_cast<size_t>(r) * cols + c;
            double th = thr + grain_amp * grain(r, c) + speck_amp * speck(r, c);
            // Dry skin touches in dots and dashes, wet skin smears into the
            // valleys; both in patches.
            const double patch = std::max(0.0f, blotch(r, c));
            if (imp.skin == Skin::Dry) th += 0.6 * patch + 0.45 * grain(r, c) * (0.4 + patch);
            if (imp.skin == Skin::Wet) th -= 0.5 * patch + 0.25 * grain(r, c) * patch;
            const double s = smoothstep(th - 0.35, th + 0.35, f[i]) * contact[i] * (0.85 + 0.15 * shade(r, c));
            grey[i] = static_cast<float>(bg - (bg - ink) * s);
        }
    blur3(grey, rows, cols);

    // 3. Sensor noise and quantisation.
    const double sigma = std::max(0.0, in.noise) * rng.uniform(2.0, 5.0 + 5.0 * var);
    imp.image = Image(rows, cols);
    for (size_t i = 0; i < grey.size(); ++i) {
        const double v = grey[i] + (sigma > 0 ? sigma * rng.normal() : 0.0);
        imp.image.pixels[i] = static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
    }

    // 4. Ground truth moved into the impression.
    for (const Minutia& mm : m.minutiae) {
        double x, y;
        if (!imp.to_impression(mm.col, mm.row, x, y)) continue;
        const long xr = std::lround(x), yr = std::lround(y);
        if (xr < 0 || yr < 0 || xr >= cols || yr >= rows) continue;
        if (contact[static_cast<size_t>(yr) * cols + xr] < 0.5f) continue;
        const double a = mm.direction * M_PI / 128.0;
        double x2, y2;
        if (!imp.to_impression(mm.col + 6 * std::cos(a), mm.row - 6 * std::sin(a), x2, y2)) continue;
        Minutia o = mm;
        o.col = static_cast<int>(xr);
        o.row = static_cast<int>(yr);
        o.direction = byte_angle(x2 - x, -(y2 - y));
        imp.minutiae.push_back(o);
    }
    return imp;
}

Image make_finger_image(uint64_t seed, int rows, int cols) {
    const Master m = make_master(derive_seed(seed, 0));
    ImpressionParams p;
    p.rows = rows;
    p.cols = cols;
    p.max_rotation_deg = 10;
    p.distortion = 0.5;
    p.noise = 0.5;
    p.variability = 0.2;
    p.skin = Skin::Normal;
    // Centre the window between the core (when there is one) and the middle
    // of the finger, where a finger usually touches a small sensor.
    p.centre_row = m.centre_row - 0.05 * m.rows;
    p.centre_col = m.centre_col;
    for (const auto& s : m.singularities)
        if (s.core) {
            p.centre_row = 0.5 * (p.centre_row + s.row);
            p.centre_col = 0.5 * (p.centre_col + s.col);
            break;
        }
    return make_impression(m, derive_seed(seed, 1), p).image;
}

}  // namespace fpsynth
