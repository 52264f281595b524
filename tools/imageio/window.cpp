// imageio: the windows the tools cut from captures, and where the print is.
#include <algorithm>
#include <cstring>

#include "imageio.h"

namespace imageio {

namespace {
constexpr uint8_t kWhite = 255;
constexpr uint8_t kDarkBelow = 128;
}  // namespace

GreyImage window(const GreyImage &image, int top, int left, int rows, int cols) {
  GreyImage out(std::max(rows, 0), std::max(cols, 0), kWhite);
  out.dpi_x = image.dpi_x;
  out.dpi_y = image.dpi_y;
  // The columns of the window that lie inside the image, copied row by row.
  const int c0 = std::clamp(-left, 0, out.cols), c1 = std::clamp(image.cols - left, c0, out.cols);
  for (int r = 0; r < out.rows && c1 > c0; ++r) {
    const int y = top + r;
    if (y < 0 || y >= image.rows) continue;
    std::memcpy(&out.pixels[static_cast<std::size_t>(r) * out.cols + c0],
                &image.pixels[static_cast<std::size_t>(y) * image.cols + left + c0],
                static_cast<std::size_t>(c1 - c0));
  }
  return out;
}

void print_centre(const GreyImage &image, int *row, int *col) {
  long sum_r = 0, sum_c = 0, dark = 0;
  for (int r = 0; r < image.rows; ++r)
    for (int c = 0; c < image.cols; ++c)
      if (image.pixels[static_cast<std::size_t>(r) * image.cols + c] < kDarkBelow) {
        sum_r += r;
        sum_c += c;
        ++dark;
      }
  *row = dark > 0 ? static_cast<int>(sum_r / dark) : image.rows / 2;
  *col = dark > 0 ? static_cast<int>(sum_c / dark) : image.cols / 2;
}

void window_origin(const GreyImage &image, int centre_row, int centre_col, int rows, int cols,
                   int *top, int *left) {
  *top = std::clamp(centre_row - rows / 2, 0, std::max(0, image.rows - rows));
  *left = std::clamp(centre_col - cols / 2, 0, std::max(0, image.cols - cols));
}

GreyImage centred_window(const GreyImage &image, int rows, int cols) {
  rows = std::min(rows, image.rows);
  cols = std::min(cols, image.cols);
  int centre_row = 0, centre_col = 0, top = 0, left = 0;
  print_centre(image, &centre_row, &centre_col);
  window_origin(image, centre_row, centre_col, rows, cols, &top, &left);
  return window(image, top, left, rows, cols);
}

}  // namespace imageio
