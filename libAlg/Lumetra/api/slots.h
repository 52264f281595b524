// The template slots: five flash-like sectors and the in-memory template
// of each slot, which refers to its sector's bytes once loaded from it.
//
// Sector layout: bytes 0..2 unused (0xFF once erased), byte 3 the type
// code, bytes 4..7 the length field (little-endian; 0xFFFFFFFF while
// erased, 32760 once written), bytes 8.. the template data area.
#ifndef LUMETRA_API_SLOTS_H
#define LUMETRA_API_SLOTS_H

#include <cstdint>

#include "api/state.h"
#include "lumetra.h"

struct qx_template;

namespace qx {
class PartsStore;
}

namespace lumetra::api {

inline constexpr int kSlotTypeOffset = 3;
inline constexpr int kSlotLengthOffset = 4;
inline constexpr int kSlotDataOffset = 8;
// Capacity of a sector's data area, and the value of a written length field.
inline constexpr std::uint32_t kSlotCapacity = LUMETRA_TPL_MAX_BYTES;
inline constexpr std::uint32_t kErasedLength = 0xFFFFFFFFu;

// Sets every byte of the sector to 0xFF.  0, or -1 for an index outside 0..4.
int erase_tpl_slot(int index);

// Writes the template's type and encoded bytes into the sector, erasing
// it first only when a byte would need a 0 bit to become 1 (or the header
// does not fit the template); fills *record too when given.  0, or -1 for
// an index outside 0..4, an absent template or more than 32760 bytes
// (nothing is changed then).  The slot's in-memory template is not
// touched: a caller that rewrites a sector its slot template refers to
// releases that template first and parses the sector again afterwards.
int program_tpl_slot(qx_template *tpl, int index, tpl_record *record);

// Makes the slot's in-memory template from its sector (type byte, data
// area, length field), referring to the sector's bytes.  The slot must be
// empty.  A length field outside 1..32760, or no template from the
// engine, leaves the slot empty and gives -1; otherwise 0.
int parse_tpl_slot(int index);

// Releases the slot's in-memory template; the slot becomes empty.
void release_tpl_slot(int index);

// The sector's length field.
std::uint32_t slot_length_field(int index);

// The sizes the slot's template records (api/state.h, SlotSizes): those
// kept since it was loaded, or found now (and kept) when none are kept
// for the template the slot holds.  A multi-template that cannot be
// decoded for want of memory counts as having no size this time and is
// tried again at the next call.  No sizes for an empty slot or an index
// outside 0..4.
SlotSizes slot_sizes(int index);

// Finds and keeps the sizes of the template the slot holds now; every
// place that puts a template into a slot calls it (slot_sizes finds
// them anyway for a slot filled otherwise).
void note_slot_sizes(int index);

// The parts of the slot's template (its subtemplates' compact cards and
// feature sets) kept for its comparisons across verifications
// (engine/match/probe_parts.h); none for an empty slot or an index
// outside 0..4.  Kept for the template the slot holds now: dropped when it
// is released, as its sizes are, and started afresh for a slot filled any
// other way.
qx::PartsStore *slot_parts(int index);

}  // namespace lumetra::api

#endif  // LUMETRA_API_SLOTS_H
