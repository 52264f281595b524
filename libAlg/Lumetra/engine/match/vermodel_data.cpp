// ======================================================================
// PROVISIONAL VERIFICATION-MODEL DATA
//
// The coefficient records and threshold tables below are NOT trained.
// They only respect the layouts the verifiers read (30 or 24 coefficient
// records, 7 x 28 thresholds growing with the FAR index and the number
// of subtemplates, column 0 at 0, last entry non-zero, a non-zero weight
// total) so that the engine runs end to end.  Trained values replace this
// whole file; no test may depend on any number in it.
//
// Where the threshold anchors below are known reference points of a
// configuration (row 0 and row 6 of "ehmsq-xl", row 0 of "ehmsq-xs" at
// FAR indexes 3, 6, ..., 18), they are used as anchors; everything else is
// interpolated or extrapolated from them.
// ======================================================================
#include "engine/match/vermodel_data.h"

#include <array>
#include <cstddef>

namespace {

constexpr int kRows = QX_THRESHOLD_ROWS;
constexpr int kCols = QX_THRESHOLD_COLUMNS;
using ThresholdTable = std::array<uint16_t, kRows * kCols>;

// Anchors at FAR indexes 0, 3, 6, ..., 27 (ten values) for row 0 and row 6.
using Anchors = std::array<int, 10>;

constexpr ThresholdTable make_thresholds(const Anchors &row0, const Anchors &row6) {
  ThresholdTable t{};
  for (int r = 0; r < kRows; ++r) {
    for (int i = 0; i < kCols; ++i) {
      const int a = i / 3, f = i % 3;
      const int lo0 = row0[a], hi0 = a + 1 < 10 ? row0[a + 1] : row0[a];
      const int lo6 = row6[a], hi6 = a + 1 < 10 ? row6[a + 1] : row6[a];
      const int v0 = lo0 + (hi0 - lo0) * f / 3;
      const int v6 = lo6 + (hi6 - lo6) * f / 3;
      t[static_cast<std::size_t>(r * kCols + i)] =
          static_cast<uint16_t>(i == 0 ? 0 : v0 + (v6 - v0) * r / 6);
    }
  }
  return t;
}

// Raw scores near their mean give a similarity near 4096; only the
// minutiae score (0) and the spectral score (9) carry weight here.
template <std::size_t N>
constexpr std::array<qx_vermodel_coefficient, N> make_coefficients(int16_t quadratic_weight) {
  std::array<qx_vermodel_coefficient, N> c{};
  for (std::size_t i = 0; i < N; ++i) {
    c[i].lower = 0;
    c[i].upper = 65535;
    c[i].mean = 0;
    c[i].scale = 1u << 28;
    c[i].weight = 0;
    c[i].quadratic_weight = 0;
  }
  c[0].mean = 120u << 16;
  c[0].weight = 1024;
  c[0].quadratic_weight = quadratic_weight;
  if (N > 9) {
    c[9].mean = 900u << 16;
    c[9].weight = 1024;
    c[9].quadratic_weight = quadratic_weight;
  }
  return c;
}

constexpr auto kLinear30 = make_coefficients<30>(0);
constexpr auto kQuadratic30 = make_coefficients<30>(16);
constexpr auto kQuadratic24 = make_coefficients<24>(16);

constexpr ThresholdTable kThresholdsXl = make_thresholds(
    {0, 4001, 4422, 4671, 4899, 5125, 5331, 5530, 5720, 5900},
    {0, 4612, 4827, 5079, 5488, 6068, 6801, 7400, 7950, 8450});
constexpr ThresholdTable kThresholdsL = make_thresholds(
    {0, 3800, 4300, 4650, 4950, 5250, 5500, 5750, 5980, 6200},
    {0, 4450, 4800, 5150, 5600, 6200, 6900, 7500, 8050, 8550});
constexpr ThresholdTable kThresholdsM = make_thresholds(
    {0, 3300, 4200, 4950, 5700, 6450, 7150, 7800, 8400, 8950},
    {0, 3900, 4800, 5600, 6450, 7300, 8100, 8850, 9550, 10200});
constexpr ThresholdTable kThresholdsS = make_thresholds(
    {0, 2900, 4100, 5050, 6000, 6950, 7850, 8700, 9500, 10250},
    {0, 3500, 4700, 5700, 6750, 7800, 8800, 9750, 10650, 11500});
constexpr ThresholdTable kThresholdsXs = make_thresholds(
    {0, 2495, 3989, 5175, 6307, 7428, 8514, 9550, 10550, 11500},
    {0, 3100, 4600, 5850, 7050, 8250, 9400, 10500, 11550, 12550});
constexpr ThresholdTable kThresholdsReM = make_thresholds(
    {0, 3200, 4250, 5050, 5800, 6550, 7300, 8000, 8650, 9250},
    {0, 3800, 4850, 5700, 6550, 7400, 8250, 9050, 9800, 10500});
constexpr ThresholdTable kThresholdsReS = make_thresholds(
    {0, 2800, 4050, 5100, 6100, 7100, 8050, 8950, 9800, 10600},
    {0, 3400, 4650, 5750, 6850, 7950, 9000, 10000, 10950, 11850});
constexpr ThresholdTable kThresholdsCoherenceXs = make_thresholds(
    {0, 2300, 3300, 4100, 4800, 5450, 6050, 6600, 7100, 7550},
    {0, 2900, 3900, 4750, 5500, 6200, 6850, 7450, 8000, 8500});
constexpr ThresholdTable kThresholdsCoherenceReS = make_thresholds(
    {0, 2400, 3400, 4200, 4900, 5550, 6150, 6700, 7200, 7650},
    {0, 3000, 4000, 4850, 5600, 6300, 6950, 7550, 8100, 8600});

constexpr uint16_t kKeyPlain = 0;
constexpr uint16_t kKeyCoherence = 65000;

}  // namespace

