// The multi-template object: instances with tags, instance and global
// metadata records.
#include "engine/objects/qx_multitemplate.h"

#include <cstring>

#include "engine/formats/be_bytes.h"
#include "engine/objects/multitemplate_internal.hpp"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"
#include "engine/qx_refcount.hpp"

namespace qx_mt {

qx_mt_record *new_record(uint8_t key, const uint8_t *data, uint16_t length) {
  auto *rec = static_cast<qx_mt_record *>(qx_malloc(sizeof(qx_mt_record) + length));
  if (rec == nullptr) return nullptr;
  rec->next = nullptr;
  rec->data = reinterpret_cast<uint8_t *>(rec + 1);
  rec->length = length;
  rec->key = key;
  if (length != 0) std::memcpy(rec->data, data, length);
  return rec;
}

void free_records(qx_mt_record *list) {
  while (list != nullptr) {
    qx_mt_record *next = list->next;
    qx_free(list);
    list = next;
  }
}

qx_mt_record *find_record(qx_mt_record *list, uint8_t key) {
  for (; list != nullptr; list = list->next) {
    if (list->key == key) return list;
  }
  return nullptr;
}

void put_record(qx_mt_record **list, qx_mt_record *rec, bool at_front) {
  qx_mt_record **link = list;
  for (; *link != nullptr; link = &(*link)->next) {
    if ((*link)->key == rec->key) {
      qx_mt_record *old = *link;
      rec->next = old->next;
      *link = rec;
      qx_free(old);
      return;
    }
  }
  if (at_front) {
    rec->next = *list;
    *list = rec;
  } else {
    rec->next = nullptr;
    *link = rec;
  }
}

qx_mt_instance *find_instance(const qx_multitemplate *mt, int32_t tag) {
  for (qx_mt_instance *in = mt->first; in != nullptr; in = in->next) {
    if (in->tag == tag) return in;
  }
  return nullptr;
}

int32_t append_instance(qx_multitemplate *mt, int32_t tag, qx_template *tpl,
                        qx_mt_instance **out) {
  if (tag == QX_MT_GLOBAL_TAG || tpl == nullptr || find_instance(mt, tag) != nullptr) {
    return QX_RC_BAD_ARGUMENT;
  }
  if (mt->count >= QX_MT_MAX_INSTANCES) return QX_RC_UNSUPPORTED;
  auto *in = static_cast<qx_mt_instance *>(qx_calloc(1, sizeof(qx_mt_instance)));
  if (in == nullptr) return QX_RC_NO_MEMORY;
  in->tag = tag;
  in->tpl = qx_template_retain(tpl);
  if (mt->last != nullptr) mt->last->next = in; else mt->first = in;
  mt->last = in;
  ++mt->count;
  if (out != nullptr) *out = in;
  return QX_RC_OK;
}

}  // namespace qx_mt

namespace {

using qx_mt::find_instance;
using qx_mt::find_record;

void free_instance(qx_mt_instance *in) {
  qx_template_delete(in->tpl);
  qx_mt::free_records(in->records);
  qx_free(in);
}

void destroy_multitemplate(qx_multitemplate *mt) {
  qx_multitemplate_remove_all_instances(mt);
  qx_mt::free_records(mt->global);
  qx_free(mt);
}

// The record list of an owner: the global list for QX_MT_GLOBAL_TAG, else
// the instance's list; none when the instance is absent.
qx_mt_record **owner_list(qx_multitemplate *mt, int32_t tag) {
  if (tag == QX_MT_GLOBAL_TAG) return &mt->global;
  qx_mt_instance *in = find_instance(mt, tag);
  return in != nullptr ? &in->records : nullptr;
}

qx_mt_record *owner_first(const qx_multitemplate *mt, int32_t tag, bool *owner_found) {
  if (tag == QX_MT_GLOBAL_TAG) {
    *owner_found = true;
    return mt->global;
  }
  const qx_mt_instance *in = find_instance(mt, tag);
  *owner_found = in != nullptr;
  return in != nullptr ? in->records : nullptr;
}

int32_t store_metadata(qx_multitemplate *mt, int32_t tag, uint8_t key, const uint8_t *data,
                       uint16_t length, bool replace) {
  if (mt == nullptr || (data == nullptr && length != 0)) return QX_RC_BAD_ARGUMENT;
  qx_mt_record **list = owner_list(mt, tag);
  if (list == nullptr) return QX_RC_ENTRY_ABSENT;
  if (!replace && find_record(*list, key) != nullptr) return QX_RC_BAD_ARGUMENT;
  qx_mt_record *rec = qx_mt::new_record(key, data, length);
  if (rec == nullptr) return QX_RC_NO_MEMORY;
  qx_mt::put_record(list, rec, true);
  return QX_RC_OK;
}

}  // namespace

