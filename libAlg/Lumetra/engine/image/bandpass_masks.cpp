// Decoding of the run-length encoded band-pass masks.
#include "engine/image/bandpass_masks.h"

#include <cstring>

extern "C" int bal_decode_mask(const uint8_t *stream, uint8_t *out, int count) {
  std::memset(out, 0, static_cast<size_t>(count));
  int pos = 0;
  for (;;) {
    const uint8_t control = *stream++;
    if (control == 0) break;
    const int run = control & 0x7F;
    if (control & 0x80) {
      for (int k = 0; k < run; ++k) {
        const uint8_t g = *stream++;
        if (pos + k < count) out[pos + k] = g;
      }
    }
    pos += run;
  }
  return pos;
}

extern "C" qxi_status bal_bandpass_mask(int n, int wclass, int sector, uint8_t *out) {
  if ((n != 32 && n != 16) || wclass < 0 || wclass > 10 || sector < 0 || sector > 15) return QXI_OUT_OF_RANGE;
  const int width = n / 2 + 1;
  const int stored = sector <= 8 ? sector : 16 - sector;
  const uint8_t *rle = n == 32 ? qx_bandpass32_rle : qx_bandpass16_rle;
  const uint32_t *offsets = n == 32 ? qx_bandpass32_offsets : qx_bandpass16_offsets;
  bal_decode_mask(rle + offsets[wclass * 9 + stored], out, n * width);
  if (sector > 8) {
    // Mirror the rows: row v takes row (n - v) mod n; rows 0 and n/2 stay.
    for (int v = 1; v < n / 2; ++v)
      for (int u = 0; u < width; ++u) {
        uint8_t t = out[v * width + u];
        out[v * width + u] = out[(n - v) * width + u];
        out[(n - v) * width + u] = t;
      }
  }
  return QXI_OK;
}
