// The embedded (hybrid) template extractors: options from the session,
// working resolution, template type table, extraction and encoding.
#include "engine/match/embedded_extractor.h"

#include <cstdlib>

#include "engine/formats/extract_template.h"
#include "engine/image/resample.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"
#include "engine/qx_sensor.h"

namespace {

struct Variant {
  int resolution;         // working resolution (dpi)
  int raised_resolution;  // for the small sensor sizes (square s and xs, oblong s)
  int multiple;           // geometry multiple
  int tolerance;          // dpi
  uint32_t extra_flag;
};

constexpr Variant kEmbedded = {QX_LIBRARY_DPI, 650, 12, 8, 0};
constexpr Variant kSpeed = {QX_LIBRARY_DPI, 650, 12, 8, QX_CONTENT_SPEED};
constexpr Variant kSpeedMem = {250, 325, 6, 4, QX_CONTENT_HALF_RESOLUTION};

int round_up(int v, int m) { return (v + m - 1) / m * m; }

int target_resolution(const qx_session *session, const Variant &v) {
  const int size = qx_session_get_sensor_size(session);
  const bool small =
      size == QX_SENSOR_SQUARE_S || size == QX_SENSOR_SQUARE_XS || size == QX_SENSOR_RECT_S;
  const bool ignore = qx_session_get_int(session, "qx.embedded_extractor.ignore_scaling", 0) != 0;
  return small && !ignore ? v.raised_resolution : v.resolution;
}

void pref_idim(const qx_session *session, const Variant &v, int32_t vres, int32_t hres,
               int32_t rows, int32_t cols, int32_t *ov, int32_t *oh, int32_t *orows,
               int32_t *ocols) {
  int32_t rv = vres, rh = hres, rr = rows, rc = cols;
  if (vres > 0 && hres > 0 && rows > 0 && cols > 0) {
    const int R = target_resolution(session, v);
    const int M = v.multiple, T = v.tolerance;
    int64_t r = (static_cast<int64_t>(rows) * R + vres / 2) / vres;
    int64_t c = (static_cast<int64_t>(cols) * R + hres / 2) / hres;
    if (r < c) {
      r = round_up(static_cast<int>(r), M);
      c = (cols * r + rows / 2) / rows;
    } else if (r == c) {
      r = c = round_up(static_cast<int>(r), M);
    } else {
      c = round_up(static_cast<int>(c), M);
      r = (rows * c + cols / 2) / cols;
    }
    if (std::abs(vres - R) > T || std::abs(hres - R) > T) {
      const int64_t nv = (rows / 2 + static_cast<int64_t>(vres) * r) / rows;
      const int64_t nh = (cols / 2 + static_cast<int64_t>(hres) * c) / cols;
      if (std::llabs(vres - nv) > T || std::llabs(hres - nh) > T) {
        rv = static_cast<int32_t>(nv);
        rh = static_cast<int32_t>(nh);
        rr = static_cast<int32_t>(r);
        rc = static_cast<int32_t>(c);
      }
    }
  }
  if (ov != nullptr) *ov = rv;
  if (oh != nullptr) *oh = rh;
  if (orows != nullptr) *orows = rr;
  if (ocols != nullptr) *ocols = rc;
}

int32_t extract(const Variant &v, qx_session *session, qx_image *image, qx_finger *finger,
                int32_t requested, qx_template **out) {
  if (out == nullptr) return QX_RC_BAD_ARGUMENT;
  *out = nullptr;
  if (image == nullptr) return QX_RC_BAD_ARGUMENT;
  const int rows = qx_image_get_rows(image), cols = qx_image_get_cols(image);
  const int res = qx_image_get_vertical_resolution(image);  // stands for both axes

  // Options are read at every extraction so that changes apply at once.
  const int order = embedded_order_code(qx_session_get_int(session, "qx.minutiae_order", 0));
  const int max_minutiae = qx_session_get_int(session, "qx.max_minutiae", 64) & 0xFF;
  int32_t out_type;
  uint32_t flags;
  int format;
  if (embedded_requested_type(requested, &out_type, &flags, &format) != QX_RC_OK) return QX_RC_UNSUPPORTED;
  flags |= v.extra_flag;

  int32_t pv, ph, pr, pc;
  pref_idim(session, v, res, res, rows, cols, &pv, &ph, &pr, &pc);
  uint8_t *pixels = nullptr;
  int work_rows = rows, work_cols = cols;
  if (pv != res) {
    // A rescaled copy at the preferred geometry, owned by the extraction.
    const uint8_t *src = qx_image_get_pixels(image);
    if (src == nullptr) return QX_RC_NO_MEMORY;
    pixels = static_cast<uint8_t *>(qx_malloc(static_cast<size_t>(pr) * pc));
    if (pixels == nullptr) return QX_RC_NO_MEMORY;
    if (bal_scale_bilinear(src, rows, cols, pixels, pr, pc) != QXI_OK) {
      qx_free(pixels);
      return QX_RC_NO_MEMORY;
    }
    work_rows = pr;
    work_cols = pc;
    flags |= QX_CONTENT_OWN_BUFFER;
  } else {
    pixels = qx_image_get_pixels(image);
    if (pixels == nullptr) return QX_RC_BAD_ARGUMENT;
    // A weak, non-constant image gives its buffer up to the extraction.
    if (!qx_image_get_mr_const(image) && qx_image_mr_release(image, qx_free) == 1)
      flags |= QX_CONTENT_OWN_BUFFER;
  }
  uint8_t *bytes = nullptr;
  uint32_t size = 0;
  const int position = finger != nullptr ? qx_finger_get_position(finger) : 0;
  const qxi_status status = bal_extract_template(pixels, work_rows, work_cols, position,
                                                 qx_image_get_impression_type(image), 0, max_minutiae,
                                                 order, flags, format, &bytes, &size);
  if (status != QXI_OK || bytes == nullptr) {
    bal_free_template(bytes);
    const qx_rc rc = qx_rc_convert_from_qxi(status);
    return rc != QX_RC_OK ? rc : QX_RC_FAILED;
  }
  *out = qx_template_create(out_type, bytes, size);
  bal_free_template(bytes);
  return *out != nullptr ? QX_RC_OK : QX_RC_NO_MEMORY;
}

}  // namespace

