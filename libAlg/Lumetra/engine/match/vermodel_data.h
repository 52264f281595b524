/*
 * vermodel_data.h - the verification-model lists of the "ehm"
 * configurations.  Each list ends with a record whose verifier is none.
 *
 * The plain models, the 24-score coherence models of "ehmsq-xs" and
 * "ehmre-s" and their threshold tables are trained by
 * scripts/train-models.sh, which writes vermodel_data.cpp.
 */
#ifndef LUMETRA_ENGINE_MATCH_VERMODEL_DATA_H
#define LUMETRA_ENGINE_MATCH_VERMODEL_DATA_H

#include "engine/match/qx_verifier.h"

#ifdef __cplusplus
extern "C" {
#endif

extern const qx_vermodel qx_vermodels_ehmsq_xl[];
extern const qx_vermodel qx_vermodels_ehmsq_l[];
extern const qx_vermodel qx_vermodels_ehmsq_m[];
extern const qx_vermodel qx_vermodels_ehmsq_s[];
extern const qx_vermodel qx_vermodels_ehmsq_xs[];
extern const qx_vermodel qx_vermodels_ehmre_m[];
extern const qx_vermodel qx_vermodels_ehmre_s[];

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_MATCH_VERMODEL_DATA_H */
