// Feature sets for the spectral matcher tests: hand-made grids, fields of
// generated prints through the extractor and the record encoder, and a
// match call that sizes its own work area.
#ifndef TEST_LUMETRA_MATCH_SPECTRAL_FIXTURES_HPP
#define TEST_LUMETRA_MATCH_SPECTRAL_FIXTURES_HPP

#include <cmath>
#include <cstdint>
#include <fpsynth/fpsynth.h>
#include <vector>

#include "engine/formats/hybrid_record.h"
#include "engine/formats/qx_template_convert.h"
#include "engine/image/extract.h"
#include "engine/image/qx_image.h"
#include "engine/match/qx_config.h"
#include "engine/match/spectral_match.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_session.h"
#include "engine/qx_alloc.h"

namespace spectral_test {

using Bytes = std::vector<uint8_t>;

inline void set_check_byte(Bytes &set) {
  set[9] = 0;
  uint8_t x = 0;
  for (uint8_t v : set) x ^= v;
  set[9] = x;
}

// A feature set of a rows x cols grid (blocks as (orientation, frequency)
// pairs), an optional fine field and quality byte, with its check byte.
inline Bytes make_set(int rows, int cols, const Bytes &blocks, const Bytes &fine = {},
                      int quality = -1, int block_size = 12) {
  Bytes s = {0x5B, 0xDA, 2, static_cast<uint8_t>(block_size), 500 >> 8, 500 & 0xFF,
             static_cast<uint8_t>(cols), static_cast<uint8_t>(rows), 0, 0};
  s.insert(s.end(), blocks.begin(), blocks.end());
  s.insert(s.end(), fine.begin(), fine.end());
  if (quality >= 0) s.push_back(static_cast<uint8_t>(quality));
  set_check_byte(s);
  return s;
}

inline Bytes uniform_blocks(int count, uint8_t orientation, uint8_t frequency) {
  Bytes b;
  for (int i = 0; i < count; ++i) {
    b.push_back(orientation);
    b.push_back(frequency);
  }
  return b;
}

// A field with structure: orientation and frequency vary smoothly across
// the grid, like a loop, so that every shift and turn changes the overlap.
inline Bytes swirl_blocks(int rows, int cols, double cy, double cx) {
  Bytes b;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      const double a = std::atan2(r - cy, c - cx);
      b.push_back(static_cast<uint8_t>(std::lround(a * 256 / M_PI) & 0xFF));
      b.push_back(static_cast<uint8_t>(90 + 3 * ((r + 2 * c) % 9)));
    }
  return b;
}

struct Fields {
  Bytes part;  // spectral part of the record
  int row_offset = 0;
  int col_offset = 0;
};

// The spectral part the record encoder writes for an image (long layout
// with the fine field when `fine`).
inline Fields fields_of_image(const uint8_t *pixels, int rows, int cols, bool fine) {
  bal_extract_result res{};
  res.flags = BAL_EXTRACT_ORIENTATION_FIELD | BAL_EXTRACT_FREQUENCY_FIELD | (fine ? BAL_EXTRACT_FINE_FIELDS : 0);
  res.orientation_field.request = res.frequency_field.request = fine ? 3 : 1;
  Bytes copy(pixels, pixels + static_cast<size_t>(rows) * cols);
  Fields out;
  if (bal_extract(copy.data(), rows, cols, &res) != 0) return out;
  const bal_block_field &o = res.orientation_field, &f = res.frequency_field;
  const qx_block_field qo{o.data, o.rows, o.cols, o.block, o.col_offset, o.row_offset, o.fine};
  const qx_block_field qf{f.data, f.rows, f.cols, f.block, f.col_offset, f.row_offset, f.fine};
  uint8_t *part = nullptr;
  uint32_t size = 0;
  if (qx_spectral_part_encode(&qo, &qf, &part, &size) == 0) {
    out.part.assign(part, part + size);
    qx_free(part);
  }
  out.row_offset = o.row_offset;
  out.col_offset = o.col_offset;
  bal_extract_release(&res);
  return out;
}

inline Bytes features_of_part(const Bytes &part, bool quick = false) {
  uint8_t *f = nullptr;
  uint32_t n = 0;
  if (qx_fusion_spectral_to_matcher(part.data(), static_cast<uint32_t>(part.size()), &f, &n, nullptr,
                                    nullptr, nullptr, nullptr, quick ? 1 : 0) != 0)
    return {};
  Bytes out(f, f + n);
  qx_free(f);
  return out;
}

