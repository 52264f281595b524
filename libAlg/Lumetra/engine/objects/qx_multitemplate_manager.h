/*
 * qx_multitemplate_manager.h - a multi-template together with the
 * parameters that govern how it is built and updated.
 *
 * Parameters (stored in the multi-template as global record 1, 7 bytes):
 *   byte 0     maximum number of subtemplates
 *   byte 1     a manager parameter (12 for a new manager, else carried along)
 *   byte 2     flags: bit 1 update allowed, bit 0 second flag
 *   bytes 3-6  maximum encoded size, 32-bit big-endian, 0 = no limit
 *
 * Instances of the main island are those whose key-1 record is absent,
 * shorter than 6 bytes, or has the secondary bit clear; the others belong
 * to secondary islands ("unenrolled" templates).
 *
 * Incremental mode: new templates are appended as instances as long as the
 * maximum and the size limit allow.  Otherwise an update rebuilds the
 * multi-template: existing instances and new templates are matched into a
 * matrix and the subtemplates are chosen again.
 *
 * Change codes reported by an update: 1 a new template was kept in the main
 * island, 2 one was kept in a secondary island, 3 only existing instances
 * were removed (or the size limit forced a smaller maximum), 0 no change.
 */
#ifndef LUMETRA_ENGINE_OBJECTS_QX_MULTITEMPLATE_MANAGER_H
#define LUMETRA_ENGINE_OBJECTS_QX_MULTITEMPLATE_MANAGER_H

#include <stdint.h>

#include "engine/match/qx_verifier.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_alignment.h"
#include "engine/objects/qx_finger.h"
#include "engine/objects/qx_multitemplate.h"
#include "engine/objects/qx_session.h"
#include "engine/objects/qx_template.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qx_multitemplate_manager qx_multitemplate_manager;

#define QX_MTM_PARAMS_LENGTH 7
#define QX_MTM_FLAG_UPDATE_ALLOWED 0x02
#define QX_MTM_FLAG_SECOND 0x01
#define QX_MTM_PARAMETER_NEW 12     /* byte 1 written by a new manager */
#define QX_MTM_PARAMETER_DEFAULT 18 /* byte 1 when a template has no record 1 */

enum {
  QX_MTM_NO_CHANGE = 0,
  QX_MTM_CHANGE_MAIN = 1,      /* a new template kept in the main island */
  QX_MTM_CHANGE_SECONDARY = 2, /* a new template kept in a secondary island */
  QX_MTM_CHANGE_REDUCED = 3    /* only existing instances removed */
};

/* An empty multi-template with record 1 written: the maximum, parameter
 * 12, update allowed and second flag set, no size limit, not incremental.
 * None when memory runs out. */
qx_multitemplate_manager *qx_multitemplate_manager_create(uint8_t max_nbr_templates);
/* A manager over the decoded template.  Parameters from record 1 when it
 * has 7 bytes, else maximum 0, parameter 18, both flags clear, no limit;
 * incremental when there are instances and none carries a non-empty
 * island record.  None when the template does not decode. */
qx_multitemplate_manager *qx_multitemplate_manager_create_with_template(qx_template *tpl);
/* As create_with_template, with the decoder's result code (0, 1, 2, 3, 9). */
int32_t qx_multitemplate_manager_create_from_template(qx_template *tpl,
                                                      qx_multitemplate_manager **out);
qx_multitemplate_manager *qx_multitemplate_manager_retain(qx_multitemplate_manager *manager);
/* Takes a reference away (none is ignored); at 0 the multi-template is
 * released and the manager freed. */
void qx_multitemplate_manager_delete(qx_multitemplate_manager *manager);
int32_t qx_multitemplate_manager_get_num_refs(const qx_multitemplate_manager *manager);

void qx_multitemplate_manager_set_max_template_size(qx_multitemplate_manager *manager,
                                                    uint32_t size);
uint32_t qx_multitemplate_manager_get_max_template_size(const qx_multitemplate_manager *manager);
/* Sets incremental mode unless an instance carries island metadata. */
void qx_multitemplate_manager_set_incremental_mode(qx_multitemplate_manager *manager);
int32_t qx_multitemplate_manager_is_incremental(const qx_multitemplate_manager *manager);

/* Rewrites record 1 from the manager (the update-allowed bit written as 0
 * when keep_update_switch is non-zero) and encodes; none on failure. */
qx_template *qx_multitemplate_manager_encode(qx_multitemplate_manager *manager,
                                             int32_t keep_update_switch);

/* Takes new templates in (see the file comment).  *change is cleared
 * first.  0; 2 missing argument; 19 when the result has no instances or
 * cannot be brought within the size limit (or the maximum is 0); 9
 * memory; a verifier's or the subtemplate choice's code.  On failure the
 * multi-template is left as it was. */
int32_t qx_multitemplate_manager_enroll_templates(qx_multitemplate_manager *manager,
                                                  qx_template **templates, int32_t count,
                                                  qx_session *session,
                                                  const qx_verifier_interface *verifier,
                                                  int32_t option, int32_t *change,
                                                  qx_finger *finger);
