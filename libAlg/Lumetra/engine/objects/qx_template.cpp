// Template objects and the template type helpers.
#include "engine/objects/qx_template.h"

#include <cstring>

#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"
#include "engine/qx_refcount.hpp"


struct qx_template {
  int32_t refs;
  uint8_t *data;
  uint32_t size;
  int32_t type;
  int32_t memory_referenced;  // bytes belong to the caller
  int32_t writable;
  qx_template_release_fn release;
  void *release_data;
  void (*destroy)(qx_template *);
};

namespace {

void destroy_template(qx_template *t) {
  if (t->release != nullptr) t->release(t->release_data);
  if (!t->memory_referenced) qx_free(t->data);
  qx_free(t);
}

qx_template *new_template(int32_t type) {
  auto *t = static_cast<qx_template *>(qx_calloc(1, sizeof(qx_template)));
  if (t == nullptr) return nullptr;
  t->refs = 1;
  t->type = type;
  t->destroy = destroy_template;
  return t;
}

}  // namespace

extern "C" {

qx_template *qx_template_create(int32_t type, const uint8_t *bytes, uint32_t size) {
  if (bytes == nullptr && size != 0) return nullptr;
  qx_template *t = new_template(type);
  if (t == nullptr) return nullptr;
  if (size != 0) {
    t->data = static_cast<uint8_t *>(qx_calloc(1, size));
    if (t->data == nullptr) {
      qx_free(t);
      return nullptr;
    }
    std::memcpy(t->data, bytes, size);
  }
  t->size = size;
  t->writable = 1;
  return t;
}

qx_template *qx_template_create_mre(int32_t type, const uint8_t *bytes, uint32_t size,
                                    int32_t is_const, qx_template_release_fn release,
                                    void *user_data) {
  if (bytes == nullptr && size != 0) return nullptr;
  qx_template *t = new_template(type);
  if (t == nullptr) return nullptr;
  // The caller's buffer is only ever read through the template; writing
  // is allowed only when the caller said the bytes are not constant.
  t->data = const_cast<uint8_t *>(bytes);
  t->size = size;
  t->memory_referenced = 1;
  t->writable = is_const ? 0 : 1;
  t->release = release;
  t->release_data = user_data;
  return t;
}

qx_template *qx_template_create_mr(int32_t type, const uint8_t *bytes, uint32_t size) {
  // Not constant: templates derived from it may keep referring to the
  // caller's bytes instead of copying them.
  return qx_template_create_mre(type, bytes, size, 0, nullptr, nullptr);
}

qx_template *qx_template_retain(qx_template *tpl) {
  return qx::retain(tpl);
}

void qx_template_delete(qx_template *tpl) {
  qx::release(tpl);
}

int32_t qx_template_get_num_refs(const qx_template *tpl) {
  return qx::num_refs(tpl);
}

const uint8_t *qx_template_get_data(const qx_template *tpl) {
  return tpl != nullptr ? tpl->data : nullptr;
}

uint8_t *qx_template_get_writable_data(qx_template *tpl) {
  return tpl != nullptr && tpl->writable ? tpl->data : nullptr;
}

uint32_t qx_template_get_data_size(const qx_template *tpl) {
  return tpl != nullptr ? tpl->size : 0;
}

int32_t qx_template_get_type(const qx_template *tpl) {
  return tpl != nullptr ? qx_template_type_report(tpl->type) : 0;
}

int32_t qx_template_get_stored_type(const qx_template *tpl) {
  return tpl != nullptr ? tpl->type : 0;
}

void qx_template_set_type(qx_template *tpl, int32_t type) {
  if (tpl != nullptr) tpl->type = type;
}

int32_t qx_template_get_mr_const(const qx_template *tpl) {
  return tpl != nullptr && !tpl->writable ? 1 : 0;
}

void qx_template_set_mr_const(qx_template *tpl, int32_t is_const) {
  if (tpl != nullptr) tpl->writable = is_const ? 0 : 1;
}

int32_t qx_template_is_mr(const qx_template *tpl) {
  return tpl != nullptr ? tpl->memory_referenced : 0;
}

qx_template *qx_template_copy(const qx_template *tpl) {
  if (tpl == nullptr) return nullptr;
  return qx_template_create(tpl->type, tpl->data, tpl->size);
}

int32_t qx_template_is_copy(const qx_template *a, const qx_template *b) {
  if (a == nullptr || b == nullptr) return 0;
  if (a->size != b->size) return 0;
  if (a->size == 0) return 1;
  return std::memcmp(a->data, b->data, a->size) == 0 ? 1 : 0;
}

int32_t qx_template_type_report(int32_t type) {
  switch (type) {
    case QX_TEMPLATE_ISO19794_2_NOEXT: return QX_TEMPLATE_ISO19794_2;
    case QX_TEMPLATE_ISO_COMPACT_CARD_NOEXT: return QX_TEMPLATE_ISO_COMPACT_CARD;
    case QX_TEMPLATE_ANSI378_NOEXT: return QX_TEMPLATE_ANSI378;
    case QX_TEMPLATE_EHM_NOEXT:
    case QX_TEMPLATE_EHMHR: return QX_TEMPLATE_EHM;
    default: return type;
  }
}

int32_t qx_template_type_is_fusion(int32_t type) {
  return type == QX_TEMPLATE_EHM_FUSION || type == QX_TEMPLATE_EHMHR_FUSION ? 1 : 0;
}

int32_t qx_template_type_to_fusion(int32_t type) {
  if (type == QX_TEMPLATE_EHM) return QX_TEMPLATE_EHM_FUSION;
  if (type == QX_TEMPLATE_EHMHR) return QX_TEMPLATE_EHMHR_FUSION;
  return type;
}

int32_t qx_template_type_from_fusion(int32_t type) {
  if (type == QX_TEMPLATE_EHM_FUSION) return QX_TEMPLATE_EHM;
  if (type == QX_TEMPLATE_EHMHR_FUSION) return QX_TEMPLATE_EHMHR;
  return type;
}

}  // extern "C"
