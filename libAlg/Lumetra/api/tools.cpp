// The library's exports for its own tools (api/lumetra_tools.h): the
// configuration, slots and enrollment counts of the library's state,
// templates in memory, and the engine's image and template conversions.
// The verification with per-slot scores lives with nerio_qx_verify
// (api/verification.cpp), whose path it is.
#include <cstring>

#include "api/lumetra_tools.h"
#include "api/state.h"
#include "engine/formats/bmp_convert.h"
#include "engine/formats/compact_card.h"
#include "engine/formats/extract_template.h"
#include "engine/formats/hybrid_record.h"
#include "engine/formats/qx_template_convert.h"
#include "engine/formats/tlv.h"
#include "engine/image/extract.h"
#include "engine/image/qx_image.h"
#include "engine/match/qx_verifier.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_alignment.h"
#include "engine/objects/qx_finger.h"
#include "engine/objects/qx_multitemplate_enroll.h"
#include "engine/objects/qx_template.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"

using lumetra::api::g_state;
using lumetra::api::kResolutionDpi;
using lumetra::api::kImpressionType;

static_assert(LUMETRA_TOOLS_SLOTS == lumetra::api::kSlotCount);
static_assert(LUMETRA_TOOLS_MAX_FAR == QX_THRESHOLD_COLUMNS - 1);

namespace {

constexpr int kNone = -1;

qx_template *engine_template(const lumetra_tools_template *tpl) {
  return reinterpret_cast<qx_template *>(const_cast<lumetra_tools_template *>(tpl));
}

}  // namespace

