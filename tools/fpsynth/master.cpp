// Master fingerprints: class, singular points, orientation and period
// fields, finger outline, ridge growth by iterative oriented filtering, and
// the ground-truth minutiae read back from the grown pattern.
#include <algorithm>
#include <cmath>

#include "fpsynth/fpsynth.h"
#include "skeleton.h"

namespace fpsynth {

const char* class_name(FingerClass c) {
    switch (c) {
        case FingerClass::Arch: return "arch";
        case FingerClass::LeftLoop: return "left_loop";
        case FingerClass::RightLoop: return "right_loop";
        case FingerClass::Whorl: return "whorl";
        case FingerClass::TentedArch: return "tented_arch";
    }
    return "unknown";
}

uint8_t byte_angle(double dx, double dy_up) {
    double a = std::atan2(dy_up, dx) * 128.0 / M_PI;
    long v = std::lround(a);
    return static_cast<uint8_t>(((v % 256) + 256) % 256);
}

int byte_angle_difference(int a, int b) {
    int d = ((a - b) % 256 + 256) % 256;
    return d > 128 ? 256 - d : d;
}

namespace {

// Smooth random scalar field: a few random plane waves with long
// wavelengths, amplitude about 1.
struct SmoothNoise {
    struct Wave { double fx, fy, phase, weight; };
    std::vector<Wave> waves;
    SmoothNoise(Rng& rng, int count, double wl_min, double wl_max) {
        double total = 0;
        for (int i = 0; i < count; ++i) {
            const double wl = rng.uniform(wl_min, wl_max), dir = rng.uniform(0, 2 * M_PI);
            Wave w{std::cos(dir) * 2 * M_PI / wl, std::sin(dir) * 2 * M_PI / wl, rng.uniform(0, 2 * M_PI),
                   rng.uniform(0.5, 1.0)};
            total += w.weight;
            waves.push_back(w);
        }
        for (auto& w : waves) w.weight *= 1.4 / std::max(total, 1e-9);
    }
    double operator()(double x, double y) const {
        double v = 0;
        for (const auto& w : waves) v += w.weight * std::sin(w.fx * x + w.fy * y + w.phase);
        return v;
    }
};

FingerClass pick_class(Rng& rng, int wanted) {
    if (wanted >= 0 && wanted <= 4) return static_cast<FingerClass>(wanted);
    // Roughly the class frequencies of large fingerprint collections.
    const double u = rng.uniform();
    if (u < 0.04) return FingerClass::Arch;
    if (u < 0.07) return FingerClass::TentedArch;
    if (u < 0.40) return FingerClass::LeftLoop;
    if (u < 0.72) return FingerClass::RightLoop;
    return FingerClass::Whorl;
}

// Finger outline: an elliptic fingertip above the centre line and a wider,
// squarer base below it, with a slight random wobble.
void make_outline(Master& m, Rng& rng) {
    const double cy = m.rows * rng.uniform(0.46, 0.52), cx = m.cols * rng.uniform(0.48, 0.52);
    const double half_w = m.cols * rng.uniform(0.40, 0.46);
    const double top = m.rows * rng.uniform(0.40, 0.45), bottom = m.rows * rng.uniform(0.47, 0.52);
    const double wob_a = rng.uniform(0, 0.03), wob_f = rng.below(3) + 3, wob_p = rng.uniform(0, 2 * M_PI);
    m.centre_row = cy;
    m.centre_col = cx;
    for (int r = 0; r < m.rows; ++r)
        for (int c = 0; c < m.cols; ++c) {
            const double x = (c - cx) / half_w;
            const double y = r < cy ? (cy - r) / top : (r - cy) / bottom;
            const double p = r < cy ? 2.0 : 4.0;
            const double t = std::atan2(y, x);
            const double lim = 1.0 + wob_a * std::sin(wob_f * t + wob_p);
            m.mask[static_cast<size_t>(r) * m.cols + c] = std::pow(std::fabs(x), p) + std::pow(std::fabs(y), p) <= lim;
        }
}

void place_singularities(Master& m, Rng& rng) {
    const double cy = m.centre_row + rng.normal(-0.03 * m.rows, 0.03 * m.rows);
    const double cx = m.centre_col + rng.normal(0, 0.04 * m.cols);
    const double s = m.cols / 272.0;  // geometry scales with the canvas
    auto add = [&](double r, double c, bool core) { m.singularities.push_back({r, c, core}); };
    switch (m.finger_class) {
        case FingerClass::Arch: break;
        case FingerClass::TentedArch:
            add(cy - 10 * s, cx, true);
            add(cy + rng.uniform(28, 45) * s, cx + rng.normal(0, 4) * s, false);
            break;
        case FingerClass::LeftLoop:
        case FingerClass::RightLoop: {
            const double side = m.finger_class == FingerClass::LeftLoop ? 1.0 : -1.0;
            add(cy - 15 * s, cx - side * 8 * s, true);
            add(cy + rng.uniform(65, 100) * s, cx + side * rng.uniform(55, 85) * s, false);
            break;
        }
        case FingerClass::Whorl: {
            const double a = rng.uniform(0, M_PI), d = rng.uniform(6, 20) * s;
            add(cy - 10 * s + d * std::sin(a), cx + d * std::cos(a), true);
            add(cy - 10 * s - d * std::sin(a), cx - d * std::cos(a), true);
            const double drow = rng.uniform(70, 100) * s;
            add(cy + drow + rng.normal(0, 8) * s, cx - rng.uniform(65, 90) * s, false);
            add(cy + drow + rng.normal(0, 8) * s, cx + rng.uniform(65, 90) * s, false);
            break;
        }
    }
}

// Orientation of the ridges (radians, y up, modulo pi) from the zero-pole
// model: each core turns the field by half the angle seen from it, each
// delta by minus half.  Arches use a bump-shaped flow instead.
void make_orientation(Master& m, Rng& rng) {
    SmoothNoise wobble(rng, 4, 120, 320);
    const double wobble_amp = rng.uniform(0.06, 0.14);
    const double tilt = rng.normal(0, 0.05);
    const double arch_h = rng.uniform(0.8, 1.2), arch_w = m.cols * rng.uniform(0.16, 0.24);
    for (int r = 0; r < m.rows; ++r)
        for (int c = 0; c < m.cols; ++c) {
            double t = tilt;
            if (m.finger_class == FingerClass::Arch) {
                const double x = c - m.centre_col;
                // Ridges y = h(row) * exp(-x^2 / 2w^2): flatter toward the base.
                const double h = arch_h * std::clamp(1.2 - (r - 0.2 * m.rows) / (0.6 * m.rows), 0.1, 1.0);
                t += std::atan(-h * x / arch_w * std::exp(-x * x / (2 * arch_w * arch_w)) * 2.4);
            } else {
                for (const auto& sp : m.singularities) {
                    const double a = std::atan2(-(r - sp.row), c - sp.col);
                    t += sp.core ? 0.5 * a : -0.5 * a;
                }
            }
            t += wobble_amp * wobble(c, r);
            t = std::fmod(t, M_PI);
            if (t < 0) t += M_PI;
            m.orientation[static_cast<size_t>(r) * m.cols + c] = static_cast<float>(t);
        }
}

void make_period(Master& m, Rng& rng, double pmin, double pmax) {
    SmoothNoise var(rng, 3, 150, 400);
    // Where ridges converge or fan out the grown spacing departs from the
    // map by up to about a tenth, so the map keeps off the range's ends.
    const double margin = std::min(0.25 * (pmax - pmin), 0.08 * pmax);
    const double lo = pmin + margin, hi = pmax - margin, span = hi - lo;
    const double base = rng.uniform(lo + 0.2 * span, hi - 0.25 * span);
    const double amp = 0.2 * span + 0.2;
    for (int r = 0; r < m.rows; ++r)
        for (int c = 0; c < m.cols; ++c) {
            // Ridges are a little wider apart toward the base of the finger.
            const double down = (r - m.centre_row) / m.rows;
            double p = base + amp * var(c, r) + 0.25 * span * std::max(0.0, down);
            m.period[static_cast<size_t>(r) * m.cols + c] = static_cast<float>(std::clamp(p, lo, hi));
        }
}

// Bank of oriented filters: a Gaussian envelope stretched along the ridge
// times a cosine across it, zero-mean, scaled to answer 1 to a matched
// sinusoid.
struct FilterBank {
    static constexpr int kAngles = 32;
    int radius = 6, size = 13, periods = 1;
    double pmin = 8, pstep = 0.25;
    std::vector<float> taps;  // [period][angle][size*size]

