/*
 * qx_config.h - the configuration registry, the "ehm" builders and the
 * chain creators.
 *
 * The registry is a fixed table of 20 rows (family, sensor-size code,
 * configuration name, builder).  The library builds its one algorithm by
 * looking up the family "ehm" and the sensor-size code of its sensor.
 */
#ifndef LUMETRA_ENGINE_MATCH_QX_CONFIG_H
#define LUMETRA_ENGINE_MATCH_QX_CONFIG_H

#include <stdint.h>

#include "engine/objects/qx_algorithm.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Builds a new algorithm on the session (or on a session of its own when
 * none is given); none on failure. */
typedef qx_algorithm *(*qx_config_builder)(qx_session *session);

typedef struct qx_config_row {
  const char *family;
  int32_t sensor_size;
  const char *name;
  qx_config_builder builder;
} qx_config_row;

enum { QX_CONFIG_REGISTRY_ROWS = 20 };

/* The registry rows, in search order. */
const qx_config_row *qx_config_registry(void);

/* Lookup rule: (1) the first row named exactly family; (2) else the first
 * row of that family and code whose name contains "-spmem" when
 * memory-saving is preferred (any name otherwise); (3) else the first row
 * of that family and code; (4) else none. */
const qx_config_row *qx_config_find(const char *family, int32_t sensor_size,
                                    int32_t prefer_memory_saving);
qx_config_builder qx_config_lookup(const char *family, int32_t sensor_size,
                                   int32_t prefer_memory_saving);

/* Chains: link 1 = cheetah with the given pass-on count, link 2 = ehm or
 * ehmhr.  A link that cannot be allocated is left out. */
qx_verifier_chain *ehm_create_chain(int32_t pass_on_count);
qx_verifier_chain *ehmhr_create_chain(int32_t pass_on_count);

/* Builders of the "ehm" family. */
qx_algorithm *square_xl_create(qx_session *session);
qx_algorithm *square_l_create(qx_session *session);
qx_algorithm *square_m_create(qx_session *session);
qx_algorithm *square_s_create(qx_session *session);
qx_algorithm *square_xs_create(qx_session *session);
qx_algorithm *rectangular_m_create(qx_session *session);
qx_algorithm *rectangular_s_create(qx_session *session);
qx_algorithm *square_xl_speed_mem_create(qx_session *session);
qx_algorithm *square_l_speed_mem_create(qx_session *session);
qx_algorithm *square_m_speed_mem_create(qx_session *session);
qx_algorithm *square_s_speed_mem_create(qx_session *session);
qx_algorithm *rectangular_m_speed_mem_create(qx_session *session);

/* Builders of the other families.  The library never selects these rows;
 * they build nothing and return none. */
qx_algorithm *spectral_square_xl_create(qx_session *session);
qx_algorithm *spectral_square_l_create(qx_session *session);
qx_algorithm *spectral_square_s_create(qx_session *session);
qx_algorithm *square_xl_speed_mem_slice_create(qx_session *session);
qx_algorithm *square_l_speed_mem_slice_create(qx_session *session);
qx_algorithm *swipe_speed_mem_slice_create(qx_session *session);
qx_algorithm *neo_rectangular_create(qx_session *session);
qx_algorithm *neo_rectangular_speed_create(qx_session *session);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_MATCH_QX_CONFIG_H */
