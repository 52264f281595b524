// Shared body of the fuzz_imageio_* targets: one reader of tools/imageio
// on arbitrary bytes must refuse what it cannot read with a problem text
// (and no image), and an image it accepts must be whole: width x height
// pixels within the readers' limits.
#ifndef TEST_FUZZ_FUZZ_IMAGEIO_CHECK_H
#define TEST_FUZZ_FUZZ_IMAGEIO_CHECK_H

#include <cstdint>
#include <cstdlib>
#include <string>

#include "imageio.h"

using imageio_reader = bool (*)(const uint8_t *, size_t, imageio::GreyImage *, std::string *);

inline int fuzz_imageio_reader(imageio_reader reader, const uint8_t *data, size_t size) {
  imageio::GreyImage image;
  std::string problem;
  if (reader(data, size, &image, &problem)) {
    if (image.cols <= 0 || image.rows <= 0 || image.cols > imageio::kMaxSide ||
        image.rows > imageio::kMaxSide ||
        image.pixels.size() != static_cast<size_t>(image.cols) * image.rows ||
        image.dpi_x < 0 || image.dpi_y < 0 || !problem.empty())
      std::abort();
  } else if (problem.empty() || !image.pixels.empty()) {
    std::abort();
  }
  return 0;
}

#endif  // TEST_FUZZ_FUZZ_IMAGEIO_CHECK_H
