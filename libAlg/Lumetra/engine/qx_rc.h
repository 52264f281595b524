/*
 * Result codes of the engine.
 *
 * Every qx_ operation returns a 32-bit result: 0 for success and a small
 * positive code otherwise.  The image layer (bal_ operations) has its own
 * status codes; qx_rc_convert_from_qxi turns one into the other.
 *
 * Only the codes whose meaning is shared across the engine have names
 * with a meaning; the others are produced by particular operations and
 * documented there.
 */
#ifndef LUMETRA_ENGINE_QX_RC_H
#define LUMETRA_ENGINE_QX_RC_H

#ifdef __cplusplus
extern "C" {
#endif

typedef int qx_rc;

/* Engine result codes. */
#define QX_RC_OK 0
#define QX_RC_UNSUPPORTED 1        /* operation not supported / request refused */
#define QX_RC_BAD_ARGUMENT 2       /* missing output pointer or value out of range */
#define QX_RC_BAD_DATA 3           /* malformed or unreadable data */
#define QX_RC_ERR_4 4
#define QX_RC_ERR_5 5
#define QX_RC_ERR_6 6
#define QX_RC_ERR_7 7
#define QX_RC_ERR_8 8
#define QX_RC_NO_MEMORY 9          /* memory could not be obtained */
#define QX_RC_ERR_10 10
#define QX_RC_ERR_11 11
#define QX_RC_ERR_12 12
#define QX_RC_ERR_13 13
#define QX_RC_ERR_14 14
#define QX_RC_ERR_15 15
#define QX_RC_ERR_16 16
#define QX_RC_FAILED 17            /* a template could not be built; generic failure */
#define QX_RC_CONTEXT_NOT_FOUND 18 /* a required session context is missing */
#define QX_RC_CAPACITY_FULL 19     /* no room left (enrollment captures) */
#define QX_RC_OBJECT_NOT_FOUND 20  /* a required object is missing */

/* Status codes of the image layer (bal_ operations). */
#define QXI_OK 0
#define QXI_NO_MEMORY 9
#define QXI_CONTRADICTORY 13 /* contradictory request */
#define QXI_OUT_OF_RANGE 14  /* size or parameter out of range */
#define QXI_STATUS_COUNT 33  /* statuses 0..32 have their own table entry */

/* Converts an image-layer status into an engine result.  Negative values
 * and values of 33 or more give 17. */
qx_rc qx_rc_convert_from_qxi(int status);

#ifdef __cplusplus
}
#endif

#endif
