// Template encoding after minutiae extraction.
#include "engine/formats/extract_template.h"

#include <cstring>

#include "engine/formats/ansi378.h"
#include "engine/formats/compact_card.h"
#include "engine/formats/fmt_guards.h"
#include "engine/formats/format_ids.h"
#include "engine/formats/hybrid_record.h"
#include "engine/formats/iso19794_2.h"
#include "engine/image/extract.h"
#include "engine/qx_alloc.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"


namespace {

// Pixel i of the test image.  Any fixed pattern serves: no sensor produces
// this exact ramp-and-noise picture.
uint8_t dummy_pixel(int i) { return static_cast<uint8_t>((i * 73 + (i >> 4) * 29 + 17) & 0xFF); }

// Minutia i of the dummy template: card units on a spiral, alternating types.
void dummy_minutia(int i, uint8_t *p) {
  p[0] = static_cast<uint8_t>(20 + (i * 37) % 160);
  p[1] = static_cast<uint8_t>(20 + (i * 53) % 160);
  p[2] = static_cast<uint8_t>((i % 2 == 0 ? 0x40 : 0x80) | ((i * 11) & 0x3F));
}

bool valid_ordering(int o) { return (o >= 1 && o <= 5) || (o >= 17 && o <= 21); }
bool valid_impression(int t) { return t == 0 || t == 1 || t == 2 || t == 3 || t == 8 || t == 29; }

qx_block_field field_view(const bal_block_field &f) {
  return qx_block_field{f.data, f.rows, f.cols, f.block, f.col_offset, f.row_offset, f.fine};
}

// Reference points of the record: the entries that were filled.
qx_ref_points ref_points(const bal_extract_result &r) {
  qx_ref_points p{};
  for (int i = 0; i < r.cores.count && i < 4; ++i) {
    const bal_core &c = r.cores.entries[i];
    if (!c.present) continue;
    p.cores[p.num_cores++] = qx_ref_point{c.row, c.col, c.direction, 1};
  }
  for (int i = 0; i < r.deltas.count && i < 4; ++i) {
    const bal_delta &d = r.deltas.entries[i];
    if (!d.present) continue;
    p.deltas[p.num_deltas++] = qx_ref_point{d.row, d.col, d.direction[0], 1};
  }
  return p;
}

// The standard record with the blocks chosen by `blocks`.
qx_rc standard_record(const minutiastruct &m, const qx_ref_points &pts, const bal_extract_result &r,
                      const qx_block_field &ori, const qx_block_field &frq, uint32_t flags,
                      uint32_t blocks, uint8_t **rec, uint32_t *n) {
  qx_rc rc = (flags & QX_CONTENT_V3) ? qx_minutiastruct_to_iso19794_2_v3(&m, rec, n)
                                   : qx_minutiastruct_to_iso19794_2_v2(&m, rec, n);
  if (rc == QX_RC_OK && (blocks & QX_CONTENT_REF_POINTS))
    rc = qx_iso19794_2_extend_ref_points(rec, n, &pts);
  if (rc == QX_RC_OK && (blocks & QX_CONTENT_ZONAL_QUALITY) && r.quality_field.data != nullptr) {
    const qx_block_field q{r.quality_field.data, r.quality_field.rows, r.quality_field.cols,
                           r.quality_field.block_h, 0, 0, nullptr};
    rc = qx_iso19794_2_extend_zonal_quality(rec, n, &q);
  }
  if (rc == QX_RC_OK && (blocks & QX_CONTENT_ORIENTATION) && ori.data != nullptr)
    rc = qx_iso19794_2_extend_orientation_field(rec, n, &ori, frq.data);
  if (rc == QX_RC_OK && (blocks & QX_CONTENT_FREQUENCY) && frq.data != nullptr)
    rc = qx_iso19794_2_extend_frequency_field(rec, n, &frq);
  if (rc != QX_RC_OK) {
    qx_free(*rec);
    *rec = nullptr;
  }
  return rc;
}

// Engine result codes of the record writers as image-layer statuses.
qxi_status status_of(qx_rc rc) {
  return rc == QX_RC_NO_MEMORY ? QXI_NO_MEMORY : rc == QX_RC_OK ? QXI_OK : QXI_OUT_OF_RANGE;
}

// Content flag -> extraction request bits.  Every content flag is either
// here or among the encoding-only flags; the assertions below keep it so.
struct ContentRequest {
  uint32_t content;
  uint32_t request;
};
constexpr ContentRequest kContentRequests[] = {
    {QX_CONTENT_REF_POINTS, BAL_EXTRACT_CORES | BAL_EXTRACT_DELTAS},
    {QX_CONTENT_ZONAL_QUALITY, BAL_EXTRACT_QUALITY_FIELD},
    {QX_CONTENT_ORIENTATION, BAL_EXTRACT_ORIENTATION_FIELD},
    {QX_CONTENT_FREQUENCY, BAL_EXTRACT_FREQUENCY_FIELD},
    {QX_CONTENT_FINE_FIELDS, BAL_EXTRACT_FINE_FIELDS},
    {QX_CONTENT_SPEED, BAL_EXTRACT_HALF_FREQUENCY},
    {QX_CONTENT_HALF_RESOLUTION, BAL_EXTRACT_250DPI},
};

constexpr uint32_t mapped_content() {
  uint32_t all = 0;
  for (const ContentRequest &m : kContentRequests) all |= m.content;
  return all;
}
constexpr uint32_t kAllContent = QX_CONTENT_REF_POINTS | QX_CONTENT_ZONAL_QUALITY | QX_CONTENT_ORIENTATION |
                                 QX_CONTENT_FREQUENCY | QX_CONTENT_PROPRIETARY | QX_CONTENT_FINE_FIELDS |
                                 QX_CONTENT_IMAGE | QX_CONTENT_V3 | QX_CONTENT_SPEED |
                                 QX_CONTENT_HALF_RESOLUTION | QX_CONTENT_OWN_BUFFER;
static_assert((mapped_content() & QX_CONTENT_ENCODING_ONLY) == 0,
              "a content flag is both encoding-only and an extraction request");
static_assert((mapped_content() | QX_CONTENT_ENCODING_ONLY) == kAllContent,
              "every content flag maps to extraction requests or is encoding-only");

}  // namespace

