// A template's compact card and spectral feature sets, converted at first
// use and kept for the comparisons of one verification (probe_parts.h).
#include "engine/match/probe_parts.h"

#include "engine/formats/qx_template_convert.h"
#include "engine/match/spectral_match.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"

namespace qx {

namespace {

ProbeScope *scope_of(const qx_session *session) {
  return static_cast<ProbeScope *>(qx_session_get_probe_scope(session));
}

// A conversion that failed: out of memory is told to the comparison (and
// tried again at its next request), anything else is left to the
// comparison's own conversion.
Kept failed(int32_t rc) { return rc == QX_RC_NO_MEMORY ? Kept::kNoMemory : Kept::kNo; }

}  // namespace

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
  qx_free(card_.bytes);
  qx_free(features_.bytes);
  qx_free(quick_features_.bytes);
  qx_template_delete(probe_);
  qx_session_delete(session_);
}

bool ProbeScope::holds(const qx_template *tpl) const {
  return tpl != nullptr && tpl == probe_ && qx_template_get_data(tpl) == data_ &&
         qx_template_get_data_size(tpl) == size_ && qx_template_get_stored_type(tpl) == type_;
}

// Keeps in `slot` what a conversion made, or notes that nothing could be
// kept (bad data: never tried again; out of memory: tried at the next
// request).
Kept ProbeScope::keep(Slot &slot, int32_t rc, uint8_t *bytes, const KeptPart &made) {
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

Kept ProbeScope::hand_out(const Slot &slot, KeptPart *part) {
  if (slot.state != Slot::kKept) return Kept::kNo;
  *part = slot.part;
  return Kept::kYes;
}

Kept ProbeScope::card(KeptPart *part) {
  if (card_.state == Slot::kUntried) {
    uint8_t *bytes = nullptr;
    uint32_t size = 0;
    const int32_t rc = qx_template_convert(probe_, QX_TEMPLATE_ISO_COMPACT_CARD, &bytes, &size);
    const Kept k = keep(card_, rc, bytes, KeptPart{bytes, size});
    if (k != Kept::kYes) return k;
  }
  return hand_out(card_, part);
}

Kept ProbeScope::features(bool quick, KeptPart *part) {
  Slot &slot = quick ? quick_features_ : features_;
  if (slot.state == Slot::kUntried) {
    uint8_t *spectral = nullptr;
    uint32_t spectral_size = 0;
    int32_t rc = qx_template_convert(probe_, QX_TEMPLATE_SPECTRAL, &spectral, &spectral_size);
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

Kept kept_card(const qx_session *session, const qx_template *tpl, KeptPart *part) {
  ProbeScope *scope = scope_of(session);
  if (scope == nullptr || !scope->holds(tpl)) return Kept::kNo;
  return scope->card(part);
}

Kept kept_features(const qx_session *session, const qx_template *tpl, bool quick,
                   KeptPart *part) {
  ProbeScope *scope = scope_of(session);
  if (scope == nullptr || !scope->holds(tpl)) return Kept::kNo;
  return scope->features(quick, part);
}

}  // namespace qx
