// The steps of the spectral block-field matcher, shared by its source files
// and open to the tests: reading a feature set, the angle units, the
// canvases the grids are laid into, the histograms, the transform of grid A,
// the extents of a canvas and the scoring of one position.
#ifndef LUMETRA_ENGINE_MATCH_SPECTRAL_STEPS_HPP
#define LUMETRA_ENGINE_MATCH_SPECTRAL_STEPS_HPP

#include <cstddef>
#include <cstdint>

#include "engine/match/spectral_match.h"

namespace qx_spectral {

// ---------------------------------------------------------------------------
// Angle units.  Every conversion between them is written here and nowhere
// else.
//   field orientation : 256 steps per half turn of the ridge, that is the
//                       doubled ridge angle in 256 steps per turn;
//   search rotation r : 512 steps per full turn ("doubled units"), signed,
//                       kept in -256..255; turning a grid by r adds r to its
//                       orientations (mod 256);
//   alignment rotation: 256 steps per turn (r / 2), and 65536 steps per turn
//                       in the high-precision form (r x 128).
constexpr int kTurn = 512;  // search rotation units per full turn

// -256..255, the same direction as r.
inline int wrap_rotation(int r) {
  r %= kTurn;
  if (r < -kTurn / 2) r += kTurn;
  if (r >= kTurn / 2) r -= kTurn;
  return r;
}
inline uint8_t rotate_orientation(uint8_t o, int r) { return static_cast<uint8_t>(o + r); }
// Search rotation of an alignment rotation rho (1/256 turn): 2 rho.
inline int rotation_from_alignment(uint8_t rho) { return wrap_rotation(2 * rho); }
// Alignment rotation (1/256 turn) of a search rotation: r / 2 toward zero.
inline uint8_t alignment_from_rotation(int r) { return static_cast<uint8_t>(r / 2); }
// 16-bit angle (1/65536 turn) of a search rotation and of an alignment one.
inline int32_t angle16_from_rotation(int r) { return r * 128; }
inline int32_t angle16_from_alignment(uint8_t rho) { return rho * 256; }
// Q14 cosine and sine of a 16-bit angle: the byte-angle table interpolated
// linearly between its steps (exact at multiples of 256).
int32_t cos16(int32_t angle16);
int32_t sin16(int32_t angle16);

// ---------------------------------------------------------------------------
// A matcher feature set, read.
struct Grid {
  int rows = 0;
  int cols = 0;
  int block = 0;       // block size in pixels (the block-size code)
  int resolution = 0;  // dpi
  const uint8_t *blocks = nullptr;  // rows x cols x (orientation, frequency)
  const uint8_t *fine = nullptr;    // (3 rows) x (3 cols) x 2, or none
  uint8_t quality = 0;
};

// Checks a feature set (magic, version, check byte, length, non-zero block
// size and resolution) and reads it.  False when it is malformed.
bool read_grid(const uint8_t *set, uint32_t length, Grid *grid);

// Blocks of a grid or canvas that carry ridge data (frequency non-zero).
uint32_t count_nonempty(const uint8_t *blocks, std::size_t count);

// 12-bin orientation histogram: bin (o + 10) / 21, bin 12 counted as 0,
// over the blocks with non-zero frequency.
void hist_ori(const uint8_t *blocks, std::size_t count, uint32_t hist[12]);
// The same binning applied to the frequency value.
void hist_freq(const uint8_t *blocks, std::size_t count, uint32_t hist[12]);
// Sum over the bins b of min(h1[b], h2[(b + shift) mod 12]).
uint32_t hist_overlap(const uint32_t h1[12], const uint32_t h2[12], int shift);

// ---------------------------------------------------------------------------
// Canvas: a grid laid row by row into a buffer whose rows are 8 blocks
// wider than the grid; the extra blocks stay zero, so a run of 8 blocks
// read from any column of the grid never leaves its row's storage.
constexpr int kCanvasPad = 8;

struct Canvas {
  uint8_t *data = nullptr;  // rows x stride blocks of 2 bytes
  int rows = 0;
  int cols = 0;
  int stride = 0;  // cols + kCanvasPad
  const uint8_t *block(int r, int c) const { return data + 2 * (static_cast<std::size_t>(r) * stride + c); }
};

inline std::size_t canvas_bytes(int rows, int cols) {
  return 2 * static_cast<std::size_t>(rows) * (static_cast<std::size_t>(cols) + kCanvasPad);
}

// Copies a rows x cols grid into `canvas` (its data sized canvas_bytes).
void align8_feature_canvas(const uint8_t *blocks, int rows, int cols, Canvas *canvas);

// Lays grid A (src_rows x src_cols blocks) turned by the search rotation r
// and scaled by scale / 32 into `canvas` (its rows and cols set by the
// caller), shifted by (xi, eta) 1/32 of a canvas block.  Canvas block
// (i, j) shows the A block under its centre: with d = (j + 1/2 - cols / 2
// - xi / 32, i + 1/2 - rows / 2 - eta / 32) relative to the canvas centre,
// the A position is R(-r) d x 32 / scale from A's centre.  Orientations are
// turned by r; blocks outside A are zero.  With `extents` (canvas rows
// entries), also the per-row extents refine_bounding_boxes would find.
struct RowExtent;
void transform_features(const uint8_t *src, int src_rows, int src_cols, int r, int scale, int xi,
                        int eta, Canvas *canvas, RowExtent *extents = nullptr);

// Turns a canvas laid by transform_features at the sub-block offsets
// (xi, eta) into the one it lays at (xi + 32 kx, eta + 32 ky), kx and ky
// each -1, 0 or 1, without laying it afresh.  Moving the offsets by a whole
// block moves every sample position by one canvas block: block (i, j) of
// the new canvas is block (i - ky, j - kx) of the old one, so rows and
// columns are moved, and only the row and column that come in are sampled
// from A.  With `extents`, also the new per-row extents.
void shift_features(const uint8_t *src, int src_rows, int src_cols, int r, int scale, int xi,
                    int eta, int kx, int ky, Canvas *canvas, RowExtent *extents = nullptr);

// Per-row extents of the blocks with ridge data: [lo, hi), lo = hi = 0 for
// an empty row.
struct RowExtent {
  int16_t lo;
  int16_t hi;
};

// Bounding box of the non-empty blocks (inclusive); empty when rows = 0.
struct Box {
  int x0 = 0, x1 = -1, y0 = 0, y1 = -1;
  bool empty() const { return x1 < x0; }
};

// Per-row extents of a canvas, for the rotation it was laid at.
void refine_bounding_boxes(const Canvas &canvas, RowExtent *extents);
// Bounding box of a canvas from its per-row extents.
Box get_bounding_box(const RowExtent *extents, int rows);

// ---------------------------------------------------------------------------
// Scoring one position: A's canvas placed with its block (0, 0) on B's block
// (y, x).
struct ScoreParams {
  uint32_t threshold = 0;  // fewer pairs than this: score 0
  uint32_t scale = 0;      // the scale value l of the score
  bool sampled = false;    // up to four interleaved phases, stop when enough
  // Optional memory of the weights w by pair count (0 = not known yet):
  // weights[count] for count < weights_size, all for this scale.
  uint32_t *weights = nullptr;
  uint32_t weights_size = 0;
};

// Sums over the overlapping pairs (both frequencies non-zero).
struct PairSums {
  uint32_t n = 0;       // pairs visited
  uint64_t sim = 0;     // sum of so x sf
  uint32_t count = 0;   // pairs counted for the threshold and the weight
};

// Score of one position, 0..32767.
int32_t xcorr_features(const Canvas &a, const RowExtent *ea, const Canvas &b, const RowExtent *eb,
                       int x, int y, const ScoreParams &p, PairSums *sums = nullptr);

// Scores of the positions (xs[k], y), k < n, of one row: those
// xcorr_features gives at each, found in one pass over the row where the
// vector kernels allow it.
void xcorr_row(const Canvas &a, const RowExtent *ea, const Canvas &b, const RowExtent *eb, int y,
               const int *xs, int n, const ScoreParams &p, int32_t *scores);

// Score from the pair sums: 0 below the threshold, else
// mean x w / 256 capped at 32767 (mean = S x 32768 / (441 n),
// w = isqrt(l x isqrt(4096 count))).
int32_t score_from_sums(const PairSums &s, const ScoreParams &p);
// The mean of the score, floor(S x 32768 / (441 n)) for n > 0 (by a
// reciprocal for the pair counts of the sensors the library takes, when
// S <= 2^30; by division otherwise).
uint64_t mean_similarity(uint64_t sim, uint32_t n);

// The sixteen auxiliary values at one position (every pair visited).
void aux_values(const Canvas &a, const RowExtent *ea, const Canvas &b, const RowExtent *eb, int x,
                int y, uint16_t aux[QX_SPECTRAL_AUX_COUNT]);

// Fixed-point Shannon entropy of a histogram in 1/4096 bit (floor), capped
// at 65535; 0 for an empty histogram.
uint16_t spectral_entropy(const uint32_t *hist, int bins);

// floor(sqrt(x)) for x below 2^32; larger values saturate there.
uint32_t isqrt64(uint64_t x);

// ---------------------------------------------------------------------------
// Alignment <-> grid position.  A position is the search rotation r, the
// block (x, y) of B under A canvas block (0, 0), and the sub-block offsets
// (xi, eta) in 1/32 block.  The frame gives the sizes at the resolution the
// position belongs to.
struct GridFrame {
  int b_block;      // B's block size in pixels
  int resolution;   // B's resolution (dpi)
  int a_cols, a_rows;
  int canvas_cols, canvas_rows;  // A's canvas
};

// With c, s the Q14 cosine and sine of r x 128 (16-bit angle), b the block
// size, f = 500 / resolution, wA = a_cols b, hA = a_rows b, wC, hC the
// canvas sizes x b (divisions truncate toward zero):
//   dx = f (b (32 x + xi) / 32 - (c (wA-1) - s (hA-1) - (wC-1) 16384) / 32768)
//   dy = f (b (32 y + eta) / 32 - (c (hA-1) + s (wA-1) - (hC-1) 16384) / 32768)
// rotation r / 2; the high-precision form r x 128 (mod 65536) and the same
// translations with "/ 32" and "/ 32768" replaced by "x 8" and "/ 128".
void alignment_of_position(const GridFrame &g, int r, int x, int xi, int y, int eta,
                           qx_spectral_alignment *alignment);
// The inverse used to score at a given alignment (rotation rho, 1/256
// turn): x = dx + (c (wA-1) - s (hA-1) - (wC-1) 16384) / 32768 with c, s of
// rho x 256; block x / b rounded half away from zero, xi = (x - b X) 32 / b;
// the same for y; r = 2 rho.
void position_of_alignment(const GridFrame &g, const qx_spectral_alignment &alignment, int *r,
                           int *x, int *xi, int *y, int *eta);

}  // namespace qx_spectral

#endif
