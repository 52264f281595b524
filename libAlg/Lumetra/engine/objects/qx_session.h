/*
 * qx_session.h - the engine session: a reference-counted holder of typed
 * contexts, and the named integer properties the engine's parts read.
 *
 * A session keeps at most one context per type number.  The property list
 * is itself a context (type 8).  Besides the per-session lists there is one
 * process-wide list, created by the first set without a session and read
 * after a session's own list; it lives until it is cleared explicitly.
 *
 * Every function accepts an absent session: the context functions then do
 * nothing or return none, the property functions use the process-wide list.
 */
#ifndef LUMETRA_ENGINE_OBJECTS_QX_SESSION_H
#define LUMETRA_ENGINE_OBJECTS_QX_SESSION_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qx_session qx_session;
typedef struct qx_algorithm qx_algorithm;

/* Context type numbers used by the engine. */
enum {
  QX_CONTEXT_PROPERTIES = 8, /* the session's property list */
  QX_CONTEXT_ENROLLMENT = 9, /* an enrollment in progress */
  QX_CONTEXT_ALGORITHM = 11  /* the algorithm that owns this session */
};

typedef void (*qx_context_destroy_fn)(void *data);

qx_session *qx_session_create(void);
qx_session *qx_session_retain(qx_session *session);
void qx_session_delete(qx_session *session);
/* Current reference count (0 for an absent session). */
int32_t qx_session_get_num_refs(const qx_session *session);

/* Installs data as the context of that type.  An existing context of the
 * type is unlinked and its destroy function called first; the new entry
 * goes to the head.  Returns QX_RC_OK, QX_RC_BAD_ARGUMENT without a session, QX_RC_NO_MEMORY (the
 * old context is then left in place). */
int32_t qx_session_set_context(qx_session *session, void *data, int32_t type,
                               qx_context_destroy_fn destroy);
void *qx_session_get_context(const qx_session *session, int32_t type);
/* Unlinks the context of that type and calls its destroy function. */
void qx_session_remove_context(qx_session *session, int32_t type);
/* The algorithm registered as context 11, or none. */
qx_algorithm *qx_session_get_algorithm(const qx_session *session);
/* Number of contexts the session holds. */
int32_t qx_session_get_num_contexts(const qx_session *session);

/* The scope that keeps a probe's parts while its comparisons run
 * (match/probe_parts.h), or none.  Only that scope sets it, and clears it
 * when it ends; setting needs no memory.  Set does nothing without a
 * session. */
void *qx_session_get_probe_scope(const qx_session *session);
void qx_session_set_probe_scope(qx_session *session, void *scope);
/* The store of an enrolled template's parts its comparisons may use
 * (match/probe_parts.h), or none; set and cleared the same way. */
void *qx_session_get_parts_store(const qx_session *session);
void qx_session_set_parts_store(qx_session *session, void *store);

/* Named integer properties.  Names are compared exactly (case-sensitive).
 * set: 0, 2 without a name, 9 out of memory. */
int32_t qx_session_set_int(qx_session *session, const char *name, int32_t value);
int32_t qx_session_get_int(const qx_session *session, const char *name,
                           int32_t default_value);
void qx_session_clear_property(qx_session *session, const char *name);
void qx_session_clear_properties(qx_session *session);

/* Property names the engine reads or writes. */
#define QX_PROP_SENSOR_SIZE "qx.algorithm.sensor_size"
#define QX_PROP_SENSOR_TYPE "qx.algorithm.sensor_type"
#define QX_PROP_360 "qx.algorithm.360"
#define QX_PROP_SPECTRAL_FULLSEARCH "qx.ehm.spectral_fullsearch"
#define QX_PROP_SPECTRAL_HR_RANGE "qx.ehm.spectral_increase_hr_search_range"
#define QX_PROP_EHM_FSEARCH "ehm.fsearch"
#define QX_PROP_MINUTIAE_ORDER "qx.minutiae_order"
#define QX_PROP_MAX_MINUTIAE "qx.max_minutiae"
#define QX_PROP_IGNORE_SCALING "qx.embedded_extractor.ignore_scaling"
#define QX_PROP_SLICE_ROWS "slice_rows"

/* Typed shorthands with the engine's defaults. */
int32_t qx_session_get_sensor_size(const qx_session *session); /* default 0 */
int32_t qx_session_get_sensor_type(const qx_session *session); /* default 0 */
int32_t qx_session_get_360_state(const qx_session *session);   /* default 1 */
int32_t qx_session_get_slice_rows(const qx_session *session);  /* default 96 */
int32_t qx_session_set_sensor_size_(qx_session *session, int32_t value);
int32_t qx_session_set_sensor_type_(qx_session *session, int32_t value);
int32_t qx_session_set_360_state_(qx_session *session, int32_t value);
int32_t qx_session_set_slice_rows_(qx_session *session, int32_t value);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_OBJECTS_QX_SESSION_H */
