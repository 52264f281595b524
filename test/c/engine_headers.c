/* Compile check: the engine headers that C code may call are valid C.
 * Built as an object library only; nothing runs. */
#include "engine/formats/ansi378.h"
#include "engine/formats/bmp_convert.h"
#include "engine/formats/compact_card.h"
#include "engine/formats/extract_template.h"
#include "engine/formats/format_ids.h"
#include "engine/formats/hybrid_record.h"
#include "engine/formats/iso19794_2.h"
#include "engine/formats/qx_template_convert.h"
#include "engine/formats/record_inputs.h"
#include "engine/formats/tlv.h"
#include "engine/image/block_filter.h"
#include "engine/image/block_ops.h"
#include "engine/image/deband.h"
#include "engine/image/enhance.h"
#include "engine/image/fft.h"
#include "engine/image/fixed_math.h"
#include "engine/image/ghost_removal.h"
#include "engine/image/local_contrast.h"
#include "engine/image/normalize.h"
#include "engine/image/pixel_ops.h"
#include "engine/image/quality.h"
#include "engine/image/qx_image.h"
#include "engine/image/qx_quality.h"
#include "engine/image/resample.h"
#include "engine/image/segment.h"
#include "engine/match/ehm_verifier.h"
#include "engine/match/embedded_extractor.h"
#include "engine/match/linked_cluster.h"
#include "engine/match/linked_cluster_stages.h"
#include "engine/match/mt_coherence.h"
#include "engine/match/qx_config.h"
#include "engine/match/qx_extractor.h"
#include "engine/match/qx_polygon.h"
#include "engine/match/qx_utils.h"
#include "engine/match/qx_verifier.h"
#include "engine/match/spectral_match.h"
#include "engine/match/vermodel_data.h"
#include "engine/objects/chain_walk.h"
#include "engine/objects/mt_score.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_alignment.h"
#include "engine/objects/qx_enroll_islands.h"
#include "engine/objects/qx_enroll_progress.h"
#include "engine/objects/qx_finger.h"
#include "engine/objects/qx_mt_verify.h"
#include "engine/objects/qx_multitemplate.h"
#include "engine/objects/qx_multitemplate_enroll.h"
#include "engine/objects/qx_multitemplate_manager.h"
#include "engine/objects/qx_session.h"
#include "engine/objects/qx_subtemplate.h"
#include "engine/objects/qx_subtemplate_choice.h"
#include "engine/objects/qx_template.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"
#include "engine/qx_sensor.h"
#include "engine/qx_simd.h"

int engine_headers_compile_as_c(void) {
  qx_image *image = qx_image_create(1, 1, 500, 500, NULL, 0);
  int code = qx_image_get_sensor_size(image);
  qx_image_delete(image);
  qx_algorithm *alg = square_xs_create(NULL);
  code += qx_algorithm_get_template_type(alg);
  qx_algorithm_delete(alg);
  qx_multitemplate_manager *manager = qx_multitemplate_manager_create(QX_MT_MAX_INSTANCES);
  code += qx_multitemplate_manager_get_fill_grade(manager) + (QX_MT_GLOBAL_TAG < 0);
  qx_multitemplate_manager_delete(manager);
  code += (int)bal_filter_fft_worksize(ENHANCE_BLOCK) + QX_RC_OK;
  code += tlv_construct_tag(1, 1, 46) + embedded_order_code(6);
  return code + qx_rc_convert_from_qxi(QXI_NO_MEMORY);
}
