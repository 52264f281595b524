// Synthetic images for the image-layer tests: flat fields, ridge patterns
// of known period and direction, and a print-like blob of ridges on white.
#ifndef TEST_LUMETRA_IMAGE_IMAGE_GEN_HPP
#define TEST_LUMETRA_IMAGE_IMAGE_GEN_HPP

#include <cmath>
#include <cstdint>
#include <vector>

namespace imggen {

inline std::vector<uint8_t> flat(int rows, int cols, uint8_t value) {
  return std::vector<uint8_t>(static_cast<size_t>(rows) * cols, value);
}

// Sinusoidal ridges: `period` pixels from ridge to ridge, ridge normal at
// `degrees` from the x axis, grey level mean +- amplitude.
inline std::vector<uint8_t> ridges(int rows, int cols, double period, double degrees, int mean = 128,
                                   int amplitude = 100) {
  std::vector<uint8_t> px(static_cast<size_t>(rows) * cols);
  const double t = degrees * M_PI / 180.0;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      const double phase = 2 * M_PI * (c * std::cos(t) + r * std::sin(t)) / period;
      px[static_cast<size_t>(r) * cols + c] = static_cast<uint8_t>(std::lround(mean + amplitude * std::cos(phase)));
    }
  return px;
}

// Ridges inside an ellipse filling `fill` of each dimension, white around.
inline std::vector<uint8_t> finger(int rows, int cols, double period = 9, double degrees = 30, double fill = 0.7) {
  std::vector<uint8_t> px = ridges(rows, cols, period, degrees);
  const double cy = rows / 2.0, cx = cols / 2.0, ry = rows * fill / 2, rx = cols * fill / 2;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      const double dy = (r - cy) / ry, dx = (c - cx) / rx;
      if (dy * dy + dx * dx > 1) px[static_cast<size_t>(r) * cols + c] = 255;
    }
  return px;
}

// Deterministic pseudo-random noise (no direction at all).
inline std::vector<uint8_t> noise(int rows, int cols, uint32_t seed = 12345) {
  std::vector<uint8_t> px(static_cast<size_t>(rows) * cols);
  for (auto &p : px) {
    seed = seed * 1664525u + 1013904223u;
    p = static_cast<uint8_t>(seed >> 24);
  }
  return px;
}

}  // namespace imggen

#endif
