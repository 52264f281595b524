// The parts of one template that hybrid comparisons read, converted once
// for all the comparisons of a verification instead of once per
// comparison.
//
// Every hybrid comparison reads two parts of both its templates: the
// compact card (for the minutiae matcher) and the spectral part as a
// matcher feature set (with the fine field; without it for the cheetah
// stage).  A verification compares one probe with every subtemplate of
// every slot, so the probe's parts would be converted again for each of
// them.  A ProbeScope, made on the stack around the comparisons of one
// template, keeps that template's parts from their first conversion until
// the scope ends; the comparisons of the same session find them with
// kept_card and kept_features.
//
// Ownership: the scope holds a reference to the template (and to the
// session) for as long as it lives, so the template cannot die, and no
// other template can take its address, while parts are kept.  It also
// notes the template's bytes (address, size, stored type) and hands its
// parts out only while these are unchanged; no engine operation writes a
// template's bytes, and the host cannot call in while the comparisons run
// (one thread at a time).  The parts are freed when the scope ends.  Only
// the outermost scope of a session keeps parts: a scope made inside it
// does nothing.  A conversion that fails for bad data is not kept: the
// comparison converts for itself and fails exactly as it always did.  One
// that runs out of memory is reported as such, so that the comparison
// fails with 9 as its own conversion would, and is tried again next time.
#ifndef LUMETRA_ENGINE_MATCH_PROBE_PARTS_H
#define LUMETRA_ENGINE_MATCH_PROBE_PARTS_H

#include <cstdint>

#include "engine/objects/qx_session.h"
#include "engine/objects/qx_template.h"

namespace qx {

// A part kept by a scope: bytes that stay valid until the scope ends.
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
  kNoMemory,  // the scope's conversion ran out of memory: fail with 9
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
  friend Kept kept_card(const qx_session *, const qx_template *, KeptPart *);
  friend Kept kept_features(const qx_session *, const qx_template *, bool, KeptPart *);

  // One part: not converted yet, kept, or not kept (bad data).
  struct Slot {
    enum State : uint8_t { kUntried, kKept, kNotKept };
    State state = kUntried;
    uint8_t *bytes = nullptr;
    KeptPart part;
  };

  bool holds(const qx_template *tpl) const;
  static Kept keep(Slot &slot, int32_t rc, uint8_t *bytes, const KeptPart &made);
  static Kept hand_out(const Slot &slot, KeptPart *part);
  Kept card(KeptPart *part);
  Kept features(bool quick, KeptPart *part);

  qx_session *session_ = nullptr;
  qx_template *probe_ = nullptr;
  const uint8_t *data_ = nullptr;
  uint32_t size_ = 0;
  int32_t type_ = 0;
  Slot card_, features_, quick_features_;
};

// The compact card of `tpl` (as qx_template_convert to type 2 makes it)
// when `tpl` is the template of the session's scope; *part is written
// only with kYes.
Kept kept_card(const qx_session *session, const qx_template *tpl, KeptPart *part);

// The matcher feature set of `tpl`'s spectral part (qx_template_convert to
// type 66, then qx_fusion_spectral_to_matcher with `quick`), with its grid
// origin, under the same conditions.
Kept kept_features(const qx_session *session, const qx_template *tpl, bool quick,
                   KeptPart *part);

}  // namespace qx

#endif  // LUMETRA_ENGINE_MATCH_PROBE_PARTS_H
