// Test fixture for the exports that keep process-wide state (slots,
// enrollment, verification): every test starts from the state at load
// (store all zero, no slot loaded, no session, no algorithm) and leaves
// it so.
#ifndef TEST_LUMETRA_API_API_FIXTURE_H
#define TEST_LUMETRA_API_API_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "api/state.h"
#include "engine/objects/qx_session.h"
#include "engine/qx_alloc.h"
#include "lumetra.h"

namespace apitest {

using lumetra::api::g_state;

inline void reset_library_state() {
  qx_alloc_fail_after(-1);
  nerio_qx_cancel_enroll();
  uninit_nerio_algorithm();
  for (auto &sector : g_state.slots.sector) std::fill(std::begin(sector), std::end(sector), 0);
  g_state.params = lumetra::api::Parameters{};
  g_state.verify = lumetra::api::VerifyState{};
  qx_session_clear_properties(nullptr);
}

class ApiState : public ::testing::Test {
 protected:
  void SetUp() override { reset_library_state(); }
  void TearDown() override { reset_library_state(); }

  static const uint8_t *sector(int slot) { return g_state.slots.sector[slot]; }
  static qx_template *slot_template(int slot) { return g_state.engine.slot_template[slot]; }
};

// A template record on the heap (it is 32 KiB).
inline std::unique_ptr<tpl_record> make_record(uint8_t type, const std::vector<uint8_t> &bytes) {
  auto r = std::make_unique<tpl_record>();
  std::memset(r.get(), 0, sizeof *r);
  r->type = type;
  r->length = static_cast<uint32_t>(bytes.size());
  if (!bytes.empty()) std::memcpy(r->data, bytes.data(), bytes.size());
  return r;
}

}  // namespace apitest

#endif  // TEST_LUMETRA_API_API_FIXTURE_H