// A capture's feature set as the library makes it: the configuration of the
// capture's sensor size extracts the hybrid template (resampling small
// sensors to its working resolution), whose spectral part is converted.
// Also gives the grid offsets and the working frame's scale (working pixels
// per capture pixel).  Empty when the extraction fails.
struct CaptureFeatures {
  Bytes set;
  int row_offset = 0;
  int col_offset = 0;
  double scale = 1;
};

inline CaptureFeatures features_of_capture(const uint8_t *pixels, int rows, int cols, bool quick = false) {
  CaptureFeatures out;
  qx_session *session = qx_session_create();
  qx_image *image = qx_image_create(rows, cols, 500, 500, pixels, 0);
  const qx_config_builder builder =
      image != nullptr ? qx_config_lookup("ehm", qx_image_get_sensor_size(image), 0) : nullptr;
  qx_algorithm *alg = builder != nullptr ? builder(session) : nullptr;
  qx_template *tpl = nullptr;
  uint8_t *part = nullptr;
  uint32_t size = 0;
  if (alg != nullptr && qx_algorithm_extract_template(alg, image, nullptr, &tpl) == 0 &&
      qx_template_convert(tpl, 66, &part, &size) == 0) {
    uint8_t *f = nullptr;
    uint32_t n = 0;
    int32_t y = 0, x = 0, r = 0, c = 0;
    if (qx_fusion_spectral_to_matcher(part, size, &f, &n, &y, &x, &r, &c, quick ? 1 : 0) == 0) {
      out.set.assign(f, f + n);
      out.row_offset = y;
      out.col_offset = x;
      qx_free(f);
    }
    // The working frame: the hybrid record's image-dimension block.
    int32_t wr = 0, wc = 0;
    uint8_t q = 0;
    if (qx_hybrid_get_dimensions(qx_template_get_data(tpl), qx_template_get_data_size(tpl), &wr, &wc, &q) == 0 &&
        cols > 0)
      out.scale = static_cast<double>(wc) / cols;
  }
  qx_free(part);
  qx_template_delete(tpl);
  qx_algorithm_delete(alg);
  qx_image_delete(image);
  qx_session_delete(session);
  return out;
}

struct MatchOut {
  int rc = -1;
  qx_spectral_result result{};
  int32_t decision = -1;
  qx_spectral_alignment alignment{};
};

inline MatchOut run_match(const Bytes &a, const Bytes &b, uint32_t flags, int level = 0,
                          const qx_spectral_alignment *given = nullptr) {
  MatchOut m;
  const uint32_t need = qx_spectral_match_required_mem(a.data(), static_cast<uint32_t>(a.size()), b.data(),
                                                       static_cast<uint32_t>(b.size()), flags);
  std::vector<uint8_t> work(need + 1);
  if (given != nullptr) m.alignment = *given;
  m.result.count = QX_SPECTRAL_RESULT_COUNT;
  m.rc = qx_spectral_match(work.data(), need, a.data(), static_cast<uint32_t>(a.size()), b.data(),
                           static_cast<uint32_t>(b.size()), level, &m.result, &m.decision, &m.alignment, flags);
  return m;
}

// An image of the master seen through p_B = R(theta) p_A + t, A being the
// rows x cols window of the master's rendering at (top, left); white
// outside the master.  theta in radians, x right, y down.
inline fpsynth::Image warp_window(const fpsynth::Image &master, int top, int left, int rows, int cols,
                                  double theta, double tx, double ty) {
  fpsynth::Image out(rows, cols, 255);
  const double c = std::cos(theta), s = std::sin(theta);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < cols; ++x) {
      // p_A = R(-theta) (p - t)
      const double px = x - tx, py = y - ty;
      const double ax = c * px + s * py + left, ay = -s * px + c * py + top;
      const int x0 = static_cast<int>(std::floor(ax)), y0 = static_cast<int>(std::floor(ay));
      if (x0 < 0 || y0 < 0 || x0 + 1 >= master.cols || y0 + 1 >= master.rows) continue;
      const double fx = ax - x0, fy = ay - y0;
      const double v = (1 - fy) * ((1 - fx) * master.at(y0, x0) + fx * master.at(y0, x0 + 1)) +
                       fy * ((1 - fx) * master.at(y0 + 1, x0) + fx * master.at(y0 + 1, x0 + 1));
      out.at(y, x) = static_cast<uint8_t>(std::lround(v));
    }
  return out;
}

}  // namespace spectral_test

#endif
