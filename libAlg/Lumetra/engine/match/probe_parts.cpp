// Templates' compact cards and spectral feature sets, converted at first
// use and kept for the comparisons of one verification or across
// verifications (probe_parts.h).
#include "engine/match/probe_parts.h"

#include <cstring>
#include <new>

#include "engine/formats/qx_template_convert.h"
#include "engine/match/spectral_match.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"

namespace qx {

namespace {

ProbeScope *scope_of(const qx_session *session) {
  return static_cast<ProbeScope *>(qx_session_get_probe_scope(session));
}

PartsStore *store_of(const qx_session *session) {
  return static_cast<PartsStore *>(qx_session_get_parts_store(session));
}

// A conversion that failed: out of memory is told to the comparison (and
// tried again at its next request), anything else is left to the
// comparison's own conversion.
Kept failed(int32_t rc) { return rc == QX_RC_NO_MEMORY ? Kept::kNoMemory : Kept::kNo; }

}  // namespace

// ---------------------------------------------------------------------------
// One template's parts.

PartSet::~PartSet() {
  qx_free(card_.bytes);
  qx_free(features_.bytes);
  qx_free(quick_features_.bytes);
}

// Keeps in `slot` what a conversion made, or notes that nothing could be
// kept (bad data: never tried again; out of memory: tried at the next
// request).
Kept PartSet::keep(Slot &slot, int32_t rc, uint8_t *bytes, const KeptPart &made) {
  if (rc != QX_RC_OK) {
    qx_free(bytes);
    if (rc != QX_RC_NO_MEMORY) slot.state = Slot::kNotKept;
    return failed(rc);
  }
  slot.bytes = bytes;
  slot.part = made;
  slot.state = Slot::kKept;
  return Kept::kYes;
}

Kept PartSet::hand_out(const Slot &slot, KeptPart *part) {
  if (slot.state != Slot::kKept) return Kept::kNo;
  *part = slot.part;
  return Kept::kYes;
}

Kept PartSet::card(const qx_template *tpl, KeptPart *part) {
  if (card_.state == Slot::kUntried) {
    uint8_t *bytes = nullptr;
    uint32_t size = 0;
    const int32_t rc = qx_template_convert(tpl, QX_TEMPLATE_ISO_COMPACT_CARD, &bytes, &size);
    const Kept k = keep(card_, rc, bytes, KeptPart{bytes, size});
    if (k != Kept::kYes) return k;
  }
  return hand_out(card_, part);
}

Kept PartSet::features(const qx_template *tpl, bool quick, KeptPart *part) {
  Slot &slot = quick ? quick_features_ : features_;
  if (slot.state == Slot::kUntried) {
    uint8_t *spectral = nullptr;
    uint32_t spectral_size = 0;
    int32_t rc = qx_template_convert(tpl, QX_TEMPLATE_SPECTRAL, &spectral, &spectral_size);
    uint8_t *bytes = nullptr;
    uint32_t size = 0;
    int32_t y = 0, x = 0;
    if (rc == QX_RC_OK)
      rc = qx_fusion_spectral_to_matcher(spectral, spectral_size, &bytes, &size, &y, &x, nullptr,
                                         nullptr, quick ? 1 : 0);
    qx_free(spectral);
    const Kept k = keep(slot, rc, bytes, KeptPart{bytes, size, y, x});
    if (k != Kept::kYes) return k;
  }
  return hand_out(slot, part);
}

// ---------------------------------------------------------------------------
// The probe's scope.

ProbeScope::ProbeScope(qx_session *session, qx_template *probe) {
  if (session == nullptr || probe == nullptr || scope_of(session) != nullptr) return;
  session_ = qx_session_retain(session);
  qx_session_set_probe_scope(session_, this);
  probe_ = qx_template_retain(probe);
  data_ = qx_template_get_data(probe);
  size_ = qx_template_get_data_size(probe);
  type_ = qx_template_get_stored_type(probe);
}

ProbeScope::~ProbeScope() {
  if (session_ == nullptr) return;
  qx_session_set_probe_scope(session_, nullptr);
  qx_template_delete(probe_);
  qx_session_delete(session_);
}

bool ProbeScope::holds(const qx_template *tpl) const {
  return tpl != nullptr && tpl == probe_ && qx_template_get_data(tpl) == data_ &&
         qx_template_get_data_size(tpl) == size_ && qx_template_get_stored_type(tpl) == type_;
}

// ---------------------------------------------------------------------------
// The store.

struct PartsStore::Entry {
  uint8_t *bytes = nullptr;  // a copy of the template's bytes
  uint32_t size = 0;
  int32_t type = 0;
  PartSet parts;
  ~Entry() { qx_free(bytes); }
  bool same(const qx_template *tpl) const {
    return qx_template_get_data_size(tpl) == size && qx_template_get_stored_type(tpl) == type &&
           (size == 0 || std::memcmp(qx_template_get_data(tpl), bytes, size) == 0);
  }
};

void PartsStore::clear() {
  for (uint32_t i = 0; i < count_; ++i) {
    entry_[i]->~Entry();
    qx_free(entry_[i]);
  }
  qx_free(entry_);
  entry_ = nullptr;
  count_ = capacity_ = next_ = 0;
}

Kept PartsStore::parts_of(const qx_template *tpl, PartSet **parts) {
  for (uint32_t k = 0; k < count_; ++k) {
    const uint32_t i = (next_ + k) % count_;
    if (entry_[i]->same(tpl)) {
      next_ = i + 1 < count_ ? i + 1 : 0;
      *parts = &entry_[i]->parts;
      return Kept::kYes;
    }
  }
  const uint32_t size = qx_template_get_data_size(tpl);
  const uint8_t *data = qx_template_get_data(tpl);
  if (count_ == kMaxEntries || (size > 0 && data == nullptr)) return Kept::kNo;
  if (count_ == capacity_) {
    const uint32_t grown = capacity_ == 0 ? 16 : 2 * capacity_;
    auto **bigger = static_cast<Entry **>(qx_malloc(grown * sizeof(Entry *)));
    if (bigger == nullptr) return Kept::kNoMemory;
    if (count_ > 0) std::memcpy(bigger, entry_, count_ * sizeof(Entry *));
    qx_free(entry_);
    entry_ = bigger;
    capacity_ = grown;
  }
  void *room = qx_malloc(sizeof(Entry));
  uint8_t *copy = size > 0 ? static_cast<uint8_t *>(qx_malloc(size)) : nullptr;
  if (room == nullptr || (size > 0 && copy == nullptr)) {
    qx_free(room);
    qx_free(copy);
    return Kept::kNoMemory;
  }
  if (size > 0) std::memcpy(copy, data, size);
  Entry *e = new (room) Entry;
  e->bytes = copy;
  e->size = size;
  e->type = qx_template_get_stored_type(tpl);
  entry_[count_++] = e;
  next_ = 0;
  *parts = &e->parts;
  return Kept::kYes;
}

StoreScope::StoreScope(qx_session *session, PartsStore *store) {
  if (session == nullptr || store == nullptr || store_of(session) != nullptr) return;
  session_ = qx_session_retain(session);
  qx_session_set_parts_store(session_, store);
}

StoreScope::~StoreScope() {
  if (session_ == nullptr) return;
  qx_session_set_parts_store(session_, nullptr);
  qx_session_delete(session_);
}

// ---------------------------------------------------------------------------
// Lookups: the probe's scope first, then the store.

// The parts kept of `tpl`: the probe scope's when it holds `tpl`, else the
// session store's entry for it.
Kept parts_for(const qx_session *session, const qx_template *tpl, PartSet **parts) {
  if (tpl == nullptr) return Kept::kNo;
  ProbeScope *scope = scope_of(session);
  if (scope != nullptr && scope->holds(tpl)) {
    *parts = &scope->parts_;
    return Kept::kYes;
  }
  PartsStore *store = store_of(session);
  return store != nullptr ? store->parts_of(tpl, parts) : Kept::kNo;
}

Kept kept_card(const qx_session *session, const qx_template *tpl, KeptPart *part) {
  PartSet *parts = nullptr;
  const Kept k = parts_for(session, tpl, &parts);
  return k == Kept::kYes ? parts->card(tpl, part) : k;
}

Kept kept_features(const qx_session *session, const qx_template *tpl, bool quick,
                   KeptPart *part) {
  PartSet *parts = nullptr;
  const Kept k = parts_for(session, tpl, &parts);
  return k == Kept::kYes ? parts->features(tpl, quick, part) : k;
}

}  // namespace qx
