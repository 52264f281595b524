// lumetra-overlay: extracts minutiae from images (BMP, PNG, TIFF, PGM) and writes each one
// as a PNG with the minutiae, cores and deltas drawn over it, and a line
// of counts per image on standard output.
//
//   lumetra-overlay [-z zoom] [-o out_dir] [-d] image.bmp ...
//   (-d: draw over the binarised ridge picture instead of the image)
#include <cstdio>
#include <cstring>
#include <string>

#include "imageio.h"
#include "overlay.h"

int main(int argc, char **argv) {
  int zoom = 2;
  bool debug = false;
  std::string out_dir = ".";
  int first = 1;
  for (; first < argc && argv[first][0] == '-'; ++first) {
    if (!std::strcmp(argv[first], "-z") && first + 1 < argc)
      zoom = std::max(1, std::atoi(argv[++first]));
    else if (!std::strcmp(argv[first], "-o") && first + 1 < argc)
      out_dir = argv[++first];
    else if (!std::strcmp(argv[first], "-d"))
      debug = true;
    else {
      std::fprintf(stderr, "usage: lumetra-overlay [-z zoom] [-o out_dir] [-d] image.bmp ...\n");
      return 2;
    }
  }
  if (first >= argc) {
    std::fprintf(stderr, "usage: lumetra-overlay [-z zoom] [-o out_dir] [-d] image.bmp ...\n");
    return 2;
  }
  int failures = 0;
  std::printf("image,rows,cols,status,minutiae,endings,bifurcations,cores,deltas,quality,area\n");
  for (int i = first; i < argc; ++i) {
    imageio::GreyImage img;
    std::string err;
    if (!imageio::read_file(argv[i], &img, &err)) {
      std::fprintf(stderr, "%s: %s\n", argv[i], err.c_str());
      ++failures;
      continue;
    }
    bal_extract_result r;
    std::memset(&r, 0, sizeof r);
    r.flags = BAL_EXTRACT_CORES | BAL_EXTRACT_DELTAS | (debug ? BAL_EXTRACT_DEBUG_PICTURE : 0);
    std::vector<uint8_t> px = img.pixels;
    const int rc = bal_extract(px.data(), img.rows, img.cols, &r);
    int endings = 0;
    for (int k = 0; k < r.minutiae.count; ++k) endings += r.minutiae.minutiae[k].type == 1;
    std::printf("%s,%d,%d,%d,%d,%d,%d,%d,%d,%d,%u\n", argv[i], img.rows, img.cols, rc, r.minutiae.count, endings,
                r.minutiae.count - endings, r.cores.count, r.deltas.count, r.finger_quality, r.area);
    // <folder>_<file> so that equal file names of different sets differ.
    std::string path = argv[i], base = path.substr(path.find_last_of('/') + 1);
    base = base.substr(0, base.find_last_of('.'));
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
      const std::string dir = path.substr(0, slash);
      base = dir.substr(dir.find_last_of('/') + 1) + "_" + base;
    }
    const uint8_t *under = debug && r.debug.picture ? r.debug.picture : img.pixels.data();
    const overlay::Rgb out = overlay::draw(under, img.rows, img.cols, r, zoom);
    if (!imageio::write_rgb_png(out_dir + "/" + base + "_overlay.png", out, &err)) {
      std::fprintf(stderr, "%s: %s\n", argv[i], err.c_str());
      ++failures;
    }
    bal_extract_release(&r);
  }
  return failures ? 1 : 0;
}
