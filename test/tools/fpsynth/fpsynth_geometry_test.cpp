// Generator promises about its geometry: the ridge period stays within the
// requested range, the ground-truth minutiae sit on real endings and
// bifurcations of the rendered ridges (checked with an independent thinning
// here), and impressions of one master overlap where their transforms say.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>

#include "fpsynth/fpsynth.h"

using namespace fpsynth;

namespace {

// Dominant ridge period of an n x n window: the strongest component of a
// Hann-windowed Fourier transform, searched over period and angle, coarse
// then fine.
double dominant_period(const Image& img, int r0, int c0, int n) {
    std::vector<double> w(static_cast<size_t>(n) * n);
    double mean = 0;
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) mean += img.at(r0 + r, c0 + c);
    mean /= n * n;
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
            const double h = (0.5 - 0.5 * std::cos(2 * M_PI * (r + 0.5) / n)) * (0.5 - 0.5 * std::cos(2 * M_PI * (c + 0.5) / n));
            w[static_cast<size_t>(r) * n + c] = h * (img.at(r0 + r, c0 + c) - mean);
        }
    auto power = [&](double period, double angle) {
        const double fx = std::cos(angle) / period, fy = std::sin(angle) / period;
        std::complex<double> sum = 0;
        for (int r = 0; r < n; ++r) {
            const std::complex<double> row_phase = std::polar(1.0, -2 * M_PI * fy * r);
            const std::complex<double> step = std::polar(1.0, -2 * M_PI * fx);
            std::complex<double> ph = row_phase;
            for (int c = 0; c < n; ++c, ph *= step) sum += w[static_cast<size_t>(r) * n + c] * ph;
        }
        return std::norm(sum);
    };
    double best = -1, bp = 0, ba = 0;
    for (double p = 4; p <= 18; p += 0.5)
        for (double a = 0; a < M_PI; a += M_PI / 20) {
            const double v = power(p, a);
            if (v > best) best = v, bp = p, ba = a;
        }
    const double p0 = bp, a0 = ba;
    for (double p = p0 - 0.5; p <= p0 + 0.5; p += 0.05)
        for (double a = a0 - M_PI / 20; a <= a0 + M_PI / 20; a += M_PI / 120) {
            const double v = power(p, a);
            if (v > best) best = v, bp = p;
        }
    return bp;
}

// Guo-Hall thinning, 1 = ridge.
void guo_hall(std::vector<uint8_t>& p, int rows, int cols) {
    auto px = [&](int r, int c) -> int {
        return (r < 0 || c < 0 || r >= rows || c >= cols) ? 0 : p[static_cast<size_t>(r) * cols + c] != 0;
    };
    for (bool changed = true; changed;) {
        changed = false;
        for (int it = 0; it < 2; ++it) {
            std::vector<size_t> del;
            for (int r = 0; r < rows; ++r)
                for (int c = 0; c < cols; ++c) {
                    if (!px(r, c)) continue;
                    const int p2 = px(r - 1, c), p3 = px(r - 1, c + 1), p4 = px(r, c + 1), p5 = px(r + 1, c + 1);
                    const int p6 = px(r + 1, c), p7 = px(r + 1, c - 1), p8 = px(r, c - 1), p9 = px(r - 1, c - 1);
                    const int C = (!p2 && (p3 || p4)) + (!p4 && (p5 || p6)) + (!p6 && (p7 || p8)) + (!p8 && (p9 || p2));
                    const int N1 = (p9 || p2) + (p3 || p4) + (p5 || p6) + (p7 || p8);
                    const int N2 = (p2 || p3) + (p4 || p5) + (p6 || p7) + (p8 || p9);
                    const int N = std::min(N1, N2);
                    const int m = it == 0 ? ((p6 || p7 || !p9) && p8) : ((p2 || p3 || !p5) && p4);
                    if (C == 1 && N >= 2 && N <= 3 && !m) del.push_back(static_cast<size_t>(r) * cols + c);
                }
            for (size_t i : del) p[i] = 0;
            changed |= !del.empty();
        }
    }
}

