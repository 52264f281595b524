#include "engine/image/qx_quality.h"

#include "engine/qx_alloc.h"

struct qx_quality {
  int32_t refs;
  uint8_t image_quality;
  uint16_t area;
  uint8_t condition;
};

extern "C" qx_quality *qx_quality_create(uint8_t image_quality, uint16_t area, uint8_t condition) {
  auto *q = static_cast<qx_quality *>(qx_calloc(1, sizeof(qx_quality)));
  if (!q) return nullptr;
  q->refs = 1;
  q->image_quality = image_quality;
  q->area = area;
  q->condition = condition;
  return q;
}

extern "C" qx_quality *qx_quality_copy(const qx_quality *quality) {
  if (!quality) return nullptr;
  return qx_quality_create(quality->image_quality, quality->area, quality->condition);
}

extern "C" qx_quality *qx_quality_retain(qx_quality *quality) {
  if (quality) ++quality->refs;
  return quality;
}

extern "C" void qx_quality_delete(qx_quality *quality) {
  if (!quality) return;
  if (--quality->refs > 0) return;
  qx_free(quality);
}

extern "C" uint8_t qx_quality_get_image_quality(const qx_quality *quality) {
  return quality ? quality->image_quality : 0;
}
extern "C" uint16_t qx_quality_get_area(const qx_quality *quality) { return quality ? quality->area : 0; }
extern "C" uint8_t qx_quality_get_condition(const qx_quality *quality) {
  return quality ? quality->condition : 0;
}
