#include "engine/qx_rc.h"

namespace {
// Image-layer status -> engine result, indexed by status.
constexpr unsigned char kFromQxi[QXI_STATUS_COUNT] = {
    0,  4,  7,  17, 3,  3,  13, 17, 17, 9,  17,  // 0..10
    17, 5,  1,  2,  14, 8,  17, 17, 17, 17, 17,  // 11..21
    17, 17, 17, 4,  4,  17, 17, 17, 17, 17, 17,  // 22..32
};
}  // namespace

extern "C" qx_rc qx_rc_convert_from_qxi(int status) {
  if (status < 0 || status >= QXI_STATUS_COUNT) return QX_RC_FAILED;
  return kFromQxi[status];
}