    FilterBank(double lo, double hi) : pmin(lo) {
        // Wide periods need a wider support to stay selective.
        radius = std::clamp(static_cast<int>(std::lround(0.58 * hi + 0.3 * std::max(0.0, hi - 11))), 3, 14);
        size = 2 * radius + 1;
        periods = static_cast<int>(std::ceil((hi - lo) / pstep)) + 1;
        taps.resize(static_cast<size_t>(periods) * kAngles * size * size);
        for (int p = 0; p < periods; ++p) {
            const double wave_period = tuned_wave_period(pmin + p * pstep);
            for (int a = 0; a < kAngles; ++a) make(p, a, wave_period);
        }
    }
    int index(float period, float theta) const {
        int p = static_cast<int>(std::lround((period - pmin) / pstep));
        int a = static_cast<int>(std::lround(theta / M_PI * kAngles)) % kAngles;
        return std::clamp(p, 0, periods - 1) * kAngles + a;
    }

private:
    // Taps for nominal period index p and angle index a.  The cosine is
    // built with a wave period tuned so that the filter's strongest
    // response falls on the nominal period: a short envelope and the
    // zero-mean correction would otherwise favour shorter periods.
    double tuned_wave_period(double T) {
        double wave_period = T;
        for (int round = 0; round < 3; ++round) {
            build(T, wave_period, 0.0, scratch_);
            double best = -1e300, peak = T;
            for (double probe = 0.7 * T; probe <= 1.4 * T; probe += 0.005 * T) {
                const double v = response(scratch_, 0.0, probe);
                if (v > best) best = v, peak = probe;
            }
            wave_period *= T / peak;
        }
        return wave_period;
    }

