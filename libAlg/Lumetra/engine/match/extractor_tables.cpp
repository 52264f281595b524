// The static extractor tables of the "ehm" family.
#include "engine/match/embedded_extractor.h"

extern "C" {

const qx_extractor_interface embedded_extractor = {
    embedded_extract_template,
    embedded_pref_idim,
};

const qx_extractor_interface embedded_speed_extractor = {
    embedded_extract_template_speed,
    embedded_pref_idim_speed,
};

const qx_extractor_interface embedded_speedmem_extractor = {
    embedded_extract_template_speedmem,
    embedded_pref_idim_speedmem,
};

}  // extern "C"