struct Skeleton {
    int rows, cols;
    std::vector<uint8_t> px;
    bool on(int r, int c) const { return r >= 0 && c >= 0 && r < rows && c < cols && px[static_cast<size_t>(r) * cols + c]; }
    int neighbours(int r, int c) const {
        int n = 0;
        for (int y = -1; y <= 1; ++y)
            for (int x = -1; x <= 1; ++x) n += (y || x) && on(r + y, c + x);
        return n;
    }
    int crossings(int r, int c) const {
        static const int dr[8] = {-1, -1, 0, 1, 1, 1, 0, -1}, dc[8] = {0, 1, 1, 1, 0, -1, -1, -1};
        int n = 0;
        for (int i = 0; i < 8; ++i) n += !on(r + dr[i], c + dc[i]) && on(r + dr[(i + 1) & 7], c + dc[(i + 1) & 7]);
        return n;
    }
    // Walks up to `steps` pixels from (r, c) starting through (r1, c1),
    // returns the byte angle (y up) from the start to where the walk ended.
    uint8_t walk(int r, int c, int r1, int c1, int steps) const {
        std::vector<std::pair<int, int>> seen = {{r, c}, {r1, c1}};
        int cr = r1, cc = c1;
        for (int s = 1; s < steps; ++s) {
            bool moved = false;
            for (int y = -1; y <= 1 && !moved; ++y)
                for (int x = -1; x <= 1 && !moved; ++x) {
                    if ((!y && !x) || !on(cr + y, cc + x)) continue;
                    if (std::find(seen.begin(), seen.end(), std::make_pair(cr + y, cc + x)) != seen.end()) continue;
                    bool touches_seen = false;  // do not step back beside the path
                    for (size_t k = 0; k + 1 < seen.size(); ++k)
                        touches_seen |= std::abs(seen[k].first - (cr + y)) <= 1 && std::abs(seen[k].second - (cc + x)) <= 1;
                    if (touches_seen) continue;
                    cr += y;
                    cc += x;
                    seen.push_back({cr, cc});
                    moved = true;
                }
            if (!moved) break;
        }
        return byte_angle(cc - c, -(cr - r));
    }
};

Skeleton thinned_ridges(const Master& m) {
    const Image img = m.render();
    Skeleton s{m.rows, m.cols, std::vector<uint8_t>(img.pixels.size())};
    for (size_t i = 0; i < s.px.size(); ++i) s.px[i] = m.mask[i] && img.pixels[i] < 128;
    guo_hall(s.px, s.rows, s.cols);
    return s;
}

// Distance of (r, c) to the outside of the finger, up to `limit`.
bool deep_inside(const Master& m, int r, int c, int limit) {
    for (int y = -limit; y <= limit; ++y)
        for (int x = -limit; x <= limit; ++x)
            if (x * x + y * y <= limit * limit && !m.inside(r + y, c + x)) return false;
    return true;
}

}  // namespace

TEST(FpsynthPeriod, MasterAndImpressionPeriodsStayInTheRequestedRange) {
    struct Range { double lo, hi; } ranges[] = {{8, 11}, {5.5, 6.5}, {10.5, 12}};
    for (const Range& range : ranges) {
        for (uint64_t seed = 1; seed <= 2; ++seed) {
            MasterParams mp;
            mp.period_min = range.lo;
            mp.period_max = range.hi;
            const Master m = make_master(seed, mp);
            const Image img = m.render();
            int measured = 0;
            for (int r = 40; r + 64 < m.rows; r += 70)
                for (int c = 40; c + 64 < m.cols; c += 70) {
                    if (!deep_inside(m, r, c, 2) || !deep_inside(m, r + 63, c + 63, 2) || !deep_inside(m, r, c + 63, 2) ||
                        !deep_inside(m, r + 63, c, 2))
                        continue;
                    // Around cores and deltas the ridge spacing is not defined.
                    bool singular = false;
                    for (const auto& sp : m.singularities) singular |= std::hypot(sp.row - r - 32, sp.col - c - 32) < 48;
                    if (singular) continue;
                    const double p = dominant_period(img, r, c, 64);
                    EXPECT_GE(p, range.lo - 0.6) << "master " << seed << " at " << r << "," << c;
                    EXPECT_LE(p, range.hi + 0.6) << "master " << seed << " at " << r << "," << c;
                    ++measured;
                }
            EXPECT_GE(measured, 4);
            // Sensor windows: rotation and elastic distortion stretch the
            // skin by a few per cent at most.
            for (uint64_t j = 1; j <= 3; ++j) {
                const Impression imp = make_impression(m, seed * 10 + j);
                const double p = dominant_period(imp.image, 12, 12, 64);
                EXPECT_GE(p, range.lo * 0.92 - 0.5) << "impression " << seed << "/" << j;
                EXPECT_LE(p, range.hi * 1.08 + 0.5) << "impression " << seed << "/" << j;
            }
        }
    }
}

