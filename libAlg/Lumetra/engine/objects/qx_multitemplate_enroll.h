/*
 * qx_multitemplate_enroll.h - enrollment of one finger from a series of
 * captures into a multi-template.
 *
 * Each run extracts a template from one image, compares it with the
 * captures accepted before (through the algorithm's main verifier), refuses
 * it when it lies within 10 pixels and 16 angle steps of an earlier capture
 * it matches, and otherwise accepts it.  Captures tied together by accepted
 * matches form islands (qx_enroll_islands.h); the progress grows with the
 * convex hull of the largest island (qx_enroll_progress.h).  Finalize keeps
 * a bounded set of subtemplates (qx_subtemplate_choice.h) in a multi-
 * template.
 *
 * The enrollment retains the algorithm's session, the finger and the
 * canvas, and registers itself as the session's enrollment context (type
 * 9, without a destroy function: the caller owns the enrollment).
 */
#ifndef LUMETRA_ENGINE_OBJECTS_QX_MULTITEMPLATE_ENROLL_H
#define LUMETRA_ENGINE_OBJECTS_QX_MULTITEMPLATE_ENROLL_H

#include <stdint.h>

#include "engine/image/qx_image.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_alignment.h"
#include "engine/objects/qx_enroll_islands.h"
#include "engine/objects/qx_finger.h"
#include "engine/objects/qx_session.h"
#include "engine/objects/qx_template.h"
#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qx_multitemplate_enroll qx_multitemplate_enroll;

/* Events sent through callback entry 0. */
enum {
  QX_ENROLL_EVENT_EXTRACTED = 0x200B,        /* a capture was extracted and recorded */
  QX_ENROLL_EVENT_DUPLICATE = 0xF001,        /* refused: too close to an accepted capture */
  QX_ENROLL_EVENT_DUPLICATE_OF_LAST = 0x1007, /* with 0xF001: too close to the latest one */
  QX_ENROLL_EVENT_NO_MATCH = 0x1008          /* accepted, but matched no earlier capture */
};

/* Duplicate rule: an accepting match within this distance (pixels) and
 * rotation (1/256 turn). */
enum { QX_ENROLL_DUPLICATE_DISTANCE = 10, QX_ENROLL_DUPLICATE_ANGLE = 16 };

/* The caller's callback table; any entry may be absent. */
typedef int32_t (*qx_enroll_event_fn)(qx_session *session, uint16_t event, qx_finger *finger);
/* Returning 1 hands the reports back to the engine, which frees them;
 * otherwise the callee owns them (qx_enroll_island_reports_free). */
typedef int32_t (*qx_enroll_island_report_fn)(qx_session *session,
                                              qx_enroll_island_report *islands,
                                              int32_t nbr_islands);
typedef int32_t (*qx_enroll_canvas_fn)(qx_session *session, qx_image *canvas);
typedef int32_t (*qx_enroll_reserved_fn)(qx_session *session);
typedef int32_t (*qx_enroll_capture_count_fn)(qx_session *session, int32_t accepted,
                                              int32_t capacity);

typedef struct qx_enroll_callbacks {
  qx_enroll_event_fn event;                 /* entry 0 */
  qx_enroll_island_report_fn island_report; /* entry 1 */
  qx_enroll_canvas_fn canvas;               /* entry 2, only with a canvas */
  qx_enroll_reserved_fn reserved;           /* entry 3, never called */
  qx_enroll_capture_count_fn capture_count; /* entry 4, at the end of every run */
} qx_enroll_callbacks;

/* A new enrollment for the algorithm's configuration (capacity = its
 * number of enrollment captures); the callback table is copied.  None when
 * the algorithm is absent, its capacity is 0, or memory runs out. */
qx_multitemplate_enroll *qx_multitemplate_enroll_create_algorithm(
    qx_algorithm *algorithm, qx_finger *finger, const qx_enroll_callbacks *callbacks,
    qx_image *canvas);
/* The reduced enrollment for small controllers: captures are never
 * compared with each other (every capture is accepted and stays an island
 * of its own). */
qx_multitemplate_enroll *qx_multitemplate_enroll_mcu_create_algorithm(
    qx_algorithm *algorithm, qx_finger *finger, const qx_enroll_callbacks *callbacks,
    qx_image *canvas);

qx_multitemplate_enroll *qx_multitemplate_enroll_retain(qx_multitemplate_enroll *enrollment);
/* Releases everything the enrollment holds; accepts none. */
void qx_multitemplate_enroll_delete(qx_multitemplate_enroll *enrollment);

/* One capture.  0; 2 without enrollment or image; 19 when the accepted
 * captures already fill the capacity (nothing is done, *progress is not
 * written); the extractor's code when extraction fails (*progress 0, no
 * capture added); the verifier's code when a comparison fails (the capture
 * is still judged on the comparisons made); 9 when memory runs out. */
qx_rc qx_multitemplate_enroll_run(qx_multitemplate_enroll *enrollment, qx_image *image,
                                  uint8_t *progress);

/* The multi-template of the accepted captures: a manager for the
 * configuration's maximum number of subtemplates (and maximum template size,
 * its third enrollment parameter) chooses the subtemplates from the match
 * matrix (island option: the second enrollment parameter) and encodes them
 * (update switch: the first).  *out is cleared first.  0; 2 when out (or
 * the algorithm or enrollment) is missing; 9 memory; 17 when no template
 * could be made.  The enrollment is left as it was. */
qx_rc qx_multitemplate_enroll_finalize_template_algorithm(qx_algorithm *algorithm,
                                                           qx_multitemplate_enroll *enrollment,
                                                           qx_template **out);

int32_t qx_multitemplate_enroll_get_nbr_of_captures(const qx_multitemplate_enroll *enrollment);
int32_t qx_multitemplate_enroll_get_capacity(const qx_multitemplate_enroll *enrollment);
/* Accepted capture `index` (not retained), or none. */
qx_template *qx_multitemplate_enroll_get_capture(const qx_multitemplate_enroll *enrollment,
                                                 int32_t index);
/* Cell (i, j) of the match matrix: the match of accepted capture i against
 * accepted capture j (not retained), or none. */
qx_match *qx_multitemplate_enroll_get_match(const qx_multitemplate_enroll *enrollment,
                                            int32_t i, int32_t j);
/* The island list of the last run that built one (not retained), or none. */
const qx_island_list *qx_multitemplate_enroll_get_islands(
    const qx_multitemplate_enroll *enrollment);
/* Captures handed to run and recorded (accepted or refused), since the
 * enrollment was created. */
int32_t qx_multitemplate_enroll_get_nbr_of_records(const qx_multitemplate_enroll *enrollment);
/* The capture records the enrollment still holds: the accepted captures
 * and at most `capacity` refused ones (the most recent), so that its
 * memory stays bounded however many duplicates it is given. */
int32_t qx_multitemplate_enroll_get_nbr_of_kept_records(
    const qx_multitemplate_enroll *enrollment);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_OBJECTS_QX_MULTITEMPLATE_ENROLL_H */
