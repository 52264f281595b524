/*
 * Result codes of the engine.
 *
 * Every qx_ operation returns a 32-bit result (`qx_rc`): QX_RC_OK for success
 * and a small positive code otherwise.  The image layer (bal_ operations)
 * answers its own status codes (`qxi_status`); qx_rc_convert_from_qxi turns
 * one into the other.  The numbers are fixed: they cross the library's
 * boundary and are stored by callers, so a code never changes its number.
 *
 * Always write the names, never the numbers: scripts/check_result_codes.py
 * (run by the library tests) fails on a bare number returned, assigned or
 * compared as a code.
 *
 * Numbers 10, 11, 12, 15, 16 and 21 to 24 are produced by no operation and
 * have no name.
 */
#ifndef LUMETRA_ENGINE_QX_RC_H
#define LUMETRA_ENGINE_QX_RC_H

#ifdef __cplusplus
extern "C" {
#endif

/* Engine result code (one of QX_RC_...). */
typedef int qx_rc;
/* Image-layer status code (one of QXI_...). */
typedef int qxi_status;

/* Engine result codes. */
#define QX_RC_OK 0
/* The operation is not supported here: a verifier asked for a template type
 * it does not handle, a conversion between types with no conversion, a
 * request the object refuses. */
#define QX_RC_UNSUPPORTED 1
/* A required output pointer is missing or a value is out of range (object
 * layer); the algorithm's main verifier is not the verifier called. */
#define QX_RC_BAD_ARGUMENT 2
/* Data that should be readable is not (a stored template or multi-template
 * that cannot be decoded). */
#define QX_RC_BAD_DATA 3
/* The input is not a record of a supported format and version ("FMR" 2.0 or
 * 3.0, a 0x7F2E compact card, a spectral part whose long-layout marker is
 * wrong), or a record lacks a part it must have. */
#define QX_RC_NOT_A_RECORD 4
/* Bytes that cannot be read as the structure they claim: an unreadable TLV
 * element or one running past its parent, a length field larger than its
 * input, a bitmap of an unsupported kind. */
#define QX_RC_MALFORMED 5
/* Code 6 has two meanings, by layer: */
/* an extension runs past the end of its input (record readers); */
#define QX_RC_TRUNCATED 6
/* the instance or metadata entry asked for is not there (multi-template). */
#define QX_RC_ENTRY_ABSENT 6
/* The image layer answered status 2 (no stage gives it a meaning). */
#define QX_RC_IMAGE_STATUS_2 7
/* A file cannot be opened, sized or read. */
#define QX_RC_FILE_UNREADABLE 8
/* Memory could not be obtained. */
#define QX_RC_NO_MEMORY 9
/* The image layer answered status 6 (no stage gives it a meaning). */
#define QX_RC_IMAGE_STATUS_6 13
/* A required argument of a record, TLV or on-card operation is missing, or a
 * value it takes is outside its range (a FAR level outside 1 to 12, a size
 * that does not fit its field, a TLV child added to a primitive node). */
#define QX_RC_INVALID_ARGUMENT 14
/* A template could not be built; generic failure; an image-layer status
 * with no engine counterpart. */
#define QX_RC_FAILED 17
/* A required context is missing: no verification model for this verifier,
 * or the model lacks the part asked for. */
#define QX_RC_CONTEXT_NOT_FOUND 18
/* No room left: the enrollment already holds its captures, a multi-template
 * cannot be made to fit its size limit. */
#define QX_RC_CAPACITY_FULL 19
/* A required object is missing: no model list given and the session holds
 * no algorithm. */
#define QX_RC_OBJECT_NOT_FOUND 20
/* The on-card matcher's work object is smaller than it needs. */
#define QX_RC_WORK_AREA_TOO_SMALL 25
/* The buffer for the enrolled structure is smaller than it needs (the size
 * needed is reported). */
#define QX_RC_BUFFER_TOO_SMALL 26
/* The caller's write function failed. */
#define QX_RC_WRITE_FAILED 27
/* The enrolled neighbourhood structure fails its own check (a neighbour
 * count that differs from its neighbour set, or above 24). */
#define QX_RC_CORRUPT_ENROLLED 28

/* Status codes of the image layer (bal_ operations). */
#define QXI_OK 0
#define QXI_DUMMY_TEMPLATE 5    /* the dummy test image: a fixed template is returned */
#define QXI_NO_MEMORY 9
#define QXI_CONTRADICTORY 13    /* contradictory request */
#define QXI_OUT_OF_RANGE 14     /* size or parameter out of range */
#define QXI_TOO_FEW_MINUTIAE 24 /* the extraction found fewer minutiae than asked for */
#define QXI_STATUS_COUNT 33     /* statuses 0..32 have their own table entry */

/* Converts an image-layer status into an engine result:
 *   0 -> OK;  1, 25, 26 -> NOT_A_RECORD;  2 -> IMAGE_STATUS_2;
 *   4, 5 -> BAD_DATA;  6 -> IMAGE_STATUS_6;  9 -> NO_MEMORY;
 *   12 -> MALFORMED;  13 (contradictory) -> UNSUPPORTED;
 *   14 (out of range) -> BAD_ARGUMENT;  15 -> INVALID_ARGUMENT;
 *   16 -> FILE_UNREADABLE;  every other status, negative values and values
 *   of 33 or more -> FAILED. */
qx_rc qx_rc_convert_from_qxi(qxi_status status);

#ifdef __cplusplus
}
#endif

#endif
