// Thinning and branch-point reading used to read ground truth back from a
// grown ridge pattern.
#include "skeleton.h"

#include <algorithm>
#include <cmath>

namespace fpsynth::detail {

void thin(std::vector<uint8_t>& p, int rows, int cols) {
    auto at = [&](int r, int c) -> int {
        if (r < 0 || c < 0 || r >= rows || c >= cols) return 0;
        return p[static_cast<size_t>(r) * cols + c] ? 1 : 0;
    };
    std::vector<size_t> remove;
    bool changed = true;
    while (changed) {
        changed = false;
        for (int pass = 0; pass < 2; ++pass) {
            remove.clear();
            for (int r = 0; r < rows; ++r)
                for (int c = 0; c < cols; ++c) {
                    if (!p[static_cast<size_t>(r) * cols + c]) continue;
                    // Neighbours P2..P9 clockwise from north.
                    const int n[8] = {at(r - 1, c), at(r - 1, c + 1), at(r, c + 1), at(r + 1, c + 1),
                                      at(r + 1, c), at(r + 1, c - 1), at(r, c - 1), at(r - 1, c - 1)};
                    int b = 0, a = 0;
                    for (int i = 0; i < 8; ++i) {
                        b += n[i];
                        a += (!n[i] && n[(i + 1) & 7]);
                    }
                    if (b < 2 || b > 6 || a != 1) continue;
                    if (pass == 0 ? ((n[0] && n[2] && n[4]) || (n[2] && n[4] && n[6]))
                                  : ((n[0] && n[2] && n[6]) || (n[0] && n[4] && n[6])))
                        continue;
                    remove.push_back(static_cast<size_t>(r) * cols + c);
                }
            for (size_t i : remove) p[i] = 0;
            changed |= !remove.empty();
        }
    }
}

std::vector<float> distance_inside(const std::vector<uint8_t>& inside, int rows, int cols) {
    const float big = 1e9f;
    std::vector<float> d(inside.size());
    for (size_t i = 0; i < d.size(); ++i) d[i] = inside[i] ? big : 0.0f;
    const float a = 1.0f, b = 1.4142f;
    auto relax = [&](int r, int c, int rr, int cc, float w) {
        float& here = d[static_cast<size_t>(r) * cols + c];
        const float there = (rr < 0 || cc < 0 || rr >= rows || cc >= cols) ? 0.0f
                                                                            : d[static_cast<size_t>(rr) * cols + cc];
        here = std::min(here, there + w);
    };
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            relax(r, c, r, c - 1, a);
            relax(r, c, r - 1, c, a);
            relax(r, c, r - 1, c - 1, b);
            relax(r, c, r - 1, c + 1, b);
        }
    for (int r = rows - 1; r >= 0; --r)
        for (int c = cols - 1; c >= 0; --c) {
            relax(r, c, r, c + 1, a);
            relax(r, c, r + 1, c, a);
            relax(r, c, r + 1, c + 1, b);
            relax(r, c, r + 1, c - 1, b);
        }
    return d;
}

