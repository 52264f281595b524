// Minutia overlay drawing (imageio writes the picture as PNG).
#include "overlay.h"

#include <cmath>
#include <algorithm>

namespace overlay {

namespace {

void put(Rgb &im, int r, int c, uint8_t R, uint8_t G, uint8_t B) {
  if (r < 0 || c < 0 || r >= im.rows || c >= im.cols) return;
  uint8_t *p = &im.rgb[(static_cast<size_t>(r) * im.cols + c) * 3];
  p[0] = R;
  p[1] = G;
  p[2] = B;
}

void line(Rgb &im, double r0, double c0, double r1, double c1, uint8_t R, uint8_t G, uint8_t B) {
  const int steps = static_cast<int>(std::max(std::fabs(r1 - r0), std::fabs(c1 - c0))) + 1;
  for (int k = 0; k <= steps; ++k) {
    const double t = static_cast<double>(k) / steps;
    put(im, static_cast<int>(std::lround(r0 + t * (r1 - r0))), static_cast<int>(std::lround(c0 + t * (c1 - c0))), R,
        G, B);
  }
}

void tick(Rgb &im, double r, double c, int direction, double len, uint8_t R, uint8_t G, uint8_t B) {
  const double a = direction * 2 * M_PI / 256;
  line(im, r, c, r - len * std::sin(a), c + len * std::cos(a), R, G, B);
}

}  // namespace

Rgb draw(const uint8_t *grey, int rows, int cols, const bal_extract_result &r, int zoom,
         const std::vector<Mark> &truth) {
  Rgb im;
  im.rows = rows * zoom;
  im.cols = cols * zoom;
  im.rgb.resize(static_cast<size_t>(im.rows) * im.cols * 3);
  for (int y = 0; y < im.rows; ++y)
    for (int x = 0; x < im.cols; ++x) {
      const uint8_t g = grey[static_cast<size_t>(y / zoom) * cols + x / zoom];
      put(im, y, x, g, g, g);
    }
  const double z = zoom, h = zoom / 2.0;
  for (const Mark &t : truth) {
    const double rr = t.row * z + h, cc = t.col * z + h;
    line(im, rr - 3 * z, cc, rr + 3 * z, cc, 230, 200, 0);
    line(im, rr, cc - 3 * z, rr, cc + 3 * z, 230, 200, 0);
    tick(im, rr, cc, t.direction, 6 * z, 230, 200, 0);
  }
  const minutiastruct &ms = r.minutiae;
  for (int i = 0; i < ms.count; ++i) {
    const bal_minutia &m = ms.minutiae[i];
    const double rr = m.row * z + h, cc = m.col * z + h;
    if (m.type == 1) {
      const double s = 3 * z;
      line(im, rr - s, cc - s, rr - s, cc + s, 230, 20, 20);
      line(im, rr + s, cc - s, rr + s, cc + s, 230, 20, 20);
      line(im, rr - s, cc - s, rr + s, cc - s, 230, 20, 20);
      line(im, rr - s, cc + s, rr + s, cc + s, 230, 20, 20);
      tick(im, rr, cc, m.direction, 8 * z, 230, 20, 20);
    } else {
      for (int a = 0; a < 64; ++a) {
        const double t = a * 2 * M_PI / 64;
        put(im, static_cast<int>(rr + 3 * z * std::sin(t)), static_cast<int>(cc + 3 * z * std::cos(t)), 30, 60, 240);
      }
      tick(im, rr, cc, m.direction, 8 * z, 30, 60, 240);
    }
  }
  for (int i = 0; i < r.cores.count; ++i) {
    const bal_core &c = r.cores.entries[i];
    const double rr = c.row * z + h, cc = c.col * z + h;
    for (int a = 0; a < 96; ++a) {
      const double t = a * 2 * M_PI / 96;
      put(im, static_cast<int>(rr + 6 * z * std::sin(t)), static_cast<int>(cc + 6 * z * std::cos(t)), 20, 200, 40);
    }
    tick(im, rr, cc, c.direction, 14 * z, 20, 200, 40);
  }
  for (int i = 0; i < r.deltas.count; ++i) {
    const bal_delta &d = r.deltas.entries[i];
    const double rr = d.row * z + h, cc = d.col * z + h;
    for (int k = 0; k < 3; ++k) tick(im, rr, cc, d.direction[k], 12 * z, 220, 20, 220);
  }
  return im;
}

}  // namespace overlay