extern "C" {

int lumetra_tools_get_config(lumetra_tools_config *config) {
  if (config == nullptr) return kNone;
  *config = {kNone, kNone, kNone};
  const qx_algorithm *alg = g_state.engine.algorithm;
  if (alg == nullptr) return kNone;
  config->template_type = qx_algorithm_get_template_type(alg);
  config->sensor_type = qx_algorithm_get_sensor_type(alg);
  config->sensor_size = qx_algorithm_get_sensor_size(alg);
  return 0;
}

int lumetra_tools_slot_loaded(int slot) {
  return slot >= 0 && slot < lumetra::api::kSlotCount &&
         g_state.engine.slot_template[slot] != nullptr;
}

int lumetra_tools_get_enroll_counts(lumetra_tools_enroll_counts *counts) {
  if (counts == nullptr) return kNone;
  *counts = {};
  const qx_multitemplate_enroll *session = g_state.engine.enroll_session;
  if (session == nullptr) return kNone;
  counts->records = qx_multitemplate_enroll_get_nbr_of_records(session);
  counts->captures = qx_multitemplate_enroll_get_nbr_of_captures(session);
  counts->capacity = qx_multitemplate_enroll_get_capacity(session);
  return 0;
}

int32_t lumetra_tools_extract(const unsigned char *pixels, int rows, int cols,
                              lumetra_tools_template **tpl) {
  if (tpl == nullptr) return QX_RC_BAD_ARGUMENT;
  *tpl = nullptr;
  qx_algorithm *alg = g_state.engine.algorithm;
  if (alg == nullptr || pixels == nullptr || rows <= 0 || cols <= 0 || rows > 0xFFFF ||
      cols > 0xFFFF)
    return QX_RC_BAD_ARGUMENT;
  qx_image *image =
      qx_image_create(rows, cols, kResolutionDpi, kResolutionDpi, pixels, kImpressionType);
  if (image == nullptr) return QX_RC_NO_MEMORY;
  qx_image_mr_weak(image);
  qx_template *out = nullptr;
  const int32_t rc = qx_algorithm_extract_template(alg, image, qx_finger_static_zero(), &out);
  qx_image_delete(image);
  *tpl = reinterpret_cast<lumetra_tools_template *>(out);
  return rc;
}

void lumetra_tools_template_delete(lumetra_tools_template *tpl) {
  qx_template_delete(engine_template(tpl));
}

int32_t lumetra_tools_compare(const lumetra_tools_template *enrolled,
                              const lumetra_tools_template *probe, int32_t far,
                              lumetra_tools_comparison *comparison) {
  if (comparison == nullptr) return QX_RC_BAD_ARGUMENT;
  *comparison = {};
  qx_algorithm *alg = g_state.engine.algorithm;
  if (alg == nullptr || enrolled == nullptr || probe == nullptr) return QX_RC_BAD_ARGUMENT;
  // Templates of images of two sizes (their dimension blocks differ) are
  // not compared, as the verification does not compare them.
  int32_t rows[2] = {0, 0}, cols[2] = {0, 0};
  uint8_t quality = 0;
  const qx_template *both[2] = {engine_template(enrolled), engine_template(probe)};
  bool known = true;
  for (int i = 0; i < 2; ++i)
    known = known && qx_hybrid_get_dimensions(qx_template_get_data(both[i]),
                                              qx_template_get_data_size(both[i]), &rows[i],
                                              &cols[i], &quality) == QX_RC_OK;
  if (known && (rows[0] != rows[1] || cols[0] != cols[1])) return QX_RC_BAD_ARGUMENT;
  qx_alignment *alignment = nullptr;
  const int32_t rc =
      qx_algorithm_get_similarity_score(alg, engine_template(enrolled), engine_template(probe),
                                        far, &comparison->score, &comparison->decision,
                                        &alignment, nullptr);
  if (alignment != nullptr) {
    comparison->aligned = 1;
    comparison->dx = qx_alignment_get_dx(alignment);
    comparison->dy = qx_alignment_get_dy(alignment);
    comparison->rotation = qx_alignment_get_rotation(alignment);
  }
  qx_alignment_delete(alignment);
  return rc;
}

int32_t lumetra_tools_decode_bitmap(const unsigned char *bitmap, size_t size,
                                    unsigned char **pixels, unsigned int *cols,
                                    unsigned int *rows) {
  return qxbmp_bmpbuffer_to_buffer(bitmap, size, pixels, cols, rows);
}

int32_t lumetra_tools_resample_to_500(const unsigned char *pixels, int rows, int cols, int dpi_y,
                                      int dpi_x, unsigned char **out, int *out_rows,
                                      int *out_cols) {
  if (out == nullptr || out_rows == nullptr || out_cols == nullptr) return QX_RC_BAD_ARGUMENT;
  *out = nullptr;
  *out_rows = *out_cols = 0;
  if (pixels == nullptr || rows <= 0 || cols <= 0 || rows > 0xFFFF || cols > 0xFFFF ||
      dpi_y <= 0 || dpi_x <= 0 || dpi_y > 0xFFFF || dpi_x > 0xFFFF)
    return QX_RC_BAD_ARGUMENT;
  qx_image *source = qx_image_create(rows, cols, dpi_y, dpi_x, pixels, kImpressionType);
  qx_image *scaled =
      source != nullptr ? qx_image_scale_res(source, kResolutionDpi, kResolutionDpi) : nullptr;
  qx_image_delete(source);
  const uint8_t *scaled_pixels = scaled != nullptr ? qx_image_get_pixels(scaled) : nullptr;
  if (scaled_pixels == nullptr) {
    qx_image_delete(scaled);
    return QX_RC_UNSUPPORTED;
  }
  const int r = qx_image_get_rows(scaled), c = qx_image_get_cols(scaled);
  const size_t n = static_cast<size_t>(r) * static_cast<size_t>(c);
  *out = static_cast<unsigned char *>(qx_malloc(n > 0 ? n : 1));
  if (*out == nullptr) {
    qx_image_delete(scaled);
    return QX_RC_NO_MEMORY;
  }
  std::memcpy(*out, scaled_pixels, n);
  *out_rows = r;
  *out_cols = c;
  qx_image_delete(scaled);
  return QX_RC_OK;
}

int32_t lumetra_tools_extract_record(const unsigned char *pixels, int rows, int cols,
                                     int max_minutiae, int ordering, uint32_t flags, int format,
                                     uint8_t **bytes, uint32_t *size) {
  if (bytes != nullptr) *bytes = nullptr;
  if (size != nullptr) *size = 0;
  if (pixels == nullptr || rows <= 0 || cols <= 0) return QXI_OUT_OF_RANGE;
  // The extractor may work in the buffer it is given: it gets a copy.
  const size_t n = static_cast<size_t>(rows) * static_cast<size_t>(cols);
  uint8_t *work = static_cast<uint8_t *>(qx_malloc(n));
  if (work == nullptr) return QXI_NO_MEMORY;
  std::memcpy(work, pixels, n);
  const qxi_status status = bal_extract_template(work, rows, cols, 0, kImpressionType, 0,
                                                 max_minutiae, ordering, flags, format, bytes,
                                                 size);
  qx_free(work);
  return status;
}

int32_t lumetra_tools_convert_template(int32_t source_type, const uint8_t *bytes, uint32_t size,
                                       int32_t target_type, uint8_t **out, uint32_t *out_size) {
  return qx_template_convert_bytes(source_type, bytes, size, target_type, out, out_size);
}

int32_t lumetra_tools_record_type(const uint8_t *bytes, uint32_t size) {
  if (bytes == nullptr) return 0;
  if (size >= 4 && std::memcmp(bytes, "FMR", 4) == 0) return QX_TEMPLATE_ISO19794_2;
  if (size >= 2 && bytes[0] == (QX_CC_TAG_BDT >> 8) && bytes[1] == (QX_CC_TAG_BDT & 0xFF)) {
    tlv_element element;
    const bool spectral = qx_cc_find_element(bytes, size, QX_HYB_TAG_SPECTRAL, &element) != 0;
    return spectral ? QX_TEMPLATE_EHM : QX_TEMPLATE_ISO_COMPACT_CARD;
  }
  return 0;
}

int32_t lumetra_tools_find_features(const unsigned char *pixels, int rows, int cols,
                                    bal_extract_result *result) {
  if (result == nullptr) return QXI_OUT_OF_RANGE;
  const uint32_t flags = result->flags;
  std::memset(result, 0, sizeof *result);
  result->flags = flags;
  if (pixels == nullptr || rows <= 0 || cols <= 0) return QXI_OUT_OF_RANGE;
  const size_t n = static_cast<size_t>(rows) * static_cast<size_t>(cols);
  uint8_t *work = static_cast<uint8_t *>(qx_malloc(n));
  if (work == nullptr) return QXI_NO_MEMORY;
  std::memcpy(work, pixels, n);
  const qxi_status status = bal_extract(work, rows, cols, result);
  qx_free(work);
  return status;
}

void lumetra_tools_release_features(bal_extract_result *result) {
  if (result != nullptr) bal_extract_release(result);
}

void lumetra_tools_free(void *buffer) { qx_free(buffer); }

}  // extern "C"
