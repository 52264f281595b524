// Fuzzes the spectral matcher: the conversion of a spectral part (as given
// and in quick form), and the quick and full matches on the raw bytes and
// on two well-formed feature sets whose sizes, fields and flags come from
// the input.  Every match runs on both paths of the vector kernels, which
// must agree.
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/match/spectral_match.h"
#include "engine/qx_alloc.h"
#include "engine/qx_simd.h"

namespace {

// Bytes taken from the input in order; zeros once it is used up.
struct Reader {
  const uint8_t *p;
  size_t n;
  uint8_t byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
};

// A feature set with a correct header and check byte: rows and cols up to
// 31, block size 1..15, resolution 250 or 500 or a byte, fine field and
// quality byte on request, the blocks from the input.
std::vector<uint8_t> make_set(Reader &in) {
  const uint8_t shape = in.byte(), sizes = in.byte(), extra = in.byte();
  const int rows = sizes & 0x1F, cols = (shape & 0x1F);
  const int block = (extra & 0x0F) != 0 ? (extra & 0x0F) : 12;
  const int res = (extra & 0x30) == 0 ? 500 : (extra & 0x30) == 0x10 ? 250 : 100 + in.byte() * 2;
  const bool fine = (shape & 0x80) != 0, quality = (shape & 0x40) != 0;
  std::vector<uint8_t> s = {0x5B, 0xDA, 2, static_cast<uint8_t>(block), static_cast<uint8_t>(res >> 8),
                            static_cast<uint8_t>(res), static_cast<uint8_t>(cols), static_cast<uint8_t>(rows), 0, 0};
  const size_t blocks = static_cast<size_t>(rows) * cols * (fine ? 10 : 1);
  for (size_t i = 0; i < blocks; ++i) {
    s.push_back(in.byte());
    const uint8_t f = in.byte();
    s.push_back((sizes & 0x80) ? f : static_cast<uint8_t>(f | 1));  // mostly with ridge data
  }
  if (quality) s.push_back(in.byte());
  if ((sizes & 0x60) != 0x60) {  // otherwise leave bytes 8 and 9 at 0: no check
    uint8_t x = 0;
    for (uint8_t v : s) x ^= v;
    s[9] = x;
  }
  return s;
}

void match(const uint8_t *a, uint32_t la, const uint8_t *b, uint32_t lb, uint32_t flags, int level,
           const qx_spectral_alignment &given) {
  uint16_t values[2];
  qx_spectral_quick_match(a, la, b, lb, values);
  const uint32_t need = qx_spectral_match_required_mem(a, la, b, lb, flags);
  if (need > (8u << 20)) return;  // keep each run small
  std::vector<uint8_t> work(need + 16);
  qx_spectral_result r{};
  r.count = QX_SPECTRAL_RESULT_COUNT;
  int32_t decision = 0;
  qx_spectral_alignment al = given;
  const qx_rc rc = qx_spectral_match(work.data(), need, a, la, b, lb, level, &r, &decision, &al, flags);
  // The plain path of the pair sums gives the same answer as the vector one.
  const int previous = qx_simd_force_plain(1);
  qx_spectral_result plain_r{};
  plain_r.count = QX_SPECTRAL_RESULT_COUNT;
  int32_t plain_decision = 0;
  qx_spectral_alignment plain_al = given;
  const qx_rc plain_rc =
      qx_spectral_match(work.data(), need, a, la, b, lb, level, &plain_r, &plain_decision, &plain_al, flags);
  qx_simd_force_plain(previous);
  if (plain_rc != rc || std::memcmp(&plain_r, &r, sizeof r) != 0 || plain_decision != decision ||
      std::memcmp(&plain_al, &al, sizeof al) != 0)
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 8 || size > 1 << 16) return 0;
  const uint32_t flags = data[0] & 0x7F;
  const int level = data[1] % 14;  // 13 is refused
  qx_spectral_alignment given{};
  given.rotation = data[2];
  given.dx = static_cast<int16_t>(static_cast<int8_t>(data[3]) * 2);
  given.dy = static_cast<int16_t>(static_cast<int8_t>(data[4]) * 2);
  const uint8_t mode = data[5];
  const uint8_t *rest = data + 6;
  const size_t n = size - 6;

  if (mode & 1) {
    // The input is a spectral part: convert it, and match it with itself.
    for (int quick = 0; quick < 2; ++quick) {
      uint8_t *f = nullptr;
      uint32_t len = 0;
      int32_t y, x, rows, cols;
      qx_fusion_spectral_to_matcher(rest, static_cast<uint32_t>(n), nullptr, &len, &y, &x, &rows, &cols, quick);
      if (qx_fusion_spectral_to_matcher(rest, static_cast<uint32_t>(n), &f, &len, &y, &x, &rows, &cols, quick) == 0) {
        match(f, len, f, len, flags, level, given);
        qx_free(f);
      }
    }
  } else if (mode & 2) {
    // Raw bytes as feature sets, split in two.
    const size_t half = n / 2;
    match(rest, static_cast<uint32_t>(half), rest + half, static_cast<uint32_t>(n - half), flags, level, given);
  } else {
    Reader in{rest, n};
    const std::vector<uint8_t> a = make_set(in), b = make_set(in);
    match(a.data(), static_cast<uint32_t>(a.size()), b.data(), static_cast<uint32_t>(b.size()), flags, level, given);
  }
  return 0;
}