TEST(FpsynthGroundTruth, MasterMinutiaeSitOnEndingsAndBifurcationsOfTheRenderedRidges) {
    int endings = 0, endings_hit = 0, forks = 0, forks_hit = 0, dir_checked = 0, dir_ok = 0;
    int features = 0, features_found = 0;
    for (uint64_t seed = 1; seed <= 4; ++seed) {
        const Master m = make_master(seed);
        const Skeleton s = thinned_ridges(m);
        std::vector<std::pair<int, int>> ends, branches;
        for (int r = 1; r + 1 < s.rows; ++r)
            for (int c = 1; c + 1 < s.cols; ++c) {
                if (!s.on(r, c)) continue;
                const int n = s.neighbours(r, c);
                if (n == 1) ends.push_back({r, c});
                else if (s.crossings(r, c) >= 3) branches.push_back({r, c});
            }
        auto nearest = [](const std::vector<std::pair<int, int>>& list, int r, int c) {
            double best = 1e9;
            std::pair<int, int> at{-1, -1};
            for (const auto& p : list) {
                const double d = std::hypot(p.first - r, p.second - c);
                if (d < best) best = d, at = p;
            }
            return std::make_pair(best, at);
        };
        ASSERT_GE(m.minutiae.size(), 15u) << seed;
        for (const Minutia& g : m.minutiae) {
            ASSERT_TRUE(g.type == 1 || g.type == 2);
            if (g.type == 1) {
                ++endings;
                // The ending sits where the valleys join, a few pixels
                // beyond the ridge tip.
                const auto [d, at] = nearest(ends, g.row, g.col);
                if (d > 7) continue;
                ++endings_hit;
                // Its direction points from the tip back into the ridge.
                for (int y = -1; y <= 1; ++y)
                    for (int x = -1; x <= 1; ++x)
                        if ((y || x) && s.on(at.first + y, at.second + x)) {
                            const uint8_t along = s.walk(at.first, at.second, at.first + y, at.second + x, 10);
                            ++dir_checked;
                            dir_ok += byte_angle_difference(along, g.direction) <= 24;
                        }
            } else {
                ++forks;
                const auto [d, at] = nearest(branches, g.row, g.col);
                if (d > 4) continue;
                ++forks_hit;
                // The stem is the branch opposite the direction.
                int stem_diff = 0;
                for (int y = -1; y <= 1; ++y)
                    for (int x = -1; x <= 1; ++x)
                        if ((y || x) && s.on(at.first + y, at.second + x)) {
                            const uint8_t leg = s.walk(at.first, at.second, at.first + y, at.second + x, 10);
                            stem_diff = std::max(stem_diff, byte_angle_difference(leg, g.direction));
                        }
                ++dir_checked;
                dir_ok += stem_diff >= 128 - 28;
            }
        }
        // The other way round: well-formed endings and branch points of the
        // rendered ridges deep inside the finger are in the ground truth.
        for (const auto* list : {&ends, &branches})
            for (const auto& p : *list) {
                if (!deep_inside(m, p.first, p.second, 30)) continue;
                // Thinning artefacts come in close pairs (a spur: an end next
                // to a branch point); leave them out.
                const auto e = nearest(ends, p.first, p.second);
                const auto b = nearest(branches, p.first, p.second);
                const bool spur = (list == &ends ? b.first : e.first) < 6;
                if (spur) continue;
                ++features;
                for (const Minutia& g : m.minutiae)
                    if (std::hypot(g.row - p.first, g.col - p.second) <= 8) {
                        ++features_found;
                        break;
                    }
            }
    }
    ASSERT_GT(endings, 20);
    ASSERT_GT(forks, 20);
    EXPECT_GE(endings_hit, endings * 95 / 100) << endings_hit << " of " << endings;
    EXPECT_GE(forks_hit, forks * 95 / 100) << forks_hit << " of " << forks;
    EXPECT_GE(dir_ok, dir_checked * 90 / 100) << dir_ok << " of " << dir_checked;
    EXPECT_GE(features_found, features * 85 / 100) << features_found << " of " << features;
}

