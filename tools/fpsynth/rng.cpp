// Fixed random generator and its distributions (see fpsynth.h).
#include "fpsynth/fpsynth.h"

#include <cmath>

namespace fpsynth {

uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t derive_seed(uint64_t parent, uint64_t index) {
    uint64_t s = parent ^ (index * 0xD1B54A32D192ED03ull);
    splitmix64(s);
    return splitmix64(s);
}

Rng::Rng(uint64_t seed) {
    uint64_t s = seed;
    for (auto& w : s_) w = splitmix64(s);
}

static inline uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

uint64_t Rng::next() {
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

double Rng::uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

double Rng::uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }

int Rng::below(int n) {
    if (n <= 1) return 0;
    // Multiply-shift; the bias for the small n used here is far below 2^-32.
    return static_cast<int>((next() >> 32) * static_cast<uint64_t>(n) >> 32);
}

double Rng::normal() {
    // Marsaglia's polar method; needs only sqrt and log.
    if (has_spare_) {
        has_spare_ = false;
        return spare_;
    }
    double u, v, s;
    do {
        u = 2.0 * uniform() - 1.0;
        v = 2.0 * uniform() - 1.0;
        s = u * u + v * v;
    } while (s >= 1.0 || s == 0.0);
    const double m = std::sqrt(-2.0 * std::log(s) / s);
    spare_ = v * m;
    has_spare_ = true;
    return u * m;
}

}  // namespace fpsynth
