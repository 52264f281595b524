// Fuzzes what every host does at start-up with the record it stored: load
// it into a slot (init_alg_tpl_data), verify a capture of the enrolled
// finger against it with template updating on (nerio_qx_verify), read the
// slot back (nerio_qx_get_tpl), load that into a second slot and into the
// first again, and verify once more over both.
//
// The input is a template file as the lumetra command writes it: byte 0
// the type, bytes 1-3 unused by the library, bytes 4-7 the length
// (32-bit little-endian), then the data; the record is filled past the
// input with erased bytes (0xFF).  Byte 1 picks the probe, byte 2 the
// verification mode of the first call (its low bits: 0, 1 or 2).
//
// Whatever the bytes, these hold (a trap otherwise):
//  - a load that succeeds reads back as the whole 32760-byte area with the
//    record's type (as the engine reports it) and bytes, then erased bytes; a refused load leaves the
//    slot empty (type 0, length 0);
//  - an acceptance names a loaded slot, and only an update it reports
//    changes a slot (the matched one, which keeps its type);
//  - a record read back from a slot loads again, into any slot, and reads
//    back byte for byte the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "api/state.h"
#include "engine/objects/qx_template.h"
#include "lumetra.h"
#include "stored_record_finger.h"

namespace {

constexpr int kSlots = 5;
constexpr size_t kHeaderBytes = 8;

const stored_record::Finger *g_finger = nullptr;
// STORED_RECORD_VERBOSE=1 prints each verification's outcome, to see which
// inputs reach the update.
bool g_verbose = false;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

uint32_t le32(const uint8_t *p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool same_record(const tpl_record &a, const tpl_record &b) {
  return a.type == b.type && a.length == b.length &&
         (a.length > LUMETRA_TPL_MAX_BYTES || std::memcmp(a.data, b.data, a.length) == 0);
}

bool empty_slot(int index) {
  auto r = std::make_unique<tpl_record>();
  check(nerio_qx_get_tpl(index, r.get()) == 0);
  return r->length == 0 && r->type == 0;
}

// Loads `record` into `index`; when the library takes it, checks that the
// slot reads back as the record's bytes over the erased area, and puts
// what it read into *read (length 0 when refused).
int load(int index, const tpl_record &record, tpl_record *read) {
  const int rc = init_alg_tpl_data(index, &record);
  std::memset(read, 0, sizeof *read);
  check(rc == 0 || rc == -1);
  if (rc != 0) {
    check(empty_slot(index));
    return rc;
  }
  check(nerio_qx_get_tpl(index, read) == 0);
  if (record.length == 0) return rc;  // nothing loaded, the slot kept what it had
  // The type reads back as the engine reports it (73 and 74 as 67, the
  // ISO codes without extended data as those with it).
  check(read->length == LUMETRA_TPL_MAX_BYTES &&
        read->type == (qx_template_type_report(record.type) & 0xFF));
  check(std::memcmp(read->data, record.data, record.length) == 0);
  for (uint32_t i = record.length; i < LUMETRA_TPL_MAX_BYTES; ++i) check(read->data[i] == 0xFF);
  return rc;
}

// One verification with updating on.  An acceptance names a slot that
// holds a template; only an update (*updated 1, on acceptance) changes a
// slot, and only the matched one; a refusal (-1: a template of another
// sensor) or a rejection writes neither out-argument.
void verify(const fpsynth::Image &probe, int mode) {
  std::unique_ptr<tpl_record> before[kSlots];
  for (int i = 0; i < kSlots; ++i) {
    before[i] = std::make_unique<tpl_record>();
    check(nerio_qx_get_tpl(i, before[i].get()) == 0);
  }
  int matched = -1, updated = 0;
  set_fp_dyn_update_flg(1);
  const int rc = nerio_qx_verify(probe.pixels.data(), &matched, &updated, mode);
  if (g_verbose)
    std::fprintf(stderr, "verify mode %d: %d, slot %d, updated %d\n", mode, rc, matched, updated);
  check(rc == 0 || rc == 1 || rc == -1);
  if (rc == 0) {
    check(matched >= 0 && matched < kSlots);
    check(!empty_slot(matched));
    check(updated == 0 || updated == 1);
  } else {
    check(matched == -1 && updated == 0);
  }
  auto now = std::make_unique<tpl_record>();
  for (int i = 0; i < kSlots; ++i) {
    check(nerio_qx_get_tpl(i, now.get()) == 0);
    if (updated == 1 && i == matched) {
      check(now->length == LUMETRA_TPL_MAX_BYTES && now->type == before[i]->type);
    } else {
      check(same_record(*now, *before[i]));
    }
  }
}

void clear_slots() {
  for (int i = 0; i < kSlots; ++i) nerio_DelFinger(i);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  set_fp_sensor_col_row(stored_record::kSensorSide, stored_record::kSensorSide);
  set_fp_max_nbr_subtemplate(stored_record::kMaxSubtemplates);
  if (init_nerio_algorithm() != 0) __builtin_trap();
  g_verbose = std::getenv("STORED_RECORD_VERBOSE") != nullptr;
  g_finger = new stored_record::Finger(stored_record::make_finger(stored_record::kFingerSeed));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kHeaderBytes || size > kHeaderBytes + LUMETRA_TPL_MAX_BYTES) return 0;
  auto record = std::make_unique<tpl_record>();
  std::memset(record.get(), 0xFF, sizeof *record);
  record->type = data[0];
  std::memcpy(record->reserved, data + 1, sizeof record->reserved);
  record->length = le32(data + 4);
  std::memcpy(record->data, data + kHeaderBytes, size - kHeaderBytes);
  const fpsynth::Image &probe = g_finger->probes[data[1] % g_finger->probes.size()];
  const int mode = data[2] % 3;
  // Each input starts from the same state: empty slots, no doubted
  // acceptances carried over from an earlier input.
  clear_slots();
  lumetra::api::g_state.verify.retry_accept_count = 0;

  auto first = std::make_unique<tpl_record>();
  if (load(0, *record, first.get()) != 0 || record->length == 0) {
    clear_slots();
    return 0;
  }
  verify(probe, mode);
  // What the slot holds now (updated or not) is what a host would store.
  auto stored = std::make_unique<tpl_record>();
  check(nerio_qx_get_tpl(0, stored.get()) == 0);
  check(stored->length == LUMETRA_TPL_MAX_BYTES && stored->type == first->type);

  // The stored record into a second slot, and back into the first.
  auto second = std::make_unique<tpl_record>();
  check(load(1, *stored, second.get()) == 0);
  check(same_record(*second, *stored));
  auto again = std::make_unique<tpl_record>();
  check(load(0, *stored, again.get()) == 0);
  check(same_record(*again, *stored));

  // Both slots hold the same template: a whole-set verification over them,
  // which may update either; each still reads back and loads again.
  verify(g_finger->probes[(data[1] + 1u) % g_finger->probes.size()], 1);
  for (int i = 0; i < 2; ++i) {
    auto now = std::make_unique<tpl_record>();
    auto reread = std::make_unique<tpl_record>();
    check(nerio_qx_get_tpl(i, now.get()) == 0 && now->length == LUMETRA_TPL_MAX_BYTES);
    check(load(2 + i, *now, reread.get()) == 0);
    check(same_record(*reread, *now));
  }
  clear_slots();
  return 0;
}