    void make(int p, int a, double wave_period) {
        const double T = pmin + p * pstep, th = a * M_PI / kAngles;
        build(T, wave_period, th, scratch_);
        const double gain = response(scratch_, th, T);
        float* out = &taps[(static_cast<size_t>(p) * kAngles + a) * size * size];
        for (int k = 0; k < size * size; ++k) out[k] = static_cast<float>(scratch_[k] / gain);
    }

    // Zero-mean oriented filter: envelope stretched along the ridge times a
    // cosine across it.
    void build(double T, double wave_period, double th, std::vector<double>& k) const {
        const double st = 0.5 * T, sn = 0.33 * T;
        // Ridge direction in pixel coordinates (rows down): (cos, -sin).
        const double ux = std::cos(th), uy = -std::sin(th);
        std::vector<double> env(size * size);
        k.assign(size * size, 0.0);
        double se = 0, sw = 0;
        for (int y = -radius; y <= radius; ++y)
            for (int x = -radius; x <= radius; ++x) {
                const double along = x * ux + y * uy, across = -x * uy + y * ux;
                const int i = (y + radius) * size + x + radius;
                env[i] = std::exp(-along * along / (2 * st * st) - across * across / (2 * sn * sn));
                k[i] = std::cos(2 * M_PI * across / wave_period);
                se += env[i];
                sw += env[i] * k[i];
            }
        const double mean = sw / se;
        for (int i = 0; i < size * size; ++i) k[i] = env[i] * (k[i] - mean);
    }

    // Response of taps k (angle th) to a unit cosine of the given period
    // across the ridges.
    double response(const std::vector<double>& k, double th, double period) const {
        const double ux = std::cos(th), uy = -std::sin(th);
        double sum = 0;
        for (int y = -radius; y <= radius; ++y)
            for (int x = -radius; x <= radius; ++x)
                sum += k[(y + radius) * size + x + radius] * std::cos(2 * M_PI * (-x * uy + y * ux) / period);
        return sum;
    }

