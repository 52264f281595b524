// The print centre of the shared small-sensor yardsticks (far_eval and
// small_sensor_eval): the mean position of the 16 x 16 blocks whose grey
// levels vary (ridges), or the image centre when none does.  The impostor
// grid places its windows around it, so that its windows, and therefore
// its counts, are those of the yardstick; the other protocols use the
// tools' print centre (imageio::print_centre).
#ifndef TOOLS_EVALUATE_FOREGROUND_CENTRE_H
#define TOOLS_EVALUATE_FOREGROUND_CENTRE_H

#include <cstddef>

#include "imageio.h"

namespace evaluate {

inline void foreground_centre(const imageio::GreyImage &im, int *cy, int *cx) {
  double sy = 0, sx = 0, n = 0;
  for (int by = 0; by + 16 <= im.rows; by += 16)
    for (int bx = 0; bx + 16 <= im.cols; bx += 16) {
      double m = 0, q = 0;
      for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
          const double v = im.pixels[static_cast<size_t>(by + y) * im.cols + bx + x];
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
  *cy = n > 0 ? static_cast<int>(sy / n) : im.rows / 2;
  *cx = n > 0 ? static_cast<int>(sx / n) : im.cols / 2;
}

}  // namespace evaluate

#endif  // TOOLS_EVALUATE_FOREGROUND_CENTRE_H