extern "C" {

const qx_vermodel qx_vermodels_ehmsq_xl[] = {
    {&ehm_verifier, kKeyPlain, 30, kLinear30.data(), nullptr, 0, kThresholdsXl.data()},
    {nullptr, 0, 0, nullptr, nullptr, 0, nullptr},
};

const qx_vermodel qx_vermodels_ehmsq_l[] = {
    {&ehm_verifier, kKeyPlain, 30, kLinear30.data(), nullptr, 0, kThresholdsL.data()},
    {nullptr, 0, 0, nullptr, nullptr, 0, nullptr},
};

const qx_vermodel qx_vermodels_ehmsq_m[] = {
    {&ehmhr_verifier, kKeyPlain, 30, nullptr, kQuadratic30.data(), 0, kThresholdsM.data()},
    {nullptr, 0, 0, nullptr, nullptr, 0, nullptr},
};

const qx_vermodel qx_vermodels_ehmsq_s[] = {
    {&ehmhr_verifier, kKeyPlain, 30, nullptr, kQuadratic30.data(), 0, kThresholdsS.data()},
    {nullptr, 0, 0, nullptr, nullptr, 0, nullptr},
};

const qx_vermodel qx_vermodels_ehmsq_xs[] = {
    {&ehmhr_verifier, kKeyPlain, 30, nullptr, kQuadratic30.data(), 0, kThresholdsXs.data()},
    {&ehmhr_verifier, kKeyCoherence, 24, nullptr, kQuadratic24.data(), 1,
     kThresholdsCoherenceXs.data()},
    {nullptr, 0, 0, nullptr, nullptr, 0, nullptr},
};

const qx_vermodel qx_vermodels_ehmre_m[] = {
    {&ehmhr_verifier, kKeyPlain, 30, nullptr, kQuadratic30.data(), 0, kThresholdsReM.data()},
    {nullptr, 0, 0, nullptr, nullptr, 0, nullptr},
};

const qx_vermodel qx_vermodels_ehmre_s[] = {
    {&ehmhr_verifier, kKeyPlain, 30, nullptr, kQuadratic30.data(), 0, kThresholdsReS.data()},
    {&ehmhr_verifier, kKeyCoherence, 24, nullptr, kQuadratic24.data(), 1,
     kThresholdsCoherenceReS.data()},
    {nullptr, 0, 0, nullptr, nullptr, 0, nullptr},
};

}  // extern "C"