TEST(FpsynthGroundTruth, ImpressionMinutiaeAreTheMastersMovedByTheTransform) {
    const Master m = make_master(21);
    for (uint64_t j = 1; j <= 6; ++j) {
        ImpressionParams p;
        p.rows = 160;
        p.cols = 120;
        p.max_rotation_deg = 40;
        const Impression imp = make_impression(m, j, p);
        const int turn = static_cast<int>(std::lround(imp.rotation_deg * 256.0 / 360.0));
        for (const Minutia& g : imp.minutiae) {
            ASSERT_GE(g.row, 0);
            ASSERT_LT(g.row, 160);
            ASSERT_GE(g.col, 0);
            ASSERT_LT(g.col, 120);
            double mx, my;
            imp.to_master(g.col, g.row, mx, my);
            const Minutia* src = nullptr;
            for (const Minutia& s : m.minutiae)
                if (std::hypot(s.col - mx, s.row - my) < 1.5 && s.type == g.type) src = &s;
            ASSERT_NE(src, nullptr) << "impression " << j << " minutia at " << g.row << "," << g.col;
            EXPECT_LE(byte_angle_difference(g.direction, src->direction + turn), 8);
        }
        // Master points go there and back through the distortion.
        for (double y = 100; y < 250; y += 37)
            for (double x = 60; x < 220; x += 41) {
                double ix, iy, bx, by;
                ASSERT_TRUE(imp.to_impression(x, y, ix, iy));
                imp.to_master(ix, iy, bx, by);
                EXPECT_NEAR(bx, x, 1e-3);
                EXPECT_NEAR(by, y, 1e-3);
            }
    }
}

namespace {

// Correlation of the pixels two impressions show of the same skin, pairing
// them through `map` (impression 1 pixel -> impression 2 position).
template <class Map>
double overlap_correlation(const Impression& a, const Impression& b, Map map, int& count) {
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    count = 0;
    for (int r = 0; r < a.image.rows; ++r)
        for (int c = 0; c < a.image.cols; ++c) {
            double x, y;
            map(c, r, x, y);
            const long xi = std::lround(x), yi = std::lround(y);
            if (xi < 0 || yi < 0 || xi >= b.image.cols || yi >= b.image.rows) continue;
            const double u = a.image.at(r, c), v = b.image.at(static_cast<int>(yi), static_cast<int>(xi));
            sa += u, sb += v, saa += u * u, sbb += v * v, sab += u * v;
            ++count;
        }
    if (count < 2) return 0;
    const double n = count, cov = sab / n - sa * sb / (n * n);
    return cov / std::sqrt((saa / n - sa * sa / (n * n)) * (sbb / n - sb * sb / (n * n)));
}

}  // namespace

TEST(FpsynthOverlap, ImpressionsOfOneMasterAgreeWhereTheTransformsSay) {
    const Master m = make_master(5);
    for (double distortion : {0.0, 1.0}) {
        ImpressionParams p;
        p.noise = 0;
        p.skin = Skin::Normal;
        p.distortion = distortion;
        const Impression a = make_impression(m, 101, p);
        // Find a second impression overlapping the first by a good part.
        for (uint64_t j = 102; j < 140; ++j) {
            const Impression b = make_impression(m, j, p);
            int count = 0;
            double corr;
            if (distortion == 0) {
                // Rigid: the manifest's affine transforms alone pair the pixels.
                const Affine back = a.transform.inverse();
                corr = overlap_correlation(a, b, [&](double x, double y, double& ox, double& oy) {
                    double mx, my;
                    back.apply(x, y, mx, my);
                    b.transform.apply(mx, my, ox, oy);
                }, count);
            } else {
                corr = overlap_correlation(a, b, [&](double x, double y, double& ox, double& oy) {
                    double mx, my;
                    a.to_master(x, y, mx, my);
                    b.to_impression(mx, my, ox, oy);
                }, count);
            }
            if (count < 2500) continue;
            EXPECT_GT(corr, 0.75) << "distortion " << distortion << " impression " << j;
            // A pairing turned by 20 degrees does not agree.
            int wrong_count = 0;
            const double wrong = overlap_correlation(a, b, [&](double x, double y, double& ox, double& oy) {
                const double t = 20 * M_PI / 180, dx = x - 44, dy = y - 44;
                double mx, my;
                a.to_master(44 + std::cos(t) * dx - std::sin(t) * dy, 44 + std::sin(t) * dx + std::cos(t) * dy, mx, my);
                b.to_impression(mx, my, ox, oy);
            }, wrong_count);
            EXPECT_LT(std::fabs(wrong), 0.35) << "distortion " << distortion << " impression " << j;
            break;
        }
    }
}