extern "C" {

qx_multitemplate *qx_multitemplate_create(void) {
  auto *mt = static_cast<qx_multitemplate *>(qx_calloc(1, sizeof(qx_multitemplate)));
  if (mt == nullptr) return nullptr;
  mt->refs = 1;
  mt->destroy = destroy_multitemplate;
  return mt;
}

qx_multitemplate *qx_multitemplate_retain(qx_multitemplate *mt) {
  return qx::retain(mt);
}

void qx_multitemplate_delete(qx_multitemplate *mt) {
  qx::release(mt);
}

int32_t qx_multitemplate_get_num_refs(const qx_multitemplate *mt) {
  return qx::num_refs(mt);
}

int32_t qx_multitemplate_add_instance(qx_multitemplate *mt, int32_t tag, qx_template *tpl) {
  if (mt == nullptr) return QX_RC_BAD_ARGUMENT;
  return qx_mt::append_instance(mt, tag, tpl, nullptr);
}

int32_t qx_multitemplate_add_instance_no_tag(qx_multitemplate *mt, qx_template *tpl,
                                             int32_t *tag) {
  if (tag != nullptr) *tag = 0;
  if (mt == nullptr || tag == nullptr) return QX_RC_BAD_ARGUMENT;
  int32_t highest = 0;
  for (const qx_mt_instance *in = mt->first; in != nullptr; in = in->next) {
    if (in->tag > highest) highest = in->tag;
  }
  // One above INT32_MAX would wrap to the reserved global tag.
  if (highest == INT32_MAX) return QX_RC_BAD_ARGUMENT;
  const int32_t rc = qx_mt::append_instance(mt, highest + 1, tpl, nullptr);
  if (rc == QX_RC_OK) *tag = highest + 1;
  return rc;
}

int32_t qx_multitemplate_remove_instance(qx_multitemplate *mt, int32_t tag) {
  if (mt == nullptr) return QX_RC_BAD_ARGUMENT;
  qx_mt_instance *prev = nullptr;
  for (qx_mt_instance *in = mt->first; in != nullptr; prev = in, in = in->next) {
    if (in->tag != tag) continue;
    if (prev != nullptr) prev->next = in->next; else mt->first = in->next;
    if (mt->last == in) mt->last = prev;
    --mt->count;
    free_instance(in);
    return QX_RC_OK;
  }
  return QX_RC_ENTRY_ABSENT;
}

void qx_multitemplate_remove_all_instances(qx_multitemplate *mt) {
  if (mt == nullptr) return;
  qx_mt_instance *in = mt->first;
  mt->first = mt->last = nullptr;
  mt->count = 0;
  while (in != nullptr) {
    qx_mt_instance *next = in->next;
    free_instance(in);
    in = next;
  }
}

qx_template *qx_multitemplate_get_instance(const qx_multitemplate *mt, int32_t tag) {
  if (mt == nullptr) return nullptr;
  const qx_mt_instance *in = find_instance(mt, tag);
  return in != nullptr ? qx_template_retain(in->tpl) : nullptr;
}

qx_template *qx_multitemplate_get_instance_for_index(const qx_multitemplate *mt, int32_t index,
                                                     int32_t *tag) {
  if (tag != nullptr) *tag = 0;
  if (mt == nullptr || index < 0) return nullptr;
  const qx_mt_instance *in = mt->first;
  for (int32_t i = 0; in != nullptr && i < index; ++i) in = in->next;
  if (in == nullptr) return nullptr;
  if (tag != nullptr) *tag = in->tag;
  return qx_template_retain(in->tpl);
}

int32_t qx_multitemplate_get_nbr_of_instances(const qx_multitemplate *mt) {
  return mt != nullptr ? mt->count : 0;
}

int32_t qx_multitemplate_next_tag(const qx_multitemplate *mt, int32_t *tag) {
  if (mt == nullptr || tag == nullptr) return 0;
  const qx_mt_instance *next = nullptr;
  if (*tag == QX_MT_GLOBAL_TAG) {
    next = mt->first;
  } else {
    const qx_mt_instance *in = find_instance(mt, *tag);
    if (in == nullptr) return 0;
    next = in->next;
  }
  if (next == nullptr) return 0;
  *tag = next->tag;
  return 1;
}

int32_t qx_multitemplate_add_metadata(qx_multitemplate *mt, int32_t tag, uint8_t key,
                                      const uint8_t *data, uint16_t length) {
  return store_metadata(mt, tag, key, data, length, false);
}

int32_t qx_multitemplate_set_metadata(qx_multitemplate *mt, int32_t tag, uint8_t key,
                                      const uint8_t *data, uint16_t length) {
  return store_metadata(mt, tag, key, data, length, true);
}

const uint8_t *qx_multitemplate_get_metadata(const qx_multitemplate *mt, int32_t tag, uint8_t key,
                                             uint16_t *length) {
  if (length != nullptr) *length = 0;
  if (mt == nullptr) return nullptr;
  bool found = false;
  const qx_mt_record *rec = find_record(owner_first(mt, tag, &found), key);
  if (rec == nullptr) return nullptr;
  if (length != nullptr) *length = rec->length;
  return rec->data;
}

int32_t qx_multitemplate_remove_metadata(qx_multitemplate *mt, int32_t tag, uint8_t key) {
  if (mt == nullptr) return QX_RC_BAD_ARGUMENT;
  qx_mt_record **list = owner_list(mt, tag);
  if (list == nullptr) return QX_RC_ENTRY_ABSENT;
  for (qx_mt_record **link = list; *link != nullptr; link = &(*link)->next) {
    if ((*link)->key != key) continue;
    qx_mt_record *rec = *link;
    *link = rec->next;
    qx_free(rec);
    return QX_RC_OK;
  }
  return QX_RC_ENTRY_ABSENT;
}

int32_t qx_multitemplate_next_metadata(const qx_multitemplate *mt, int32_t tag, int32_t *key) {
  if (mt == nullptr || key == nullptr) return 0;
  bool found = false;
  const qx_mt_record *rec = owner_first(mt, tag, &found);
  if (*key != QX_MT_KEY_START) {
    if (*key < 0 || *key > 255) return 0;
    rec = find_record(const_cast<qx_mt_record *>(rec), static_cast<uint8_t>(*key));
    if (rec == nullptr) return 0;
    rec = rec->next;
  }
  if (rec == nullptr) return 0;
  *key = rec->key;
  return 1;
}

int32_t qx_multitemplate_copy_metadata(const qx_multitemplate *from, qx_multitemplate *to,
                                       int32_t tag, uint8_t key) {
  if (from == nullptr || to == nullptr) return QX_RC_BAD_ARGUMENT;
  uint16_t length = 0;
  const uint8_t *data = qx_multitemplate_get_metadata(from, tag, key, &length);
  if (data == nullptr) return QX_RC_ENTRY_ABSENT;
  return store_metadata(to, tag, key, data, length, true);
}

int32_t qx_multitemplate_set_instance_alignment(qx_multitemplate *mt, int32_t tag,
                                                const qx_alignment *alignment,
                                                int32_t secondary) {
  if (mt == nullptr || alignment == nullptr || tag == QX_MT_GLOBAL_TAG) {
    return QX_RC_BAD_ARGUMENT;
  }
  uint8_t rec[QX_MT_ALIGNMENT_LENGTH];
  qx_fmt::put16(rec, static_cast<uint16_t>(qx_alignment_get_dx(alignment)));
  qx_fmt::put16(rec + 2, static_cast<uint16_t>(qx_alignment_get_dy(alignment)));
  rec[4] = qx_alignment_get_rotation(alignment);
  rec[5] = secondary ? QX_MT_ALIGNMENT_SECONDARY : 0;
  return store_metadata(mt, tag, QX_MT_INSTANCE_KEY_ALIGNMENT, rec, sizeof rec, true);
}

int32_t qx_multitemplate_set_instance_island(qx_multitemplate *mt, int32_t tag, uint8_t island) {
  if (tag == QX_MT_GLOBAL_TAG) return QX_RC_BAD_ARGUMENT;
  return store_metadata(mt, tag, QX_MT_INSTANCE_KEY_ISLAND, &island, 1, true);
}

qx_alignment *qx_multitemplate_get_instance_alignment(const qx_multitemplate *mt, int32_t tag) {
  if (mt == nullptr || tag == QX_MT_GLOBAL_TAG) return nullptr;
  const qx_mt_instance *in = find_instance(mt, tag);
  if (in == nullptr) return nullptr;
  const qx_mt_record *rec = find_record(in->records, QX_MT_INSTANCE_KEY_ALIGNMENT);
  if (rec == nullptr || rec->length < QX_MT_ALIGNMENT_LENGTH) {
    return qx_alignment_create_identity();
  }
  return qx_alignment_create(static_cast<int16_t>(qx_fmt::get16(rec->data)),
                             static_cast<int16_t>(qx_fmt::get16(rec->data + 2)), rec->data[4]);
}

int32_t qx_multitemplate_get_instance_island(const qx_multitemplate *mt, int32_t tag) {
  uint16_t length = 0;
  const uint8_t *data = tag != QX_MT_GLOBAL_TAG
                            ? qx_multitemplate_get_metadata(mt, tag, QX_MT_INSTANCE_KEY_ISLAND,
                                                            &length)
                            : nullptr;
  return data != nullptr && length >= 1 ? data[0] : 255;
}

int32_t qx_multitemplate_instance_is_main(const qx_multitemplate *mt, int32_t tag) {
  if (mt == nullptr || tag == QX_MT_GLOBAL_TAG) return 0;
  const qx_mt_instance *in = find_instance(mt, tag);
  if (in == nullptr) return 0;
  const qx_mt_record *rec = find_record(in->records, QX_MT_INSTANCE_KEY_ALIGNMENT);
  if (rec == nullptr || rec->length < QX_MT_ALIGNMENT_LENGTH) return 1;
  return (rec->data[5] & QX_MT_ALIGNMENT_SECONDARY) == 0 ? 1 : 0;
}

}  // extern "C"
