// Fingerprint enhancement: de-banding, fixed band-pass block filter and
// global normalisation.
#include "engine/image/enhance.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include "engine/image/block_filter.h"
#include "engine/image/deband.h"
#include "engine/image/normalize.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/qx_buffer.hpp"

namespace {

using Quadrant = std::array<std::array<uint8_t, 17>, 17>;
using GainTable = std::array<uint8_t, ENHANCE_GAIN_SIZE>;

// The band-pass of each built-in table as its 17 x 17 quadrant
// (v, u = 0 .. 16); the quadrant is symmetric, G[v][u] = G[u][v].  The
// peak ring sits at the ridge frequency of the sensor: about 5.5 cycles
// per 32 pixels at 500 dpi, 7.5 at 420 dpi and 8 at 363 dpi.
constexpr Quadrant kQuadrant500 = {{
    { 60,  64,  77, 105, 159, 240, 228,  92,  25,   6,   1,   0,   0,   0,   0,   0,   0},
    { 64,  68,  82, 112, 168, 246, 216,  83,  23,   6,   1,   0,   0,   0,   0,   0,   0},
    { 77,  82,  99, 134, 196, 255, 178,  62,  17,   4,   1,   0,   0,   0,   0,   0,   0},
    {105, 112, 134, 177, 237, 234, 118,  38,  10,   3,   1,   0,   0,   0,   0,   0,   0},
    {159, 168, 196, 237, 244, 156,  62,  20,   6,   1,   0,   0,   0,   0,   0,   0,   0},
    {240, 246, 255, 234, 156,  72,  27,   9,   3,   1,   0,   0,   0,   0,   0,   0,   0},
    {228, 216, 178, 118,  62,  27,  10,   3,   1,   0,   0,   0,   0,   0,   0,   0,   0},
    { 92,  83,  62,  38,  20,   9,   3,   1,   0,   0,   0,   0,   0,   0,   0,   0,   0},
    { 25,  23,  17,  10,   6,   3,   1,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0},
    {  6,   6,   4,   3,   1,   1,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0},
    {  1,   1,   1,   1,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0},
    {  0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0},
    {  0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0},
    {  0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0},
    {  0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0},
    {  0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0},
    {  0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0},
}};
constexpr Quadrant kQuadrant420 = {{
    { 56,  58,  65,  77,  98, 132, 185, 247, 251, 158,  71,  28,  11,   4,   1,   0,   0},
    { 58,  60,  67,  80, 101, 136, 190, 250, 245, 150,  67,  26,  10,   4,   1,   0,   0},
    { 65,  67,  74,  88, 112, 150, 205, 255, 227, 129,  56,  22,   8,   3,   1,   0,   0},
    { 77,  80,  88, 105, 132, 174, 228, 252, 191,  99,  42,  17,   6,   2,   1,   0,   0},
    { 98, 101, 112, 132, 164, 209, 247, 226, 141,  68,  29,  11,   4,   2,   1,   0,   0},
    {132, 136, 150, 174, 209, 241, 236, 170,  91,  42,  18,   7,   3,   1,   0,   0,   0},
    {185, 190, 205, 228, 247, 236, 179, 105,  52,  24,  10,   4,   2,   1,   0,   0,   0},
    {247, 250, 255, 252, 226, 170, 105,  56,  27,  12,   5,   2,   1,   0,   0,   0,   0},
    {251, 245, 227, 191, 141,  91,  52,  27,  13,   6,   3,   1,   0,   0,   0,   0,   0},
    {158, 150, 129,  99,  68,  42,  24,  12,   6,   3,   1,   1,   0,   0,   0,   0,   0},
    { 71,  67,  56,  42,  29,  18,  10,   5,   3,   1,   1,   0,   0,   0,   0,   0,   0},
    { 28,  26,  22,  17,  11,   7,   4,   2,   1,   1,   0,   0,   0,   0,   0,   0,   0},
    { 11,  10,   8,   6,   4,   3,   2,   1,   0,   0,   0,   0,   0,   0,   0,   0,   0},
    {  4,   4,   3,   2,   2,   1,   1,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0},
    {  1,   1,   1,   1,   1,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0},
    {  0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0},
    {  0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0},
}};
constexpr Quadrant kQuadrant363 = {{
    { 93,  95, 102, 114, 132, 159, 196, 236, 255, 221, 148,  84,  44,  22,  10,   4,   0},
    { 95,  98, 104, 116, 135, 162, 199, 238, 253, 216, 143,  80,  42,  21,  10,   4,   0},
    {102, 104, 111, 124, 144, 172, 208, 242, 247, 199, 128,  71,  37,  19,   9,   4,   0},
    {114, 116, 124, 138, 159, 188, 222, 246, 231, 172, 105,  58,  30,  15,   7,   3,   0},
    {132, 135, 144, 159, 182, 210, 236, 240, 202, 137,  80,  43,  23,  11,   6,   2,   0},
    {159, 162, 172, 188, 210, 232, 240, 215, 160, 100,  57,  31,  16,   8,   4,   2,   0},
    {196, 199, 208, 222, 236, 240, 219, 171, 114,  68,  38,  21,  11,   6,   3,   1,   0},
    {236, 238, 242, 246, 240, 215, 171, 118,  74,  43,  24,  13,   7,   4,   2,   1,   0},
    {255, 253, 247, 231, 202, 160, 114,  74,  45,  26,  15,   8,   4,   2,   1,   0,   0},
    {221, 216, 199, 172, 137, 100,  68,  43,  26,  15,   9,   5,   3,   1,   1,   0,   0},
    {148, 143, 128, 105,  80,  57,  38,  24,  15,   9,   5,   3,   1,   1,   0,   0,   0},
    { 84,  80,  71,  58,  43,  31,  21,  13,   8,   5,   3,   2,   1,   0,   0,   0,   0},
    { 44,  42,  37,  30,  23,  16,  11,   7,   4,   3,   1,   1,   0,   0,   0,   0,   0},
    { 22,  21,  19,  15,  11,   8,   6,   4,   2,   1,   1,   0,   0,   0,   0,   0,   0},
    { 10,  10,   9,   7,   6,   4,   3,   2,   1,   1,   0,   0,   0,   0,   0,   0,   0},
    {  4,   4,   4,   3,   2,   2,   1,   1,   0,   0,   0,   0,   0,   0,   0,   0,   0},
    {  0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0},
}};

// Rows 17 .. 31 (negative vertical frequencies v - 32) mirror rows 15 .. 1.
constexpr GainTable expand(const Quadrant &q) {
  GainTable t{};
  for (int v = 0; v < ENHANCE_GAIN_ROWS; ++v)
    for (int u = 0; u < ENHANCE_GAIN_COLS; ++u) t[v * ENHANCE_GAIN_COLS + u] = q[v <= 16 ? v : 32 - v][u];
  return t;
}

constexpr GainTable kTable500 = expand(kQuadrant500);
constexpr GainTable kTable420 = expand(kQuadrant420);
constexpr GainTable kTable363 = expand(kQuadrant363);

struct Band {
  int low, high;
  const GainTable *table;
};
// Tested in this order.
constexpr Band kBands[] = {{490, 510, &kTable500}, {333, 393, &kTable363}, {400, 440, &kTable420}};

}  // namespace

