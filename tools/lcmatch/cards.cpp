#include "cards.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "engine/formats/extract_template.h"
#include "engine/formats/qx_template_convert.h"
#include "engine/image/qx_image.h"
#include "engine/match/qx_config.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_session.h"
#include "engine/qx_alloc.h"

namespace lcmatch {

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
  if (!imageio::read_file(path, &g, &error)) {
    error = path + ": " + error;
    return false;
  }
  if (!extract_card(g, card, error, product)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

}  // namespace lcmatch
