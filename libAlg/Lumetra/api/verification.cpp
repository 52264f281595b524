// nerio_qx_verify and nerio_Identify: a sensor image against the enrolled
// slots, with the looser second try of the whole-set modes, and the update
// of the matched multi-template, written back into its slot.  The tools'
// lumetra_tools_verify is the same path, reporting the per-slot scores.
#include <cstdint>

#include "api/lumetra_tools.h"
#include "api/slots.h"
#include "api/state.h"
#include "engine/formats/hybrid_record.h"
#include "engine/image/qx_image.h"
#include "engine/match/probe_parts.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_alignment.h"
#include "engine/objects/qx_finger.h"
#include "engine/objects/qx_multitemplate_manager.h"
#include "engine/objects/qx_template.h"
#include "engine/qx_rc.h"
#include "lumetra.h"

using lumetra::api::g_state;
using lumetra::api::kSlotCount;

namespace {

constexpr int kAccepted = 0;
constexpr int kNotAccepted = 1;
// The image or a loaded template is not one this configuration compares:
// told apart from "not accepted", which would look like an impostor.
constexpr int kWrongArgument = -1;
constexpr int kNoIdentification = -1;
// Mode 0 scores slot by slot; 1 decides once over all slots; any other
// mode repeats the whole-set decision once per loaded slot.
constexpr uint8_t kModeSlotBySlot = 0;
constexpr uint8_t kModeWholeSetOnce = 1;
constexpr int32_t kDecisionAccept = 1;
// The second try's FAR index (about 1 in 4642), and how many consecutive
// calls it must carry before its acceptance is believed.
constexpr int32_t kSecondTryFar = 11;
constexpr uint8_t kSecondTryDoubts = 2;
// In mode 0 only a score above this lets the template learn from the image.
constexpr uint16_t kUpdateScoreThreshold = 10000;

struct Outcome {
  int32_t rc = QX_RC_OK;
  int32_t decision = 0;
  int32_t candidate = -1;
  uint16_t score = 0;
};

// Mode 0: the probe against one slot's template, whose subtemplates'
// parts the slot keeps from one verification to the next.
Outcome score_slot(qx_algorithm *alg, int slot, qx_template *probe, int32_t far) {
  Outcome o;
  o.candidate = slot;
  const qx::StoreScope kept(qx_algorithm_get_session(alg), lumetra::api::slot_parts(slot));
  o.rc = qx_algorithm_get_similarity_score(alg, g_state.engine.slot_template[slot], probe, far,
                                           &o.score, &o.decision, nullptr, nullptr);
  return o;
}

Outcome decide_over_all_once(qx_algorithm *alg, qx_template *probe, int32_t far) {
  Outcome o;
  qx_template *enrolled[kSlotCount];
  for (int i = 0; i < kSlotCount; ++i) enrolled[i] = g_state.engine.slot_template[i];
  qx_match *match = nullptr;
  o.rc = qx_algorithm_verify_templates(alg, enrolled, kSlotCount, probe, far, &o.decision, &match,
                                       &o.candidate);
  qx_match_delete(match);
  return o;
}

// The whole-set decision with its second try at a looser FAR index.  An
// acceptance that needs the second try is believed only once two calls
// in a row have needed it; a call where both tries reject starts the
// count again.
Outcome decide_over_all(qx_algorithm *alg, qx_template *probe, int32_t far) {
  Outcome first = decide_over_all_once(alg, probe, far);
  if (first.decision == kDecisionAccept) return first;
  Outcome second = decide_over_all_once(alg, probe, kSecondTryFar);
  uint8_t &doubts = g_state.verify.retry_accept_count;
  if (second.decision == kDecisionAccept) {
    if (doubts < kSecondTryDoubts) {
      ++doubts;
      second.decision = 0;
    }
  } else {
    doubts = 0;
  }
  return second;
}

// Lets the accepted slot's multi-template take the probe in and writes
// the result back.  True when the slot was rewritten.
bool update_slot(qx_algorithm *alg, int slot, qx_template *probe, bool score_gate,
                 uint16_t score) {
  qx_template *current = g_state.engine.slot_template[slot];
  // Only an enrolled multi-template can learn; any other template a host
  // loaded stays as it is.
  if (qx_template_get_type(current) != QX_TEMPLATE_MULTITEMPLATE) return false;
  qx_template *updated = nullptr;
  qx_algorithm_update_multitemplate(alg, current, &probe, 1, &updated);
  if (updated == nullptr) return false;
  // A template too large for the sector is discarded before anything is
  // touched: the slot keeps the template it has.
  if ((score_gate && score <= kUpdateScoreThreshold) ||
      qx_template_get_data_size(updated) > lumetra::api::kSlotCapacity) {
    qx_template_delete(updated);
    return false;
  }
  // The slot's template refers to the sector's bytes: release it before
  // the sector is rewritten, and parse the new bytes afterwards.
  lumetra::api::release_tpl_slot(slot);
  lumetra::api::program_tpl_slot(updated, slot, nullptr);
  qx_template_delete(updated);
  // Only a slot that holds the new template again is reported as updated
  // (parsing fails only when memory runs out; the slot is then empty, and
  // the host keeps the record it already stored).
  return lumetra::api::parse_tpl_slot(slot) == 0;
}

// Working-image size the probe records in its dimension block.
struct Dimensions {
  bool known = false;
  int32_t rows = 0, cols = 0;
};

Dimensions dimensions_of(const qx_template *tpl) {
  Dimensions d;
  uint8_t quality = 0;
  d.known = qx_hybrid_get_dimensions(qx_template_get_data(tpl), qx_template_get_data_size(tpl),
                                     &d.rows, &d.cols, &quality) == QX_RC_OK;
  return d;
}

// Whether a slot's template was made from images of another size than
// the probe: the extractor records the working size it took from the
// sensor geometry (120 x 120 for an 88 x 88 sensor), so templates of
// another sensor can be told apart by it.  A multi-template is of another
// sensor when any of its subtemplates is; a template without a dimension
// block cannot be told apart.  The slot keeps its template's sizes from
// when it was loaded, so the template is not decoded here.
bool of_another_sensor(int slot, const Dimensions &probe) {
  if (!probe.known) return false;
  const lumetra::api::SlotSizes sizes = lumetra::api::slot_sizes(slot);
  switch (sizes.kind) {
    case lumetra::api::SlotSizes::kOneSize:
      return sizes.rows != probe.rows || sizes.cols != probe.cols;
    case lumetra::api::SlotSizes::kSeveral:
      // Two different sizes cannot both be the probe's.
      return true;
    case lumetra::api::SlotSizes::kNoSize:
      break;
  }
  return false;
}

bool holds_template(int slot) {
  return slot >= 0 && slot < kSlotCount && g_state.engine.slot_template[slot] != nullptr;
}

// One verification of a sensor image: the probe is extracted once, then
// scored against the slots.  With a report, every loaded slot's score
// (the slot-by-slot scoring) is taken before any slot can be updated, and
// the slot-by-slot decision uses those very outcomes.
int verify_image(const unsigned char *pixels, int *matched_index, int *updated, int mode,
                 lumetra_tools_verify_report *report) {
  if (report != nullptr) *report = lumetra_tools_verify_report{};
  qx_algorithm *alg = g_state.engine.algorithm;
  if (report != nullptr) report->extract_rc = QX_RC_BAD_ARGUMENT;
  if (alg == nullptr || pixels == nullptr) return kNotAccepted;
  // A geometry changed after init to one the configuration does not serve.
  if (!lumetra::api::sensor_served()) return kWrongArgument;
  const uint8_t how = static_cast<uint8_t>(mode & 0xFF);
  const int32_t far = static_cast<int32_t>(g_state.params.far_val);

  qx_image *image = lumetra::api::create_sensor_image(pixels);
  if (report != nullptr) report->extract_rc = QX_RC_NO_MEMORY;
  if (image == nullptr) return kNotAccepted;
  qx_image_mr_weak(image);
  qx_template *probe = nullptr;
  const int32_t extracted = qx_algorithm_extract_template(alg, image, qx_finger_static_zero(), &probe);
  qx_image_delete(image);
  if (report != nullptr) {
    report->extract_rc = extracted;
    report->extracted = probe != nullptr;
  }
  if (probe == nullptr) return kNotAccepted;

  // A template of another sensor is never compared: its "no match" would
  // be no judgement of the finger.
  const Dimensions probe_size = dimensions_of(probe);
  bool any_other = false;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (g_state.engine.slot_template[slot] == nullptr || !of_another_sensor(slot, probe_size))
      continue;
    any_other = true;
    if (report != nullptr) report->other_sensor[slot] = 1;
  }
  if (any_other) {
    qx_template_delete(probe);
    return kWrongArgument;
  }