namespace {

// Crossing number: the number of 0 -> 1 changes around the eight neighbours.
int crossings(const std::vector<uint8_t>& s, int rows, int cols, int r, int c) {
    static const int dr[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
    static const int dc[8] = {0, 1, 1, 1, 0, -1, -1, -1};
    int v[8];
    for (int i = 0; i < 8; ++i) {
        const int rr = r + dr[i], cc = c + dc[i];
        v[i] = (rr >= 0 && cc >= 0 && rr < rows && cc < cols) ? (s[static_cast<size_t>(rr) * cols + cc] != 0) : 0;
    }
    int n = 0;
    for (int i = 0; i < 8; ++i) n += (!v[i] && v[(i + 1) & 7]);
    return n;
}

}  // namespace

std::vector<Minutia> branch_points(const std::vector<uint8_t>& s, int rows, int cols,
                                   const std::vector<uint8_t>& allowed, int reach, uint8_t type) {
    std::vector<Minutia> out;
    const int side = 2 * reach + 3;
    std::vector<uint8_t> seen(static_cast<size_t>(side) * side);
    std::vector<std::pair<int, int>> stack;
    std::vector<double> ring;
    for (int r = 1; r + 1 < rows; ++r)
        for (int c = 1; c + 1 < cols; ++c) {
            const size_t i = static_cast<size_t>(r) * cols + c;
            if (!s[i] || !allowed[i] || crossings(s, rows, cols, r, c) < 3) continue;
            // A junction of a thin skeleton may light up two touching pixels;
            // keep the first in raster order.
            bool near_previous = false;
            for (auto it = out.rbegin(); it != out.rend() && it->row >= r - 2; ++it)
                if (std::abs(it->row - r) <= 2 && std::abs(it->col - c) <= 2 && it->type == type) near_previous = true;
            if (near_previous) continue;
            // Flood the skeleton component around (r, c) within the disc and
            // collect the pixels on its rim.
            std::fill(seen.begin(), seen.end(), 0);
            stack.assign(1, {r, c});
            seen[static_cast<size_t>(reach + 1) * side + reach + 1] = 1;
            ring.clear();
            const double lo = (reach - 0.75) * (reach - 0.75), hi = (reach + 0.75) * (reach + 0.75);
            while (!stack.empty()) {
                auto [pr, pc] = stack.back();
                stack.pop_back();
                const int dy = pr - r, dx = pc - c;
                const double d2 = double(dy) * dy + double(dx) * dx;
                if (d2 >= lo) {
                    ring.push_back(std::atan2(-dy, dx));
                    if (d2 > lo) continue;  // do not walk beyond the rim
                }
                for (int yy = -1; yy <= 1; ++yy)
                    for (int xx = -1; xx <= 1; ++xx) {
                        const int nr = pr + yy, nc = pc + xx;
                        if (nr < 0 || nc < 0 || nr >= rows || nc >= cols) continue;
                        const int ly = nr - r + reach + 1, lx = nc - c + reach + 1;
                        if (ly < 0 || lx < 0 || ly >= side || lx >= side) continue;
                        if (seen[static_cast<size_t>(ly) * side + lx]) continue;
                        if (!s[static_cast<size_t>(nr) * cols + nc]) continue;
                        const double e2 = double(nr - r) * (nr - r) + double(nc - c) * (nc - c);
                        if (e2 > hi) continue;
                        seen[static_cast<size_t>(ly) * side + lx] = 1;
                        stack.push_back({nr, nc});
                    }
            }
            if (ring.size() < 3) continue;
            // Group rim pixels by angle: gaps wider than about 20 degrees
            // separate legs.
            std::sort(ring.begin(), ring.end());
            const double gap = 0.35;
            size_t first = 0;
            double widest = -1;
            for (size_t k = 0; k < ring.size(); ++k) {
                const double next = k + 1 < ring.size() ? ring[k + 1] : ring[0] + 2 * M_PI;
                if (next - ring[k] > widest) {
                    widest = next - ring[k];
                    first = (k + 1) % ring.size();
                }
            }
            if (widest <= gap) continue;
            std::vector<std::pair<double, double>> legs;  // summed unit vectors
            double px = 0, py = 0;
            for (size_t k = 0; k < ring.size(); ++k) {
                const size_t idx = (first + k) % ring.size();
                const size_t prev = (first + k + ring.size() - 1) % ring.size();
                double step = ring[idx] - ring[prev];
                if (step < 0) step += 2 * M_PI;
                if (k > 0 && step > gap) {
                    legs.push_back({px, py});
                    px = py = 0;
                }
                px += std::cos(ring[idx]);
                py += std::sin(ring[idx]);
            }
            legs.push_back({px, py});
            if (legs.size() != 3) continue;
            double ang[3];
            for (int k = 0; k < 3; ++k) ang[k] = std::atan2(legs[k].second, legs[k].first);
            int best_a = 0, best_b = 1;
            double best = 10;
            for (int a = 0; a < 3; ++a)
                for (int b = a + 1; b < 3; ++b) {
                    double d = std::fabs(std::remainder(ang[a] - ang[b], 2 * M_PI));
                    if (d < best) {
                        best = d;
                        best_a = a;
                        best_b = b;
                    }
                }
            const double mx = std::cos(ang[best_a]) + std::cos(ang[best_b]);
            const double my = std::sin(ang[best_a]) + std::sin(ang[best_b]);
            Minutia m;
            m.row = r;
            m.col = c;
            m.type = type;
            m.direction = byte_angle(mx, my);
            out.push_back(m);
        }
    return out;
}

}  // namespace fpsynth::detail