/* Replaces the manager's instances by the subtemplates chosen from the
 * match matrix of the templates (count x count, row-major, cell (i, j) the
 * match of template i against j).  The maximum is lowered while a size
 * limit is set and exceeded.  island_option marks instances of islands
 * other than the first as secondary.  0, 2, 9, 19 (maximum reached 0). */
int32_t qx_mtm_enroll_templates_from_match_matrix(qx_multitemplate_manager *manager,
                                                  qx_template **templates, int32_t count,
                                                  qx_match **matrix, int32_t island_option);

/* Queries. */
/* The manager's multi-template, not retained. */
qx_multitemplate *qx_multitemplate_manager_get_multitemplate(
    const qx_multitemplate_manager *manager);
int32_t qx_multitemplate_manager_get_max_nbr_of_templates(const qx_multitemplate_manager *manager);
void qx_multitemplate_manager_set_max_nbr_of_templates(qx_multitemplate_manager *manager,
                                                       uint8_t max_nbr_templates);
/* Main-island instances. */
int32_t qx_multitemplate_manager_get_nbr_of_templates(const qx_multitemplate_manager *manager);
/* Secondary-island instances. */
int32_t qx_multitemplate_manager_get_nbr_of_unenrolled_templates(
    const qx_multitemplate_manager *manager);
/* Main-island instances x 100 / maximum (0 when the maximum is 0). */
int32_t qx_multitemplate_manager_get_fill_grade(const qx_multitemplate_manager *manager);
/* The index-th main-island (get_template) or secondary-island
 * (get_unenrolled_template) instance, retained, with a new alignment from
 * its key-1 record (identity without one) and its island number (255
 * without a key-2 record); none (outputs cleared) when there is no such
 * instance or memory runs out.  Either output may be absent. */
qx_template *qx_multitemplate_manager_get_template(const qx_multitemplate_manager *manager,
                                                   int32_t index, qx_alignment **alignment,
                                                   int32_t *island);
qx_template *qx_multitemplate_manager_get_unenrolled_template(
    const qx_multitemplate_manager *manager, int32_t index, qx_alignment **alignment,
    int32_t *island);
/* A new alignment of the instance holding that very template object
 * (identity without a key-1 record), or none. */
qx_alignment *qx_multitemplate_manager_get_subtemplate_alignment(
    const qx_multitemplate_manager *manager, const qx_template *tpl, int32_t *island);
int32_t qx_multitemplate_manager_allows_further_updates(const qx_multitemplate_manager *manager);

/* The verifier's decision from score with the number of main-island
 * instances as the number of subtemplates. */
int32_t qx_multitemplate_manager_decision_from_score(
    const qx_multitemplate_manager *manager, const qx_verifier_interface *verifier,
    qx_session *session, const void *reserved, uint16_t score, int32_t far_index,
    int32_t *decision, uint16_t *threshold, const qx_vermodel *models);
/* Verification of the probe against the manager's multi-template (best
 * main-island instances); *change (when given) receives the update's
 * change code when the probe was accepted and taken in. */
int32_t qx_multitemplate_manager_verify_template(
    qx_multitemplate_manager *manager, const qx_verifier_interface *verifier,
    qx_session *session, qx_template *probe, int32_t far_index, uint16_t *score,
    int32_t *decision, qx_alignment **alignment, const void *reserved, int32_t *change,
    qx_finger *finger);

/* A new manager over this one's encoding (record 1 rewritten first). */
qx_multitemplate_manager *qx_multitemplate_manager_copy(qx_multitemplate_manager *manager);
/* 1 when the template's bytes equal the manager's encoding made the same
 * way as by copy; 0 otherwise (also when memory runs out). */
int32_t qx_multitemplate_manager_is_copy(const qx_template *tpl,
                                         qx_multitemplate_manager *manager);
/* A new encoded multi-template with record 1 and the main-island
 * instances only, each of type 67 (type 72 instances reduced to 67).
 * 1 unless the target type is 67 or for an instance of another type, 3
 * when the template does not decode, 2 missing argument, 9 memory. */
int32_t qx_multitemplate_manager_convert(qx_template *tpl, int32_t target_type,
                                         qx_template **out);

/* The algorithm's multi-templates: a new manager for the configuration's
 * maximum (incremental for _incr_), the templates enrolled, the result
 * encoded.  update: a manager over the given multi-template takes the new
 * templates in with the configuration's second enrollment parameter as
 * option; *out receives the new encoding only when it changed.  A
 * multi-template that does not decode gives no updated template and its
 * decoder's code (1 another type, 3 malformed). */
int32_t qx_algorithm_create_multitemplate(qx_algorithm *alg, qx_template **templates,
                                          int32_t count, qx_template **out);
int32_t qx_algorithm_create_incr_multitemplate(qx_algorithm *alg, qx_template **templates,
                                               int32_t count, qx_template **out);
int32_t qx_algorithm_update_multitemplate(qx_algorithm *alg, qx_template *multitemplate,
                                          qx_template **templates, int32_t count,
                                          qx_template **out);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_OBJECTS_QX_MULTITEMPLATE_MANAGER_H */