  // The probe's parts are converted once for every comparison below.
  const qx::ProbeScope probe_parts(qx_algorithm_get_session(alg), probe);
  Outcome scored[kSlotCount];
  bool have_scored[kSlotCount] = {};
  for (int slot = 0; report != nullptr && slot < kSlotCount; ++slot) {
    if (g_state.engine.slot_template[slot] == nullptr) continue;
    scored[slot] = score_slot(alg, slot, probe, far);
    have_scored[slot] = true;
    if (scored[slot].rc == QX_RC_OK) {
      report->scored[slot] = 1;
      report->score[slot] = scored[slot].score;
    }
  }

  int result = kNotAccepted;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (g_state.engine.slot_template[slot] == nullptr) continue;
    Outcome o;
    if (how == kModeSlotBySlot)
      o = have_scored[slot] ? scored[slot] : score_slot(alg, slot, probe, far);
    else
      o = decide_over_all(alg, probe, far);
    // An acceptance must name a loaded slot to be reported.
    const bool accept = o.decision == kDecisionAccept && holds_template(o.candidate);
    if (accept && g_state.params.dyn_update_flg != 0 && o.rc == QX_RC_OK &&
        update_slot(alg, o.candidate, probe, how == kModeSlotBySlot, o.score) &&
        updated != nullptr) {
      *updated = 1;
    }
    if (accept) {
      if (matched_index != nullptr) *matched_index = o.candidate;
      result = kAccepted;
      break;
    }
    if (how == kModeWholeSetOnce) break;
  }
  qx_template_delete(probe);
  return result;
}

}  // namespace

extern "C" {

int nerio_qx_verify(const unsigned char *pixels, int *matched_index, int *updated, int mode) {
  return verify_image(pixels, matched_index, updated, mode, nullptr);
}

int lumetra_tools_verify(const unsigned char *pixels, int *matched_index, int *updated, int mode,
                         lumetra_tools_verify_report *report) {
  return verify_image(pixels, matched_index, updated, mode, report);
}

int nerio_Identify(int * /*matched_index*/, int * /*updated*/) {
  // Identification starts from the library's own sensor capture, and the
  // library has no sensor transport (nerio_GetFpImage never delivers an
  // image): there is never anything to identify.
  return kNoIdentification;
}

}  // extern "C"
