#include "cards.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "engine/formats/bmp_convert.h"
#include "engine/formats/extract_template.h"
#include "engine/formats/qx_template_convert.h"
#include "engine/image/qx_image.h"
#include "engine/match/qx_config.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_session.h"
#include "engine/qx_alloc.h"

namespace lcmatch {

bool read_bitmap(const std::string &path, Grey &out, std::string &error) {
  unsigned char *pixels = nullptr;
  unsigned int w = 0, h = 0;
  const int rc = qxbmp_bmpfile_to_buffer(path.c_str(), &pixels, &w, &h);
  if (rc != QX_RC_OK) {
    error = path + ": not a readable 8-bit bitmap (code " + std::to_string(rc) + ")";
    return false;
  }
  out.rows = static_cast<int>(h);
  out.cols = static_cast<int>(w);
  out.pixels.assign(pixels, pixels + static_cast<size_t>(w) * h);
  qxbmp_free(pixels);
  return true;
}

Grey window(const Grey &image, int row, int col, int rows, int cols) {
  row = std::clamp(row, 0, std::max(0, image.rows - rows));
  col = std::clamp(col, 0, std::max(0, image.cols - cols));
  Grey w;
  w.rows = std::min(rows, image.rows);
  w.cols = std::min(cols, image.cols);
  w.pixels.resize(static_cast<size_t>(w.rows) * w.cols);
  for (int r = 0; r < w.rows; ++r)
    for (int c = 0; c < w.cols; ++c)
      w.pixels[static_cast<size_t>(r) * w.cols + c] =
          image.pixels[static_cast<size_t>(row + r) * image.cols + col + c];
  return w;
}

void print_centre_window(const Grey &image, int rows, int cols, int &row, int &col) {
  constexpr int kBlock = 8;
  double sr = 0, sc = 0, n = 0;
  for (int br = 0; br + kBlock <= image.rows; br += kBlock)
    for (int bc = 0; bc + kBlock <= image.cols; bc += kBlock) {
      double s = 0, s2 = 0;
      for (int r = br; r < br + kBlock; ++r)
        for (int c = bc; c < bc + kBlock; ++c) {
          const double v = image.pixels[static_cast<size_t>(r) * image.cols + c];
          s += v;
          s2 += v * v;
        }
      const double mean = s / (kBlock * kBlock), var = s2 / (kBlock * kBlock) - mean * mean;
      if (var < 400) continue;  // background: a standard deviation below 20 grey levels
      sr += br + kBlock / 2;
      sc += bc + kBlock / 2;
      n += 1;
    }
  const int cr = n > 0 ? static_cast<int>(sr / n) : image.rows / 2;
  const int cc = n > 0 ? static_cast<int>(sc / n) : image.cols / 2;
  row = std::clamp(cr - rows / 2, 0, std::max(0, image.rows - rows));
  col = std::clamp(cc - cols / 2, 0, std::max(0, image.cols - cols));
}

namespace {

bool product_card(const Grey &image, Bytes &card, std::string &error) {
  static qx_session *session = qx_session_create();
  static qx_algorithm *alg = square_xs_create(session);
  if (alg == nullptr) {
    error = "the sensor configuration cannot be built";
    return false;
  }
  qx_image *im = qx_image_create(image.rows, image.cols, 500, 500, image.pixels.data(), 0);
  qx_template *tpl = nullptr;
  const int rc = im ? qx_algorithm_extract_template(alg, im, nullptr, &tpl) : 9;
  qx_image_delete(im);
  if (rc != 0) {
    error = "extraction failed (code " + std::to_string(rc) + ")";
    return false;
  }
  uint8_t *out = nullptr;
  uint32_t size = 0;
  const int cc = qx_template_convert(tpl, 2, &out, &size);
  qx_template_delete(tpl);
  if (cc != 0) {
    error = "no compact-card part (code " + std::to_string(cc) + ")";
    return false;
  }
  card.assign(out, out + size);
  qx_free(out);
  return true;
}

}  // namespace

bool extract_card(const Grey &image, Bytes &card, std::string &error, bool product) {
  card.clear();
  if (product) return product_card(image, card, error);
  std::vector<uint8_t> pixels = image.pixels;
  uint8_t *out = nullptr;
  uint32_t size = 0;
  const int rc = BAL_EXTRACT_TEMPLATE_MOC(pixels.data(), image.rows, image.cols, &out, &size);
  if (rc != 0) {
    error = "extraction failed (status " + std::to_string(rc) + ")";
    return false;
  }
  card.assign(out, out + size);
  bal_free_template(out);
  return true;
}

bool load_card(const std::string &path, Bytes &card, std::string &error, bool product) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    error = path + ": cannot be opened";
    return false;
  }
  Bytes bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (bytes.size() >= 2 && bytes[0] == 0x7F && bytes[1] == 0x2E) {
    card = bytes;
    return true;
  }
  Grey g;
  if (!read_bitmap(path, g, error)) return false;
  if (!extract_card(g, card, error, product)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

}  // namespace lcmatch
