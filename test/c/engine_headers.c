/* The engine headers of the object layer and the configuration registry
 * are C headers: this file only has to compile as C. */
#include "engine/match/qx_config.h"
#include "engine/match/qx_extractor.h"
#include "engine/match/qx_utils.h"
#include "engine/match/qx_verifier.h"
#include "engine/match/vermodel_data.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_alignment.h"
#include "engine/objects/qx_finger.h"
#include "engine/objects/qx_session.h"
#include "engine/objects/qx_template.h"

int engine_headers_compile_as_c(void) { return QX_CONTEXT_ALGORITHM + QX_TEMPLATE_EHMHR; }
