// The slot store and the slot exports: init_alg_tpl_data, nerio_qx_get_tpl,
// nerio_DelFinger; and the sector operations that enrollment and
// verification use to write a slot.
#include "api/slots.h"

#include <cstring>

#include "api/state.h"
#include "engine/formats/hybrid_record.h"
#include "engine/match/probe_parts.h"
#include "engine/objects/qx_multitemplate.h"
#include "engine/objects/qx_template.h"
#include "engine/objects/qx_template_check.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"

using lumetra::api::g_state;

namespace lumetra::api {

namespace {

constexpr std::uint8_t kErasedByte = 0xFF;

bool valid_index(int index) { return index >= 0 && index < kSlotCount; }

// Each slot's kept parts and the template they were kept for.  Not part
// of the library state proper (which is plain data the tests copy): like
// the state, they live as long as the process.
struct SlotParts {
  qx::PartsStore store;
  const qx_template *of = nullptr;
  void drop() {
    store.clear();
    of = nullptr;
  }
};
SlotParts g_slot_parts[kSlotCount];

std::uint8_t *sector(int index) { return g_state.slots.sector[index]; }

std::uint32_t read_le32(const std::uint8_t *p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void write_le32(std::uint8_t *p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

// Whether the sector must be erased before `n` bytes of type `type` can be
// written over it: a header that does not fit the template, or a data byte
// that would need a 0 bit turned into a 1.
bool needs_erase(const std::uint8_t *s, std::uint8_t type, const std::uint8_t *bytes,
                 std::uint32_t n) {
  const std::uint32_t length = read_le32(s + kSlotLengthOffset);
  if (length == kErasedLength) {
    if (s[kSlotTypeOffset] != kErasedByte) return true;
  } else if (length < 1 || length > kSlotCapacity || length < n || s[kSlotTypeOffset] != type) {
    return true;
  }
  const std::uint8_t *data = s + kSlotDataOffset;
  for (std::uint32_t i = 0; i < n; ++i) {
    if ((data[i] & bytes[i]) != bytes[i]) return true;
  }
  return false;
}

// Whether [p, p + n) overlaps any sector of the store.
bool inside_store(const std::uint8_t *p, std::uint32_t n) {
  const auto *lo = reinterpret_cast<const std::uint8_t *>(&g_state.slots);
  const auto *hi = lo + sizeof g_state.slots;
  return n > 0 && p < hi && p + n > lo;
}

// Adds one template's dimension block to the summary.
void add_size(SlotSizes &sizes, const qx_template *tpl) {
  std::int32_t rows = 0, cols = 0;
  std::uint8_t quality = 0;
  if (qx_hybrid_get_dimensions(qx_template_get_data(tpl), qx_template_get_data_size(tpl), &rows,
                               &cols, &quality) != QX_RC_OK)
    return;
  if (sizes.kind == SlotSizes::kNoSize) {
    sizes.kind = SlotSizes::kOneSize;
    sizes.rows = rows;
    sizes.cols = cols;
  } else if (sizes.kind == SlotSizes::kOneSize && (rows != sizes.rows || cols != sizes.cols)) {
    sizes.kind = SlotSizes::kSeveral;
  }
}

// The sizes of a template, of every subtemplate for a multi-template (one
// that does not decode has none).  False when they could not all be read
// for want of memory: the answer holds for this call only.
bool find_sizes(qx_template *tpl, SlotSizes *sizes) {
  *sizes = SlotSizes{};
  sizes->of = tpl;
  if (qx_template_get_type(tpl) != QX_TEMPLATE_MULTITEMPLATE) {
    add_size(*sizes, tpl);
    return true;
  }
  qx_multitemplate *mt = nullptr;
  const std::int32_t rc = qx_multitemplate_decode(tpl, &mt);
  if (rc != QX_RC_OK) return rc != QX_RC_NO_MEMORY;
  const std::int32_t n = qx_multitemplate_get_nbr_of_instances(mt);
  for (std::int32_t i = 0; i < n; ++i) {
    std::int32_t tag = 0;
    qx_template *instance = qx_multitemplate_get_instance_for_index(mt, i, &tag);
    if (instance != nullptr) add_size(*sizes, instance);
    qx_template_delete(instance);
  }
  qx_multitemplate_delete(mt);
  return true;
}

}  // namespace

SlotSizes slot_sizes(int index) {
  if (!valid_index(index) || g_state.engine.slot_template[index] == nullptr) return SlotSizes{};
  qx_template *tpl = g_state.engine.slot_template[index];
  SlotSizes &kept = g_state.engine.slot_sizes[index];
  if (kept.of == tpl) return kept;
  SlotSizes found;
  kept = find_sizes(tpl, &found) ? found : SlotSizes{};
  return found;
}

void note_slot_sizes(int index) { (void)slot_sizes(index); }

qx::PartsStore *slot_parts(int index) {
  if (!valid_index(index) || g_state.engine.slot_template[index] == nullptr) return nullptr;
  SlotParts &kept = g_slot_parts[index];
  if (kept.of != g_state.engine.slot_template[index]) {
    kept.drop();
    kept.of = g_state.engine.slot_template[index];
  }
  return &kept.store;
}

int erase_tpl_slot(int index) {
  if (!valid_index(index)) return -1;
  std::memset(sector(index), kErasedByte, kSectorBytes);
  return 0;
}

int program_tpl_slot(qx_template *tpl, int index, tpl_record *record) {
  if (!valid_index(index) || tpl == nullptr) return -1;
  const std::uint8_t type = static_cast<std::uint8_t>(qx_template_get_type(tpl) & 0xFF);
  const std::uint8_t *bytes = qx_template_get_data(tpl);
  const std::uint32_t n = qx_template_get_data_size(tpl);
  if (n > kSlotCapacity) return -1;
  if (n > 0 && bytes == nullptr) return -1;
  // A template whose bytes lie in the store itself would be erased or
  // overwritten while it is being copied: copy it out first.
  qx::Buffer<std::uint8_t> own;
  if (inside_store(bytes, n)) {
    if (!own.alloc(n)) return -1;
    std::memcpy(own.get(), bytes, n);
    bytes = own.get();
  }

  std::uint8_t *s = sector(index);
  if (needs_erase(s, type, bytes, n)) erase_tpl_slot(index);
  if (record != nullptr) {
    record->type = type;
    record->length = n;
  }
  if (n > 0) {
    std::memcpy(s + kSlotDataOffset, bytes, n);
    if (record != nullptr) std::memcpy(record->data, bytes, n);
  }
  if (read_le32(s + kSlotLengthOffset) == kErasedLength) {
    s[kSlotTypeOffset] = type;
    write_le32(s + kSlotLengthOffset, kSlotCapacity);
  }
  return 0;
}

int parse_tpl_slot(int index) {
  if (!valid_index(index)) return -1;
  const std::uint8_t *s = sector(index);
  const std::uint32_t length = read_le32(s + kSlotLengthOffset);
  if (length < 1 || length > kSlotCapacity) return -1;
  // The template refers to the sector: it stays valid until the sector is
  // rewritten, which is why every writer releases it first.
  qx_template *tpl = qx_template_create_mr(s[kSlotTypeOffset], s + kSlotDataOffset, length);
  g_state.engine.slot_template[index] = tpl;
  g_state.engine.slot_sizes[index] = SlotSizes{};
  g_slot_parts[index].drop();
  if (tpl == nullptr) return -1;
  note_slot_sizes(index);
  return 0;
}

void release_tpl_slot(int index) {
  if (!valid_index(index)) return;
  qx_template_delete(g_state.engine.slot_template[index]);
  g_state.engine.slot_template[index] = nullptr;
  // The next template may be made at the same address: what was kept of
  // this one goes with it.
  g_state.engine.slot_sizes[index] = SlotSizes{};
  g_slot_parts[index].drop();
}

std::uint32_t slot_length_field(int index) {
  return valid_index(index) ? read_le32(sector(index) + kSlotLengthOffset) : 0;
}

}  // namespace lumetra::api

using namespace lumetra::api;

extern "C" {

int init_alg_tpl_data(int index, const tpl_record *record) {
  if (!valid_index(index) || record == nullptr) return -1;
  const std::uint32_t length = record->length;
  if (length == 0) return 0;
  if (length > kSlotCapacity) return -1;
  // The slot's template refers to the sector about to be rewritten: it
  // goes first.
  release_tpl_slot(index);
  std::uint8_t *s = sector(index);
  erase_tpl_slot(index);
  std::memcpy(s + kSlotDataOffset, record->data, length);
  s[kSlotTypeOffset] = record->type;
  write_le32(s + kSlotLengthOffset, kSlotCapacity);
  if (parse_tpl_slot(index) != 0) return -1;
  // A record whose bytes do not decode as its type would only ever be
  // found out by a comparison, where it looks like an impostor's finger:
  // it is refused now, and the slot stays empty (the sector keeps the
  // bytes, as for any record that cannot be taken).
  const qx_rc checked = qx_template_check(g_state.engine.slot_template[index]);
  if (checked == QX_RC_BAD_DATA || checked == QX_RC_NO_MEMORY) {
    release_tpl_slot(index);
    return -1;
  }
  return 0;
}

int nerio_qx_get_tpl(int index, tpl_record *record) {
  if (!valid_index(index)) return -1;
  if (record == nullptr) return 0;
  const qx_template *tpl = g_state.engine.slot_template[index];
  const std::uint32_t n = qx_template_get_data_size(tpl);
  // A template that does not fit a record (one that enrollment could not
  // store) is refused rather than written past the record's end.
  if (n > kSlotCapacity) return -1;
  if (tpl == nullptr || n == 0) {
    record->type = 0;
    record->length = 0;
    return 0;
  }
  std::memcpy(record->data, qx_template_get_data(tpl), n);
  record->type = static_cast<std::uint8_t>(qx_template_get_type(tpl) & 0xFF);
  record->length = n;
  return 0;
}

int nerio_DelFinger(int index) {
  const int slot = index & 0xFF;
  if (valid_index(slot)) {
    release_tpl_slot(slot);
    erase_tpl_slot(slot);
  }
  return 0;
}

}  // extern "C"
