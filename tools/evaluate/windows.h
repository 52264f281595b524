// Where the evaluation cuts its windows out of a full print: the print's
// foreground centre, and windows placed around it and kept inside the
// image.  The evaluation driver and the impression aligner share it, so
// that a window position in one program's table means the same pixels in
// the other's.
#ifndef TOOLS_EVALUATE_WINDOWS_H
#define TOOLS_EVALUATE_WINDOWS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace evaluate {

constexpr uint8_t kWhite = 255;

// Mean position of the 16 x 16 blocks whose grey levels vary (ridges), or
// the image centre when none does.
inline void foreground_centre(const uint8_t *px, int width, int height, int &cy, int &cx) {
  double sy = 0, sx = 0, n = 0;
  for (int by = 0; by + 16 <= height; by += 16)
    for (int bx = 0; bx + 16 <= width; bx += 16) {
      double m = 0, q = 0;
      for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
          const double v = px[static_cast<size_t>(by + y) * width + bx + x];
          m += v;
          q += v * v;
        }
      m /= 256;
      q = q / 256 - m * m;
      if (q > 400) {
        sy += by + 8;
        sx += bx + 8;
        ++n;
      }
    }
  cy = n > 0 ? static_cast<int>(sy / n) : height / 2;
  cx = n > 0 ? static_cast<int>(sx / n) : width / 2;
}

// Top-left corner of an s x s window centred `dy, dx` away from (cy, cx),
// kept inside the image (an image smaller than the window is padded with
// white on its far side, see cut_window).
inline void window_origin(int width, int height, int cy, int cx, int s, int dy, int dx, int &y0, int &x0) {
  y0 = std::clamp(cy - s / 2 + dy, 0, std::max(0, height - s));
  x0 = std::clamp(cx - s / 2 + dx, 0, std::max(0, width - s));
}

inline void cut_window(const uint8_t *px, int width, int height, int s, int y0, int x0, uint8_t *out) {
  for (int y = 0; y < s; ++y)
    for (int x = 0; x < s; ++x) {
      const int iy = y0 + y, ix = x0 + x;
      out[static_cast<size_t>(y) * s + x] =
          iy < height && ix < width ? px[static_cast<size_t>(iy) * width + ix] : kWhite;
    }
}

}  // namespace evaluate

#endif  // TOOLS_EVALUATE_WINDOWS_H