    std::vector<double> scratch_;
};

// Grows ridges from seeds: every pass filters the pattern with the filter of
// each pixel's orientation and period and saturates the result.  Blocks far
// from any ridge are skipped until a front reaches them.
void grow(Master& m, Rng& rng, const MasterParams& mp) {
    const FilterBank bank(mp.period_min, mp.period_max);
    const int R = bank.radius, S = bank.size;
    const int pr = m.rows + 2 * R, pc = m.cols + 2 * R;  // padded with zeros
    std::vector<float> cur(static_cast<size_t>(pr) * pc, 0.0f), next(cur.size(), 0.0f);

    // Work region: the finger dilated by the filter radius, so ridges run
    // cleanly up to the outline.
    const std::vector<float> outside_dist = [&] {
        std::vector<uint8_t> out(m.mask.size());
        for (size_t i = 0; i < out.size(); ++i) out[i] = !m.mask[i];
        return detail::distance_inside(out, m.rows, m.cols);
    }();
    std::vector<int> kidx(m.mask.size(), -1);
    for (size_t i = 0; i < kidx.size(); ++i)
        if (outside_dist[i] <= R) kidx[i] = bank.index(m.period[i], m.orientation[i]);

    // Seeds: short ridge dots on a jittered grid over the finger, so that
    // growing fronts cover it within a few passes and meet at random places.
    const double spacing = std::clamp(5.5 * mp.period_max, 30.0, 90.0);
    for (double gy = rng.uniform(0, spacing); gy < m.rows; gy += spacing)
        for (double gx = rng.uniform(0, spacing); gx < m.cols; gx += spacing) {
            const int r = static_cast<int>(gy + rng.uniform(-0.35, 0.35) * spacing);
            const int c = static_cast<int>(gx + rng.uniform(-0.35, 0.35) * spacing);
            if (!m.inside(r, c)) continue;
            const float sign = rng.chance(0.5) ? 1.0f : -1.0f;
            for (int y = -1; y <= 1; ++y)
                for (int x = -1; x <= 1; ++x) cur[static_cast<size_t>(r + R + y) * pc + c + R + x] = sign;
        }

    constexpr int B = 8;
    const int brows = (m.rows + B - 1) / B, bcols = (m.cols + B - 1) / B;
    std::vector<uint8_t> live(static_cast<size_t>(brows) * bcols), near(live.size());
    const int reach = (R + B - 1) / B;
    const float gain = 2.2f;
    for (int it = 0; it < mp.iterations; ++it) {
        if (it == 2 * mp.iterations / 5) {
            // Corners no front has reached yet start from faint noise.
            for (int r = 0; r < m.rows; ++r)
                for (int c = 0; c < m.cols; ++c) {
                    float& v = cur[static_cast<size_t>(r + R) * pc + c + R];
                    if (kidx[static_cast<size_t>(r) * m.cols + c] >= 0 && std::fabs(v) < 0.02f)
                        v = static_cast<float>(rng.uniform(-0.05, 0.05));
                }
        }
        std::fill(live.begin(), live.end(), 0);
        for (int r = 0; r < m.rows; ++r)
            for (int c = 0; c < m.cols; ++c)
                if (cur[static_cast<size_t>(r + R) * pc + c + R] != 0.0f) live[(r / B) * bcols + c / B] = 1;
        for (int br = 0; br < brows; ++br)
            for (int bc = 0; bc < bcols; ++bc) {
                uint8_t v = 0;
                for (int y = std::max(0, br - reach); y <= std::min(brows - 1, br + reach) && !v; ++y)
                    for (int x = std::max(0, bc - reach); x <= std::min(bcols - 1, bc + reach); ++x)
                        if (live[y * bcols + x]) {
                            v = 1;
                            break;
                        }
                near[br * bcols + bc] = v;
            }
        for (int r = 0; r < m.rows; ++r)
            for (int c = 0; c < m.cols; ++c) {
                const size_t i = static_cast<size_t>(r) * m.cols + c;
                float& out = next[static_cast<size_t>(r + R) * pc + c + R];
                if (kidx[i] < 0 || !near[(r / B) * bcols + c / B]) {
                    out = cur[static_cast<size_t>(r + R) * pc + c + R];
                    continue;
                }
                const float* k = bank.taps.data() + static_cast<size_t>(kidx[i]) * S * S;
                const float* src = &cur[static_cast<size_t>(r) * pc + c];
                float sum = 0;
                for (int y = 0; y < S; ++y, src += pc, k += S)
                    for (int x = 0; x < S; ++x) sum += src[x] * k[x];
                out = std::clamp(gain * sum, -1.0f, 1.0f);
            }
        cur.swap(next);
    }
    for (int r = 0; r < m.rows; ++r)
        for (int c = 0; c < m.cols; ++c)
            m.field[static_cast<size_t>(r) * m.cols + c] = cur[static_cast<size_t>(r + R) * pc + c + R];
}

// Ground truth: bifurcations of the ridge skeleton (type 2) and of the
// valley skeleton (type 1, a ridge ending), away from the outline.
void read_minutiae(Master& m, double pmax) {
    const size_t n = m.mask.size();
    std::vector<uint8_t> ridge(n), valley(n);
    for (size_t i = 0; i < n; ++i) {
        ridge[i] = m.mask[i] && m.field[i] > 0.0f;
        valley[i] = m.mask[i] && m.field[i] <= 0.0f;
    }
    const std::vector<float> dist = detail::distance_inside(m.mask, m.rows, m.cols);
    std::vector<uint8_t> allowed(n);
    for (size_t i = 0; i < n; ++i) allowed[i] = dist[i] > 1.5 * pmax;
    detail::thin(ridge, m.rows, m.cols);
    detail::thin(valley, m.rows, m.cols);
    const int reach = std::max(5, static_cast<int>(std::lround(0.8 * pmax)));
    std::vector<Minutia> endings = detail::branch_points(valley, m.rows, m.cols, allowed, reach, 1);
    std::vector<Minutia> forks = detail::branch_points(ridge, m.rows, m.cols, allowed, reach, 2);
    m.minutiae = std::move(endings);
    m.minutiae.insert(m.minutiae.end(), forks.begin(), forks.end());
    std::sort(m.minutiae.begin(), m.minutiae.end(), [](const Minutia& a, const Minutia& b) {
        return a.row != b.row ? a.row < b.row : a.col < b.col;
    });
}

// Finger-specific skin texture, used when impressions are printed (not for
// the ground truth): rough ridge edges and sweat pores along the ridges.
void make_texture(Master& m, Rng& rng) {
    const int cell = 3;
    const int gr = m.rows / cell + 2, gc = m.cols / cell + 2;
    std::vector<float> grid(static_cast<size_t>(gr) * gc);
    for (auto& v : grid) v = static_cast<float>(rng.uniform(-1, 1));
    for (int r = 0; r < m.rows; ++r)
        for (int c = 0; c < m.cols; ++c) {
            const int y = r / cell, x = c / cell;
            const float fy = float(r % cell) / cell, fx = float(c % cell) / cell;
            const float* g = &grid[static_cast<size_t>(y) * gc + x];
            const float top = g[0] + fx * (g[1] - g[0]), bot = g[gc] + fx * (g[gc + 1] - g[gc]);
            m.texture[static_cast<size_t>(r) * m.cols + c] = top + fy * (bot - top);
        }
    size_t area = 0;
    for (uint8_t v : m.mask) area += v;
    const int pores = static_cast<int>(area / 90);
    for (int i = 0, tries = 0; i < pores && tries < 20 * pores; ++tries) {
        const int r = 2 + rng.below(m.rows - 4), c = 2 + rng.below(m.cols - 4);
        if (!m.inside(r, c) || m.field[static_cast<size_t>(r) * m.cols + c] < 0.8f) continue;
        const double size = rng.uniform(0.7, 1.3), depth = rng.uniform(2.5, 5.0);
        for (int y = -2; y <= 2; ++y)
            for (int x = -2; x <= 2; ++x)
                m.texture[static_cast<size_t>(r + y) * m.cols + c + x] -=
                    static_cast<float>(depth * std::exp(-(x * x + y * y) / (2 * size * size)));
        ++i;
    }
}

}  // namespace

Master make_master(uint64_t seed, const MasterParams& in) {
    MasterParams mp = in;
    mp.rows = std::clamp(mp.rows, 32, 2048);
    mp.cols = std::clamp(mp.cols, 32, 2048);
    mp.period_min = std::clamp(mp.period_min, 4.0, 24.0);
    mp.period_max = std::clamp(mp.period_max, mp.period_min, 24.0);
    mp.iterations = std::clamp(mp.iterations, 1, 100);
    Rng rng(seed);
    Master m;
    m.rows = mp.rows;
    m.cols = mp.cols;
    const size_t n = static_cast<size_t>(m.rows) * m.cols;
    m.mask.assign(n, 0);
    m.orientation.assign(n, 0.0f);
    m.period.assign(n, 0.0f);
    m.field.assign(n, 0.0f);
    m.texture.assign(n, 0.0f);
    m.finger_class = pick_class(rng, mp.finger_class);
    make_outline(m, rng);
    place_singularities(m, rng);
    make_orientation(m, rng);
    make_period(m, rng, mp.period_min, mp.period_max);
    grow(m, rng, mp);
    read_minutiae(m, mp.period_max);
    make_texture(m, rng);
    return m;
}

Image Master::render() const {
    Image img(rows, cols, 255);
    for (size_t i = 0; i < field.size(); ++i) {
        if (!mask[i]) continue;
        const float s = std::clamp(0.5f + 0.8f * field[i], 0.0f, 1.0f);
        img.pixels[i] = static_cast<uint8_t>(std::lround(235.0f - 200.0f * s));
    }
    return img;
}

}  // namespace fpsynth
