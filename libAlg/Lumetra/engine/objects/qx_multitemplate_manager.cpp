// The multi-template manager: parameters, encoding, queries, copies and
// conversion.  Updates are in multitemplate_update.cpp.
#include "engine/objects/qx_multitemplate_manager.h"

#include "engine/formats/be_bytes.h"
#include "engine/formats/tlv.h"
#include "engine/objects/multitemplate_internal.hpp"
#include "engine/objects/multitemplate_manager_internal.hpp"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"
#include "engine/qx_refcount.hpp"

namespace {

constexpr uint16_t kFusionImageTag = 0xC2;  // the image inside a type-72 record

void destroy_manager(qx_multitemplate_manager *m) {
  qx_multitemplate_delete(m->mt);
  qx_free(m);
}

qx_multitemplate_manager *new_manager(qx_multitemplate *mt) {
  auto *m = static_cast<qx_multitemplate_manager *>(
      qx_calloc(1, sizeof(qx_multitemplate_manager)));
  if (m == nullptr) return nullptr;
  m->refs = 1;
  m->mt = mt;
  m->destroy = destroy_manager;
  return m;
}

bool has_island_metadata(const qx_multitemplate *mt) {
  for (const qx_mt_instance *in = mt->first; in != nullptr; in = in->next) {
    const qx_mt_record *rec = qx_mt::find_record(in->records, QX_MT_INSTANCE_KEY_ISLAND);
    if (rec != nullptr && rec->length > 0) return true;
  }
  return false;
}

// The index-th instance of the main island (main = true) or of a
// secondary island.
const qx_mt_instance *nth_instance(const qx_multitemplate *mt, bool main, int32_t index) {
  if (index < 0) return nullptr;
  for (const qx_mt_instance *in = mt->first; in != nullptr; in = in->next) {
    if ((qx_multitemplate_instance_is_main(mt, in->tag) != 0) != main) continue;
    if (index-- == 0) return in;
  }
  return nullptr;
}

int32_t count_instances(const qx_multitemplate_manager *m, bool main) {
  if (m == nullptr) return 0;
  int32_t n = 0;
  for (const qx_mt_instance *in = m->mt->first; in != nullptr; in = in->next) {
    if ((qx_multitemplate_instance_is_main(m->mt, in->tag) != 0) == main) ++n;
  }
  return n;
}

qx_template *instance_with_geometry(const qx_multitemplate_manager *m, bool main, int32_t index,
                                    qx_alignment **alignment, int32_t *island) {
  if (alignment != nullptr) *alignment = nullptr;
  if (island != nullptr) *island = 0;
  if (m == nullptr) return nullptr;
  const qx_mt_instance *in = nth_instance(m->mt, main, index);
  if (in == nullptr) return nullptr;
  if (alignment != nullptr) {
    *alignment = qx_multitemplate_get_instance_alignment(m->mt, in->tag);
    if (*alignment == nullptr) return nullptr;
  }
  if (island != nullptr) *island = qx_multitemplate_get_instance_island(m->mt, in->tag);
  return qx_template_retain(in->tpl);
}

// A type-72 hybrid record without its image element: the type-67 record.
int32_t drop_fusion_data(const qx_template *tpl, qx_template **out) {
  *out = nullptr;
  tlv_node *root = nullptr;
  const int rc = tlv_parse_buffer(qx_template_get_data(tpl), qx_template_get_data_size(tpl),
                                  &root);
  if (rc == QX_RC_NO_MEMORY) return QX_RC_NO_MEMORY;
  if (rc != QX_RC_OK) return QX_RC_BAD_DATA;
  while (tlv_node *image = tlv_find_tag_in_tree(root, kFusionImageTag)) {
    if (image == root) break;
    tlv_remove(image);
    tlv_delete(image);
  }
  uint8_t *bytes = nullptr;
  size_t size = 0;
  const int wrc = tlv_write_tree(root, &bytes, &size);
  tlv_delete(root);
  if (wrc != 0) return QX_RC_NO_MEMORY;
  *out = qx_template_create(QX_TEMPLATE_EHM, bytes, static_cast<uint32_t>(size));
  qx_free(bytes);
  return *out != nullptr ? QX_RC_OK : QX_RC_NO_MEMORY;
}

// Copies the instance's records into the same instance of `to`.
int32_t copy_instance_records(const qx_multitemplate *from, qx_multitemplate *to, int32_t tag) {
  const qx_mt_instance *in = qx_mt::find_instance(from, tag);
  for (const qx_mt_record *rec = in->records; rec != nullptr; rec = rec->next) {
    qx_mt_record *copy = qx_mt::new_record(rec->key, rec->data, rec->length);
    if (copy == nullptr) return QX_RC_NO_MEMORY;
    qx_mt::put_record(&qx_mt::find_instance(to, tag)->records, copy, false);
  }
  return QX_RC_OK;
}

int32_t convert_into(const qx_multitemplate *from, qx_multitemplate *to) {
  int32_t rc = QX_RC_OK;
  if (qx_multitemplate_get_metadata(from, QX_MT_GLOBAL_TAG, QX_MT_GLOBAL_KEY_MANAGER, nullptr)) {
    rc = qx_multitemplate_copy_metadata(from, to, QX_MT_GLOBAL_TAG, QX_MT_GLOBAL_KEY_MANAGER);
    if (rc != QX_RC_OK) return rc;
  }
  for (const qx_mt_instance *in = from->first; in != nullptr; in = in->next) {
    if (!qx_multitemplate_instance_is_main(from, in->tag)) continue;
    const int32_t type = qx_template_get_type(in->tpl);
    qx_template *tpl = nullptr;
    if (type == QX_TEMPLATE_EHM) {
      tpl = qx_template_retain(in->tpl);
    } else if (type == QX_TEMPLATE_EHM_FUSION) {
      rc = drop_fusion_data(in->tpl, &tpl);
      if (rc != QX_RC_OK) return rc;
    } else {
      return QX_RC_UNSUPPORTED;
    }
    rc = qx_multitemplate_add_instance(to, in->tag, tpl);
    qx_template_delete(tpl);
    if (rc == QX_RC_OK) rc = copy_instance_records(from, to, in->tag);
    if (rc != QX_RC_OK) return rc;
  }
  return QX_RC_OK;
}

}  // namespace

