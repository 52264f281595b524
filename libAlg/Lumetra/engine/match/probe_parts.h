// The parts of templates that hybrid comparisons read, converted once
// instead of once per comparison: the probe's for all the comparisons of
// a verification, an enrolled template's across verifications.
//
// Every hybrid comparison reads two parts of both its templates: the
// compact card (for the minutiae matcher) and the spectral part as a
// matcher feature set (with the fine field; without it for the cheetah
// stage).  A verification compares one probe with every subtemplate of
// every slot, so the probe's parts would be converted again for each of
// them, and every verification converts the same enrolled subtemplates
// again.
//
// ProbeScope.  Made on the stack around the comparisons of one template,
// it keeps that template's parts from their first conversion until the
// scope ends; the comparisons of the same session find them with
// kept_card and kept_features.  Ownership: the scope holds a reference to
// the template (and to the session) for as long as it lives, so the
// template cannot die, and no other template can take its address, while
// parts are kept.  It also notes the template's bytes (address, size,
// stored type) and hands its parts out only while these are unchanged; no
// engine operation writes a template's bytes, and the host cannot call in
// while the comparisons run (one thread at a time).  The parts are freed
// when the scope ends.  Only the outermost scope of a session keeps
// parts: a scope made inside it does nothing.
//
// PartsStore.  Kept by whoever holds an enrolled template across calls (a
// slot), for the subtemplates its comparisons read.  The comparisons reach
// it through a StoreScope on the stack of one call.  Each entry keeps a
// copy of its template's bytes and stored type and serves only a template
// with the same bytes and type, whatever its address (a verification
// decodes the subtemplates afresh each time); the holder clears the store
// whenever its template is released, so that what was kept of one
// template never outlives it, even when the next is made at its address.
// The probe's scope is asked first.
//
// Failures, for both: a conversion that fails for bad data is not kept:
// the comparison converts for itself and fails exactly as it always did.
// One that runs out of memory is reported as such, so that the comparison
// fails with 9 as its own conversion would, and is tried again next time.
// A store that runs out of memory for a new entry answers the same way; a
// full store keeps nothing more, and the comparison converts for itself.
#ifndef LUMETRA_ENGINE_MATCH_PROBE_PARTS_H
#define LUMETRA_ENGINE_MATCH_PROBE_PARTS_H

#include <cstddef>
#include <cstdint>

#include "engine/objects/qx_session.h"
#include "engine/objects/qx_template.h"

namespace qx {

// A part kept by a scope or a store: bytes that stay valid until the scope
// ends or the store is cleared.
struct KeptPart {
  const uint8_t *data = nullptr;
  uint32_t size = 0;
  // For a feature set: the grid origin the conversion reports.
  int32_t y_offset = 0, x_offset = 0;
};

// What a comparison gets when it asks for a part.
enum class Kept : uint8_t {
  kNo,        // none kept: convert as usual
  kYes,       // the part is kept, use it
  kNoMemory,  // the conversion ran out of memory: fail with 9
};

// The three parts of one template, each converted at its first request
// and kept until the set dies.
class PartSet {
 public:
  PartSet() = default;
  ~PartSet();
  PartSet(const PartSet &) = delete;
  PartSet &operator=(const PartSet &) = delete;

  Kept card(const qx_template *tpl, KeptPart *part);
  Kept features(const qx_template *tpl, bool quick, KeptPart *part);

 private:
  // One part: not converted yet, kept, or not kept (bad data).
  struct Slot {
    enum State : uint8_t { kUntried, kKept, kNotKept };
    State state = kUntried;
    uint8_t *bytes = nullptr;
    KeptPart part;
  };
  static Kept keep(Slot &slot, int32_t rc, uint8_t *bytes, const KeptPart &made);
  static Kept hand_out(const Slot &slot, KeptPart *part);

  Slot card_, features_, quick_features_;
};

class ProbeScope {
 public:
  // Keeps the parts of `probe` for the comparisons of `session`, unless the
  // session has a scope already or either is absent (then nothing is kept
  // and every comparison converts for itself).  Needs no memory itself.
  ProbeScope(qx_session *session, qx_template *probe);
  ~ProbeScope();
  ProbeScope(const ProbeScope &) = delete;
  ProbeScope &operator=(const ProbeScope &) = delete;

  // Whether this scope keeps parts (it is the session's scope).
  bool active() const { return session_ != nullptr; }

 private:
  friend Kept parts_for(const qx_session *, const qx_template *, PartSet **);

  bool holds(const qx_template *tpl) const;

  qx_session *session_ = nullptr;
  qx_template *probe_ = nullptr;
  const uint8_t *data_ = nullptr;
  uint32_t size_ = 0;
  int32_t type_ = 0;
  PartSet parts_;
};

class PartsStore {
 public:
  // At most this many templates are kept (a multi-template holds far
  // fewer subtemplates); beyond it the comparisons convert for themselves.
  static constexpr uint32_t kMaxEntries = 256;

  PartsStore() = default;
  ~PartsStore() { clear(); }
  PartsStore(const PartsStore &) = delete;
  PartsStore &operator=(const PartsStore &) = delete;

  // Frees everything kept.
  void clear();
  // Templates whose parts are kept.
  uint32_t entries() const { return count_; }

 private:
  friend Kept parts_for(const qx_session *, const qx_template *, PartSet **);

  struct Entry;
  // The entry of a template with `tpl`'s bytes and stored type, made when
  // there is none: kYes with *parts, kNo when the store is full, kNoMemory
  // when the entry could not be made.
  Kept parts_of(const qx_template *tpl, PartSet **parts);

  Entry **entry_ = nullptr;
  uint32_t count_ = 0, capacity_ = 0;
  uint32_t next_ = 0;  // where the next search starts: comparisons come in order
};

// Lets the comparisons of `session` use `store` until the scope ends,
// unless the session has a store already or either is absent.  Needs no
// memory itself; the store must outlive the scope.
class StoreScope {
 public:
  StoreScope(qx_session *session, PartsStore *store);
  ~StoreScope();
  StoreScope(const StoreScope &) = delete;
  StoreScope &operator=(const StoreScope &) = delete;

  bool active() const { return session_ != nullptr; }

 private:
  qx_session *session_ = nullptr;
};

// The compact card of `tpl` (as qx_template_convert to type 2 makes it)
// when `tpl` is the template of the session's probe scope or the session
// has a store; *part is written only with kYes.
Kept kept_card(const qx_session *session, const qx_template *tpl, KeptPart *part);

// The matcher feature set of `tpl`'s spectral part (qx_template_convert to
// type 66, then qx_fusion_spectral_to_matcher with `quick`), with its grid
// origin, under the same conditions.
Kept kept_features(const qx_session *session, const qx_template *tpl, bool quick,
                   KeptPart *part);

}  // namespace qx

#endif  // LUMETRA_ENGINE_MATCH_PROBE_PARTS_H