extern "C" {

const uint8_t *enhance_builtin_gain_table(int dpi) {
  switch (dpi) {
    case 500: return kTable500.data();
    case 420: return kTable420.data();
    case 363: return kTable363.data();
    default: return nullptr;
  }
}

const uint8_t *enhance_select_gain_table(int resolution, const enhance_ppmodel *model) {
  if (model != nullptr && std::abs(resolution - model->resolution) <= ENHANCE_PPMODEL_TOLERANCE)
    return model->gain;
  for (const Band &b : kBands)
    if (resolution >= b.low && resolution <= b.high) return b.table->data();
  return nullptr;
}

qxi_status deconvreg_block(int32_t *re, int32_t *im, int n, void * /*scratch*/, size_t /*scratch_size*/,
                           const void *gain_table) {
  const auto *gain = static_cast<const uint8_t *>(gain_table);
  const int count = n * (n / 2 + 1);
  for (int i = 0; i < count; ++i) {
    re[i] = static_cast<int32_t>((static_cast<int64_t>(re[i]) * gain[i]) >> 8);
    im[i] = static_cast<int32_t>((static_cast<int64_t>(im[i]) * gain[i]) >> 8);
  }
  return QXI_OK;
}

qxi_status enhance_pixels(const uint8_t *in, int rows, int cols, int resolution, const enhance_ppmodel *model,
                          uint8_t *out) {
  const uint8_t *table = enhance_select_gain_table(resolution, model);
  if (table == nullptr || in == nullptr || out == nullptr || rows <= 0 || cols <= 0) return QXI_OUT_OF_RANGE;
  const size_t size = static_cast<size_t>(rows) * static_cast<size_t>(cols);
  const size_t work_size = bal_filter_fft_worksize(ENHANCE_BLOCK);
  qx::Buffer<uint8_t> debanded, filtered, work;
  if (!debanded.alloc(size) || !filtered.alloc(size) || !work.alloc(work_size)) return QXI_NO_MEMORY;
  std::memcpy(debanded.get(), in, size);
  qxi_status st = bal_image_denoise_rows(debanded.get(), rows, cols);
  if (st == QXI_OK) st = bal_image_denoise_columns(debanded.get(), rows, cols);
  if (st == QXI_OK)
    st = bal_filter_fft32_blocks(filtered.get(), debanded.get(), rows, cols, ENHANCE_OVERLAP, work.get(),
                                 work_size, deconvreg_block, table);
  if (st != QXI_OK) return st;
  bal_normalize_image_simple(filtered.get(), rows, cols, ENHANCE_TARGET_MEAN, ENHANCE_TARGET_DEVIATION, out);
  return QXI_OK;
}

qx_rc enhance_image(const struct qx_algorithm *algorithm, qx_image *image, qx_image **enhanced) {
  if (enhanced != nullptr) *enhanced = nullptr;
  if (image == nullptr || enhanced == nullptr) return QX_RC_BAD_ARGUMENT;
  const int rows = qx_image_get_rows(image), cols = qx_image_get_cols(image);
  const int resolution = qx_image_get_vertical_resolution(image);
  const auto *model =
      algorithm != nullptr ? static_cast<const enhance_ppmodel *>(qx_algorithm_get_ppmodel(algorithm)) : nullptr;
  if (enhance_select_gain_table(resolution, model) == nullptr) return qx_rc_convert_from_qxi(QXI_OUT_OF_RANGE);
  const uint8_t *pixels = qx_image_get_pixels(image);
  if (pixels == nullptr) return QX_RC_BAD_ARGUMENT;
  qx::Buffer<uint8_t> out;
  if (!out.alloc(static_cast<size_t>(rows) * static_cast<size_t>(cols))) return QX_RC_NO_MEMORY;
  const qxi_status st = enhance_pixels(pixels, rows, cols, resolution, model, out.get());
  if (st != QXI_OK) return qx_rc_convert_from_qxi(st);
  qx_image *result =
      qx_image_create(rows, cols, resolution, resolution, out.get(), qx_image_get_impression_type(image));
  if (result == nullptr) return QX_RC_NO_MEMORY;
  *enhanced = result;
  return QX_RC_OK;
}

}  // extern "C"