namespace qx_mtm {

int32_t write_params(qx_multitemplate_manager *m, int32_t keep_update_switch) {
  uint8_t rec[QX_MTM_PARAMS_LENGTH];
  rec[0] = m->max_templates;
  rec[1] = m->parameter;
  rec[2] = static_cast<uint8_t>((m->update_allowed && !keep_update_switch ? QX_MTM_FLAG_UPDATE_ALLOWED : 0) |
                                (m->second_flag ? QX_MTM_FLAG_SECOND : 0));
  qx_fmt::put32(rec + 3, m->max_size);
  return qx_multitemplate_set_metadata(m->mt, QX_MT_GLOBAL_TAG, QX_MT_GLOBAL_KEY_MANAGER, rec,
                                       sizeof rec);
}

void replace_multitemplate(qx_multitemplate_manager *m, qx_multitemplate *mt) {
  qx_multitemplate_delete(m->mt);
  m->mt = mt;
}

}  // namespace qx_mtm

extern "C" {

qx_multitemplate_manager *qx_multitemplate_manager_create(uint8_t max_nbr_templates) {
  qx_multitemplate *mt = qx_multitemplate_create();
  if (mt == nullptr) return nullptr;
  qx_multitemplate_manager *m = new_manager(mt);
  if (m == nullptr) {
    qx_multitemplate_delete(mt);
    return nullptr;
  }
  m->max_templates = max_nbr_templates;
  m->parameter = QX_MTM_PARAMETER_NEW;
  m->update_allowed = 1;
  m->second_flag = 1;
  if (qx_mtm::write_params(m, 0) != QX_RC_OK) {
    qx_multitemplate_manager_delete(m);
    return nullptr;
  }
  return m;
}

int32_t qx_multitemplate_manager_create_from_template(qx_template *tpl,
                                                      qx_multitemplate_manager **out) {
  if (out == nullptr) return QX_RC_BAD_ARGUMENT;
  *out = nullptr;
  qx_multitemplate *mt = nullptr;
  const int32_t rc = qx_multitemplate_decode(tpl, &mt);
  if (rc != QX_RC_OK) return rc;
  qx_multitemplate_manager *m = new_manager(mt);
  if (m == nullptr) {
    qx_multitemplate_delete(mt);
    return QX_RC_NO_MEMORY;
  }
  uint16_t length = 0;
  const uint8_t *rec =
      qx_multitemplate_get_metadata(mt, QX_MT_GLOBAL_TAG, QX_MT_GLOBAL_KEY_MANAGER, &length);
  if (rec != nullptr && length == QX_MTM_PARAMS_LENGTH) {
    m->max_templates = rec[0];
    m->parameter = rec[1];
    m->update_allowed = (rec[2] & QX_MTM_FLAG_UPDATE_ALLOWED) != 0;
    m->second_flag = (rec[2] & QX_MTM_FLAG_SECOND) != 0;
    m->max_size = qx_fmt::get32(rec + 3);
  } else {
    // Not made by a manager: nothing may change it.
    m->parameter = QX_MTM_PARAMETER_DEFAULT;
  }
  m->incremental = mt->count > 0 && !has_island_metadata(mt);
  *out = m;
  return QX_RC_OK;
}

qx_multitemplate_manager *qx_multitemplate_manager_create_with_template(qx_template *tpl) {
  qx_multitemplate_manager *m = nullptr;
  qx_multitemplate_manager_create_from_template(tpl, &m);
  return m;
}

qx_multitemplate_manager *qx_multitemplate_manager_retain(qx_multitemplate_manager *manager) {
  return qx::retain(manager);
}

void qx_multitemplate_manager_delete(qx_multitemplate_manager *manager) {
  qx::release(manager);
}

int32_t qx_multitemplate_manager_get_num_refs(const qx_multitemplate_manager *manager) {
  return qx::num_refs(manager);
}

void qx_multitemplate_manager_set_max_template_size(qx_multitemplate_manager *manager,
                                                    uint32_t size) {
  if (manager != nullptr) manager->max_size = size;
}

uint32_t qx_multitemplate_manager_get_max_template_size(const qx_multitemplate_manager *manager) {
  return manager != nullptr ? manager->max_size : 0;
}

void qx_multitemplate_manager_set_incremental_mode(qx_multitemplate_manager *manager) {
  if (manager != nullptr && !has_island_metadata(manager->mt)) manager->incremental = 1;
}

int32_t qx_multitemplate_manager_is_incremental(const qx_multitemplate_manager *manager) {
  return manager != nullptr ? manager->incremental : 0;
}

qx_template *qx_multitemplate_manager_encode(qx_multitemplate_manager *manager,
                                             int32_t keep_update_switch) {
  if (manager == nullptr || qx_mtm::write_params(manager, keep_update_switch) != QX_RC_OK) {
    return nullptr;
  }
  qx_template *out = nullptr;
  qx_multitemplate_encode(manager->mt, &out);
  return out;
}

qx_multitemplate *qx_multitemplate_manager_get_multitemplate(
    const qx_multitemplate_manager *manager) {
  return manager != nullptr ? manager->mt : nullptr;
}

int32_t qx_multitemplate_manager_get_max_nbr_of_templates(const qx_multitemplate_manager *manager) {
  return manager != nullptr ? manager->max_templates : 0;
}

void qx_multitemplate_manager_set_max_nbr_of_templates(qx_multitemplate_manager *manager,
                                                       uint8_t max_nbr_templates) {
  if (manager != nullptr) manager->max_templates = max_nbr_templates;
}

int32_t qx_multitemplate_manager_get_nbr_of_templates(const qx_multitemplate_manager *manager) {
  return count_instances(manager, true);
}

int32_t qx_multitemplate_manager_get_nbr_of_unenrolled_templates(
    const qx_multitemplate_manager *manager) {
  return count_instances(manager, false);
}

int32_t qx_multitemplate_manager_get_fill_grade(const qx_multitemplate_manager *manager) {
  if (manager == nullptr || manager->max_templates == 0) return 0;
  return count_instances(manager, true) * 100 / manager->max_templates;
}

qx_template *qx_multitemplate_manager_get_template(const qx_multitemplate_manager *manager,
                                                   int32_t index, qx_alignment **alignment,
                                                   int32_t *island) {
  return instance_with_geometry(manager, true, index, alignment, island);
}

qx_template *qx_multitemplate_manager_get_unenrolled_template(
    const qx_multitemplate_manager *manager, int32_t index, qx_alignment **alignment,
    int32_t *island) {
  return instance_with_geometry(manager, false, index, alignment, island);
}

qx_alignment *qx_multitemplate_manager_get_subtemplate_alignment(
    const qx_multitemplate_manager *manager, const qx_template *tpl, int32_t *island) {
  if (island != nullptr) *island = 0;
  if (manager == nullptr || tpl == nullptr) return nullptr;
  for (const qx_mt_instance *in = manager->mt->first; in != nullptr; in = in->next) {
    if (in->tpl != tpl) continue;
    if (island != nullptr) *island = qx_multitemplate_get_instance_island(manager->mt, in->tag);
    return qx_multitemplate_get_instance_alignment(manager->mt, in->tag);
  }
  return nullptr;
}

int32_t qx_multitemplate_manager_allows_further_updates(const qx_multitemplate_manager *manager) {
  return manager != nullptr ? manager->update_allowed : 0;
}

qx_multitemplate_manager *qx_multitemplate_manager_copy(qx_multitemplate_manager *manager) {
  qx_template *encoded = qx_multitemplate_manager_encode(manager, 0);
  if (encoded == nullptr) return nullptr;
  qx_multitemplate_manager *copy = qx_multitemplate_manager_create_with_template(encoded);
  qx_template_delete(encoded);
  return copy;
}

int32_t qx_multitemplate_manager_is_copy(const qx_template *tpl,
                                         qx_multitemplate_manager *manager) {
  if (tpl == nullptr || qx_template_get_type(tpl) != QX_TEMPLATE_MULTITEMPLATE) return 0;
  qx_template *encoded = qx_multitemplate_manager_encode(manager, 0);
  const int32_t same = qx_template_is_copy(tpl, encoded);
  qx_template_delete(encoded);
  return same;
}

int32_t qx_multitemplate_manager_convert(qx_template *tpl, int32_t target_type,
                                         qx_template **out) {
  if (out != nullptr) *out = nullptr;
  if (out == nullptr || tpl == nullptr) return QX_RC_BAD_ARGUMENT;
  if (target_type != QX_TEMPLATE_EHM) return QX_RC_UNSUPPORTED;
  qx_multitemplate *from = nullptr;
  int32_t rc = qx_multitemplate_decode(tpl, &from);
  if (rc == QX_RC_NO_MEMORY) return rc;
  if (rc != QX_RC_OK) return QX_RC_BAD_DATA;
  qx_multitemplate *to = qx_multitemplate_create();
  rc = to != nullptr ? convert_into(from, to) : QX_RC_NO_MEMORY;
  if (rc == QX_RC_OK) rc = qx_multitemplate_encode(to, out);
  qx_multitemplate_delete(to);
  qx_multitemplate_delete(from);
  return rc;
}

}  // extern "C"
