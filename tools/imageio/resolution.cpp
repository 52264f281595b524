// imageio: the resolution rule and the yardsticks' print centre (see
// resolution.h).
#include "resolution.h"

#include <cstdint>

#include "api/lumetra_tools.h"
#include "engine/qx_rc.h"

namespace imageio {

namespace {

bool plausible(int dpi) { return dpi >= kMinPlausibleDpi && dpi <= kMaxPlausibleDpi; }

// Side of `pixels` pixels at `dpi` brought to 500 dpi, rounded up (the
// engine's resampling rounds to nearest; one more pixel keeps the bound
// conservative).
uint64_t scaled_side(int pixels, int dpi) {
  return (static_cast<uint64_t>(pixels) * kDefaultDpi + static_cast<uint64_t>(dpi) - 1) /
             static_cast<uint64_t>(dpi) + 1;
}

}  // namespace

void chosen_resolution(const GreyImage &image, const ResolutionRule &rule, int *dpi_y, int *dpi_x,
                       int *ignored) {
  *ignored = 0;
  // A file stating one axis only states it for both.
  const int x = image.dpi_x > 0 ? image.dpi_x : image.dpi_y;
  const int y = image.dpi_y > 0 ? image.dpi_y : image.dpi_x;
  if (rule.force || x <= 0) {
    *dpi_y = *dpi_x = rule.default_dpi;
    return;
  }
  if (!plausible(x) || !plausible(y)) {
    *ignored = plausible(x) ? y : x;
    *dpi_y = *dpi_x = rule.default_dpi;
    return;
  }
  *dpi_y = y;
  *dpi_x = x;
}

bool to_library_resolution(const GreyImage &image, const ResolutionRule &rule, GreyImage *out,
                           std::string *warning, std::string *problem) {
  warning->clear();
  int dpi_y = 0, dpi_x = 0, ignored = 0;
  chosen_resolution(image, rule, &dpi_y, &dpi_x, &ignored);
  if (ignored != 0)
    *warning = "the stated resolution of " + std::to_string(ignored) +
               " dpi is not one of a fingerprint reader (" + std::to_string(kMinPlausibleDpi) +
               ".." + std::to_string(kMaxPlausibleDpi) + " dpi): ignored, taken at " +
               std::to_string(rule.default_dpi) + " dpi (--dpi)";
  if (dpi_y == kDefaultDpi && dpi_x == kDefaultDpi) {
    *out = image;
    out->dpi_x = out->dpi_y = kDefaultDpi;
    return true;
  }
  const std::string from =
      std::to_string(dpi_x) + (dpi_x == dpi_y ? "" : " x " + std::to_string(dpi_y));
  const uint64_t rows = scaled_side(image.rows, dpi_y), cols = scaled_side(image.cols, dpi_x);
  if (rows > static_cast<uint64_t>(kMaxSide) || cols > static_cast<uint64_t>(kMaxSide) ||
      rows * cols > kMaxPixels) {
    *problem = "at " + from + " dpi the image would become about " + std::to_string(cols) +
               " x " + std::to_string(rows) + " pixels at 500 dpi, more than " +
               std::to_string(kMaxPixels) + " pixels (give the right resolution with --dpi and "
               "--force-dpi)";
    return false;
  }
  unsigned char *scaled = nullptr;
  int out_rows = 0, out_cols = 0;
  if (lumetra_tools_resample_to_500(image.pixels.data(), image.rows, image.cols, dpi_y, dpi_x,
                                    &scaled, &out_rows, &out_cols) != QX_RC_OK ||
      scaled == nullptr || out_rows <= 0 || out_cols <= 0) {
    lumetra_tools_free(scaled);
    *problem = "cannot bring the image from " + from + " dpi to 500 dpi (give the right "
               "resolution with --dpi and --force-dpi)";
    return false;
  }
  *out = GreyImage(out_rows, out_cols);
  for (std::size_t i = 0; i < out->pixels.size(); ++i) out->pixels[i] = scaled[i];
  out->dpi_x = out->dpi_y = kDefaultDpi;
  lumetra_tools_free(scaled);
  return true;
}

void foreground_centre(const GreyImage &image, int *row, int *col) {
  constexpr int kBlock = 16;
  constexpr int64_t kVarianceAbove = 400;
  int64_t sum_r = 0, sum_c = 0, blocks = 0;
  for (int by = 0; by + kBlock <= image.rows; by += kBlock)
    for (int bx = 0; bx + kBlock <= image.cols; bx += kBlock) {
      int64_t s = 0, q = 0;
      for (int y = 0; y < kBlock; ++y)
        for (int x = 0; x < kBlock; ++x) {
          const int64_t v = image.at(by + y, bx + x);
          s += v;
          q += v * v;
        }
      // Population variance q/256 - (s/256)^2 > 400, in integers:
      // 256 q - s^2 > 400 * 256^2.
      if (q * (kBlock * kBlock) - s * s > kVarianceAbove * (kBlock * kBlock) * (kBlock * kBlock)) {
        sum_r += by + kBlock / 2;
        sum_c += bx + kBlock / 2;
        ++blocks;
      }
    }
  *row = blocks > 0 ? static_cast<int>(sum_r / blocks) : image.rows / 2;
  *col = blocks > 0 ? static_cast<int>(sum_c / blocks) : image.cols / 2;
}

GreyImage foreground_window(const GreyImage &image, int rows, int cols, int dy, int dx) {
  int centre_row = 0, centre_col = 0, top = 0, left = 0;
  foreground_centre(image, &centre_row, &centre_col);
  window_origin(image, centre_row + dy, centre_col + dx, rows, cols, &top, &left);
  return window(image, top, left, rows, cols);
}

}  // namespace imageio
