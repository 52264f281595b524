/* Compile check: the engine headers that C code may call are valid C.
 * Built as an object library only; nothing runs. */
#include "engine/image/block_ops.h"
#include "engine/image/fixed_math.h"
#include "engine/image/normalize.h"
#include "engine/image/pixel_ops.h"
#include "engine/image/quality.h"
#include "engine/image/qx_image.h"
#include "engine/image/qx_quality.h"
#include "engine/image/resample.h"
#include "engine/image/segment.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"

int engine_headers_compile_as_c(void) {
  qx_image *image = qx_image_create(1, 1, 500, 500, NULL, 0);
  int code = qx_image_get_sensor_size(image);
  qx_image_delete(image);
  return code + qx_rc_convert_from_qxi(QXI_NO_MEMORY);
}
