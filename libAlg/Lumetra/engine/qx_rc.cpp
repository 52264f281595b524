#include "engine/qx_rc.h"

namespace {
// Image-layer status -> engine result, indexed by status.
constexpr unsigned char kFromQxi[QXI_STATUS_COUNT] = {
    QX_RC_OK,               // 0
    QX_RC_NOT_A_RECORD,     // 1
    QX_RC_IMAGE_STATUS_2,   // 2
    QX_RC_FAILED,           // 3
    QX_RC_BAD_DATA,         // 4
    QX_RC_BAD_DATA,         // 5
    QX_RC_IMAGE_STATUS_6,   // 6
    QX_RC_FAILED,           // 7
    QX_RC_FAILED,           // 8
    QX_RC_NO_MEMORY,        // 9  QXI_NO_MEMORY
    QX_RC_FAILED,           // 10
    QX_RC_FAILED,           // 11
    QX_RC_MALFORMED,        // 12
    QX_RC_UNSUPPORTED,      // 13 QXI_CONTRADICTORY
    QX_RC_BAD_ARGUMENT,     // 14 QXI_OUT_OF_RANGE
    QX_RC_INVALID_ARGUMENT, // 15
    QX_RC_FILE_UNREADABLE,  // 16
    QX_RC_FAILED, QX_RC_FAILED, QX_RC_FAILED, QX_RC_FAILED,  // 17..20
    QX_RC_FAILED, QX_RC_FAILED, QX_RC_FAILED, QX_RC_FAILED,  // 21..24
    QX_RC_NOT_A_RECORD,     // 25
    QX_RC_NOT_A_RECORD,     // 26
    QX_RC_FAILED, QX_RC_FAILED, QX_RC_FAILED,                // 27..29
    QX_RC_FAILED, QX_RC_FAILED, QX_RC_FAILED,                // 30..32
};
}  // namespace

extern "C" qx_rc qx_rc_convert_from_qxi(qxi_status status) {
  if (status < QXI_OK || status >= QXI_STATUS_COUNT) return QX_RC_FAILED;
  return kFromQxi[status];
}