extern "C" {

uint32_t qx_extraction_request_of_content(uint32_t content, int format) {
  uint32_t request = 0;
  for (const ContentRequest &m : kContentRequests)
    if (content & m.content) request |= m.request;
  if (format == QX_FORMAT_CARD_TO_EHM) request |= BAL_EXTRACT_ORIENTATION_FIELD | BAL_EXTRACT_FREQUENCY_FIELD;
  return request;
}


int bal_origin_is_dummy(const uint8_t *pixels, int rows, int cols) {
  if (pixels == nullptr || rows != 16 || cols != 16) return 0;
  for (int i = 0; i < 256; ++i)
    if (pixels[i] != dummy_pixel(i)) return 0;
  return 1;
}

void bal_origin_get_dummy_image(uint8_t *pixels) {
  for (int i = 0; i < 256; ++i) pixels[i] = dummy_pixel(i);
}

qxi_status bal_origin_get_dummy_template(uint8_t **out, uint32_t *size) {
  // 7F2E { A1 { 90: 32 minutiae of 3 bytes } }, all lengths in short form.
  constexpr uint32_t kTotal = 7 + 96;
  auto *p = static_cast<uint8_t *>(qx_malloc(kTotal));
  if (p == nullptr) return QXI_NO_MEMORY;
  const uint8_t head[7] = {0x7F, 0x2E, 100, 0xA1, 98, 0x90, 96};
  std::memcpy(p, head, sizeof(head));
  for (int i = 0; i < 32; ++i) dummy_minutia(i, p + 7 + 3 * i);
  *out = p;
  *size = kTotal;
  return QXI_OK;
}

qxi_status qx_encode_extraction(const bal_extract_result *r, const uint8_t *image, int rows, int cols,
                                uint32_t flags, int format, int max_minutiae, uint8_t **out,
                                uint32_t *size) {
  if (r == nullptr || out == nullptr || size == nullptr) return QXI_OUT_OF_RANGE;
  *out = nullptr;
  *size = 0;
  minutiastruct m = r->minutiae;
  qx_ref_points pts = ref_points(*r);
  qx_block_field ori = field_view(r->orientation_field);
  qx_block_field frq = field_view(r->frequency_field);
  if (format == QX_FORMAT_ISO_RECORD) {
    uint8_t *rec;
    uint32_t n;
    const qx_rc rc = standard_record(m, pts, *r, ori, frq, flags, flags, &rec, &n);
    if (rc != QX_RC_OK) return status_of(rc);
    *out = rec;
    *size = n;
    return QXI_OK;
  }
  if (format == QX_FORMAT_ANSI378) {
    const qx_rc rc = (flags & QX_CONTENT_V3) ? qx_minutiastruct_to_ansi378_v3(&m, out, size)
                                           : qx_minutiastruct_to_ansi378_v2(&m, out, size);
    return status_of(rc);
  }
  if (format != QX_FORMAT_COMPACT_CARD && format != QX_FORMAT_CARD_TO_EHM) return QXI_OUT_OF_RANGE;

  qx_normalize_for_isocc(&m, &pts, &ori, &frq);
  qx::Buffer<uint8_t> rec;
  uint32_t rec_len = 0;
  qx_rc rc = standard_record(m, pts, *r, ori, frq, flags,
                           flags & (QX_CONTENT_REF_POINTS | QX_CONTENT_ZONAL_QUALITY), rec.slot(),
                           &rec_len);
  if (rc != QX_RC_OK) return status_of(rc);
  qx::Buffer<uint8_t> card;
  uint32_t card_len = 0;
  rc = qx_convert_iso_standard_to_compactcard(rec.get(), rec_len, max_minutiae, card.slot(), &card_len);
  if (rc == QX_RC_OK && (flags & QX_CONTENT_PROPRIETARY))
    rc = qx_iso_compactcard_extend_proprietary_data(card.slot(), &card_len, &m);
  if (rc != QX_RC_OK) return status_of(rc);

  const bool fields = format == QX_FORMAT_CARD_TO_EHM ||
                      ((flags & QX_CONTENT_ORIENTATION) && (flags & QX_CONTENT_FREQUENCY));
  if (!fields) {
    *out = card.get();
    *size = card_len;
    card.release();
    return QXI_OK;
  }
  if (format == QX_FORMAT_CARD_TO_EHM) {
    rc = qx_iso_compactcard_to_ehm(card.get(), card_len, &ori, &frq, out, size);
  } else {
    const int scale = (flags & QX_CONTENT_HALF_RESOLUTION) ? 2 : 1;
    qx_fusion_image img{rows * scale, cols * scale, r->finger_quality, nullptr, rows, cols};
    if ((flags & QX_CONTENT_IMAGE) && image != nullptr) img.pixels = image;
    rc = qx_iso_compactcard_to_iso_fusion(card.get(), card_len, &ori, &frq, &img, out, size);
  }
  return status_of(rc);
}

qxi_status bal_extract_template(uint8_t *pixels, int rows, int cols, int finger_position,
                                int impression_type, int min_minutiae, int max_minutiae, int ordering,
                                uint32_t flags, int format, uint8_t **out, uint32_t *size) {
  if (out != nullptr) *out = nullptr;
  if (size != nullptr) *size = 0;
  // With an owned buffer every path below frees it exactly once.
  qx::Buffer<uint8_t> owned;
  if (flags & QX_CONTENT_OWN_BUFFER) owned.adopt(pixels, 0);
  if (out == nullptr || size == nullptr || pixels == nullptr) return QXI_OUT_OF_RANGE;
  if (!valid_ordering(ordering) || finger_position < 0 || finger_position > 10 ||
      !valid_impression(impression_type))
    return QXI_OUT_OF_RANGE;
  if (bal_origin_is_dummy(pixels, rows, cols)) {
    const qxi_status st = bal_origin_get_dummy_template(out, size);
    return st != QXI_OK ? st : QXI_DUMMY_TEMPLATE;
  }
  if (format != QX_FORMAT_ISO_RECORD && format != QX_FORMAT_COMPACT_CARD &&
      format != QX_FORMAT_ANSI378 && format != QX_FORMAT_CARD_TO_EHM &&
      format != QX_FORMAT_EXTRACTION_RECORD)
    return QXI_OUT_OF_RANGE;

  auto *res = static_cast<bal_extract_result *>(qx_calloc(1, sizeof(bal_extract_result)));
  if (res == nullptr) return QXI_NO_MEMORY;
  const uint32_t req = qx_extraction_request_of_content(flags, format);
  res->flags = req;
  res->minutiae.max_minutiae = static_cast<uint8_t>(max_minutiae > 255 ? 255 : max_minutiae < 0 ? 0 : max_minutiae);
  res->minutiae.ordering = static_cast<uint8_t>(ordering);
  res->minutiae.finger_position = static_cast<uint8_t>(finger_position);
  res->minutiae.impression_type = static_cast<uint8_t>(impression_type);
  res->minutiae.device_id = QX_FORMAT_CAPTURE_DEVICE;
  if (req & BAL_EXTRACT_CORES) res->cores.request = 1;
  if (req & BAL_EXTRACT_DELTAS) res->deltas.request = 1;
  if (req & BAL_EXTRACT_QUALITY_FIELD) res->quality_field.request = 1;
  const uint32_t fine = (req & BAL_EXTRACT_FINE_FIELDS) ? 2u : 0u;
  if (req & BAL_EXTRACT_ORIENTATION_FIELD) res->orientation_field.request = 1 | fine;
  if (req & BAL_EXTRACT_FREQUENCY_FIELD) res->frequency_field.request = 1 | fine;

  // bal_extract keeps the buffer it is given only for the extraction; the
  // fusion record with the image needs the pixels afterwards.
  qxi_status status = bal_extract(pixels, rows, cols, res);
  if (status == QXI_OK && res->minutiae.count < min_minutiae) status = QXI_TOO_FEW_MINUTIAE;
  if (status == QXI_OK) {
    if (format == QX_FORMAT_EXTRACTION_RECORD) {
      // The record is handed over without the buffers hung on it.
      bal_extract_release(res);
      *out = reinterpret_cast<uint8_t *>(res);
      *size = sizeof(*res);
      return QXI_OK;
    }
    status = qx_encode_extraction(res, pixels, rows, cols, flags, format, max_minutiae, out, size);
  }
  bal_extract_release(res);
  qx_free(res);
  return status;
}

qxi_status BAL_EXTRACT_TEMPLATE_MOC(uint8_t *pixels, int rows, int cols, uint8_t **out, uint32_t *size) {
  return bal_extract_template(pixels, rows, cols, 0, 0, 0, 64, 21, QX_CONTENT_PROPRIETARY,
                              QX_FORMAT_COMPACT_CARD, out, size);
}

int bal_free_template(uint8_t *bytes) {
  qx_free(bytes);
  return 0;
}

}  // extern "C"