extern "C" {

int embedded_order_code(int32_t value) {
  if (value == 0) return 21;
  const int key = (value >> 2) & 7;
  const bool descending = (value & 3) == 2;
  if (key >= 1 && key <= 4) return key + (descending ? 16 : 0);
  return 21;
}

qx_rc embedded_requested_type(int32_t requested, int32_t *out_type, uint32_t *flags, int *format) {
  struct Row {
    int32_t requested, type;
    uint32_t flags;
    int format;
  };
  // Every record carries the reference points and the card's proprietary
  // block; the hybrid types add the two fields, the image, fine fields.
  constexpr uint32_t kCard = QX_CONTENT_REF_POINTS | QX_CONTENT_PROPRIETARY;
  constexpr uint32_t kCardV3 = kCard | QX_CONTENT_V3;
  constexpr uint32_t kHybrid = kCardV3 | QX_CONTENT_ORIENTATION | QX_CONTENT_FREQUENCY;
  constexpr uint32_t kWithImage = QX_CONTENT_IMAGE;
  constexpr uint32_t kFine = QX_CONTENT_FINE_FIELDS;
  static constexpr Row kRows[] = {
      {1, 1, kCardV3, QX_FORMAT_ISO_RECORD},
      {2, 2, kCardV3, QX_FORMAT_COMPACT_CARD},
      {3, 3, kCardV3, QX_FORMAT_ANSI378},
      {4, 1, kCard, QX_FORMAT_ISO_RECORD},
      {5, 2, kCard, QX_FORMAT_COMPACT_CARD},
      {6, 3, kCard, QX_FORMAT_ANSI378},
      {67, 67, kHybrid, QX_FORMAT_COMPACT_CARD},
      {72, 72, kHybrid | kWithImage, QX_FORMAT_COMPACT_CARD},
      {73, 67, kCard, QX_FORMAT_CARD_TO_EHM},
      {74, 67, kHybrid | kFine, QX_FORMAT_COMPACT_CARD},
      {75, 72, kHybrid | kFine | kWithImage, QX_FORMAT_COMPACT_CARD},
  };
  static_assert(kCardV3 == 0x0442 && kCard == 0x0042 && kHybrid == 0x0472 && (kHybrid | kWithImage) == 0x0672 &&
                    (kHybrid | kFine) == 0x04F2 && (kHybrid | kFine | kWithImage) == 0x06F2,
                "the rows' content flags are those of the template type table");
  for (const Row &r : kRows) {
    if (r.requested != requested) continue;
    if (out_type != nullptr) *out_type = r.type;
    if (flags != nullptr) *flags = r.flags;
    if (format != nullptr) *format = r.format;
    return QX_RC_OK;
  }
  return QX_RC_UNSUPPORTED;
}

int32_t embedded_extract_template(qx_session *s, qx_image *image, qx_finger *finger, int32_t type,
                                  qx_template **out) {
  return extract(kEmbedded, s, image, finger, type, out);
}
int32_t embedded_extract_template_speed(qx_session *s, qx_image *image, qx_finger *finger,
                                        int32_t type, qx_template **out) {
  return extract(kSpeed, s, image, finger, type, out);
}
int32_t embedded_extract_template_speedmem(qx_session *s, qx_image *image, qx_finger *finger,
                                           int32_t type, qx_template **out) {
  return extract(kSpeedMem, s, image, finger, type, out);
}

void embedded_pref_idim(qx_session *s, int32_t vres, int32_t hres, int32_t rows, int32_t cols,
                        int32_t *ov, int32_t *oh, int32_t *orows, int32_t *ocols) {
  pref_idim(s, kEmbedded, vres, hres, rows, cols, ov, oh, orows, ocols);
}
void embedded_pref_idim_speed(qx_session *s, int32_t vres, int32_t hres, int32_t rows, int32_t cols,
                              int32_t *ov, int32_t *oh, int32_t *orows, int32_t *ocols) {
  pref_idim(s, kSpeed, vres, hres, rows, cols, ov, oh, orows, ocols);
}
void embedded_pref_idim_speedmem(qx_session *s, int32_t vres, int32_t hres, int32_t rows,
                                 int32_t cols, int32_t *ov, int32_t *oh, int32_t *orows,
                                 int32_t *ocols) {
  pref_idim(s, kSpeedMem, vres, hres, rows, cols, ov, oh, orows, ocols);
}

}  // extern "C"
