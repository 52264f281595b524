// Fuzzes the linked-cluster matcher: the input is split into two cards (the
// first byte chooses where and the rotation mode), which go through both
// entries in both roles; the input, padded to a whole enrolled buffer, is
// also verified as an enrolled structure.  Every card copy is exactly as
// long as the bytes it holds, so the sanitizers see any read past the end.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/match/linked_cluster.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 1 << 16) return 0;
  const int rotation_mode = data[0] & 3;
  const size_t body = size - 1;
  const size_t cut = body * (data[0] >> 2) / 63;
  const std::vector<uint8_t> a(data + 1, data + 1 + cut), b(data + 1 + cut, data + size);
  const uint32_t na = static_cast<uint32_t>(a.size()), nb = static_cast<uint32_t>(b.size());

  uint16_t result[LC_RESULT_VALUES] = {0, LC_RESULT_COUNT, 0};
  int decision = 0;
  lc_alignment alignment;
  linked_cluster_match_iso_compact_card(a.data(), na, b.data(), nb, result, 1 + data[0] % 12,
                                        &decision, &alignment, rotation_mode);
  result[2] = 0;
  linked_cluster_match_iso_compact_card_score(b.data(), nb, a.data(), na, result, 0,
                                              rotation_mode);
  // The whole input as one card, against itself.
  result[2] = 0;
  linked_cluster_match_iso_compact_card(data + 1, static_cast<uint32_t>(body), data + 1,
                                        static_cast<uint32_t>(body), result, 12, &decision,
                                        &alignment, rotation_mode | LC_ROTATION_AUX);

  // The input as an enrolled structure.
  std::vector<uint8_t> enrolled(LC_ENROLLED_SIZE, 0);
  std::memcpy(enrolled.data(), data, std::min<size_t>(size, LC_ENROLLED_SIZE));
  std::vector<uint8_t> work(LC_VERIFY_WORK_SIZE);
  qx_moc_verify(work.data(), LC_VERIFY_WORK_SIZE, enrolled.data(), b.data(), nb, result, 3,
                &decision, &alignment, rotation_mode);
  return 0;
}
