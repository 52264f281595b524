// The static extractor tables of the "ehm" family.
//
// Template extraction comes with the hybrid extractor; until it is wired
// in here, slot 1 answers 1 (operation not supported) and slot 2 is left
// empty, so that the algorithm's preferred geometry repeats its input.
#include "engine/match/qx_extractor.h"

#include "engine/qx_rc.h"

namespace {

int32_t unbuilt_extract_template(qx_session *, qx_image *, qx_finger *, int32_t,
                                 qx_template **out) {
  if (out != nullptr) *out = nullptr;
  return QX_RC_UNSUPPORTED;
}

}  // namespace

extern "C" {

const qx_extractor_interface embedded_extractor = {
    unbuilt_extract_template,  // embedded_extract_template
    nullptr,                   // embedded_pref_idim
};

const qx_extractor_interface embedded_speed_extractor = {
    unbuilt_extract_template,  // embedded_extract_template_speed
    nullptr,                   // embedded_pref_idim_speed
};

const qx_extractor_interface embedded_speedmem_extractor = {
    unbuilt_extract_template,  // embedded_extract_template_speedmem
    nullptr,                   // embedded_pref_idim_speedmem
};

}  // extern "C"
