/*
 * linked_cluster.h - the linked-cluster minutiae matcher.
 *
 * The enrolled card is turned into a compact, self-checking neighbourhood
 * structure (at most 2370 bytes, written through a caller-supplied write
 * function so that it can live in persistent memory); a probe card is then
 * matched against it by pairing minutiae whose local neighbourhoods agree,
 * growing the set of pairs through their links, and scoring how many pairs
 * and links were found, how consistent they are and how many minutiae of
 * the common area stayed unpaired.
 *
 * Cards are compact cards (BER-TLV, template 0x7F2E): minutiae in tag 0x81
 * (or 0x90) directly inside 0x7F2E or inside its 0xA1 group; optional
 * quality bytes in this library's proprietary element 0x82 (inside 0x7F2E
 * or its 0xA2 group).  Coordinates are card units (0.1 mm); angles are
 * 1/256 turn, counter-clockwise with y up.
 *
 * Result codes are image-layer statuses (qx_rc_convert_from_qxi turns them
 * into engine results): see LC_* below.
 */
#ifndef LUMETRA_ENGINE_MATCH_LINKED_CLUSTER_H
#define LUMETRA_ENGINE_MATCH_LINKED_CLUSTER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Statuses of the matcher. */
#define LC_OK 0
#define LC_ERR_NO_MINUTIAE 4     /* no minutiae object, or a malformed one */
#define LC_ERR_NO_MEMORY 9       /* the entries could not allocate their buffers */
#define LC_ERR_ARGUMENT 14       /* FAR level outside 1..12 with a decision asked; missing argument */
#define LC_ERR_WORK_SIZE 25      /* work object too small */
#define LC_ERR_ENROLLED_SIZE 26  /* enrolled buffer too small (needed size reported) */
#define LC_ERR_WRITE 27          /* the write function failed */
#define LC_ERR_STRUCTURE 28      /* enrolled structure inconsistent */

/* Sizes. */
#define LC_MAX_MINUTIAE 64          /* minutiae kept per card */
#define LC_MAX_READ 128             /* minutiae read from a card */
#define LC_MAX_NEIGHBOURS 24
#define LC_MAX_LINKS 614
#define LC_HEADER_SIZE 258          /* count, 64 slots of 4 bytes, quality-present flag */
#define LC_RECORD_SIZE 33           /* neighbour count, 24 relative angles, 8-byte set */
#define LC_ENROLLED_SIZE 2370       /* header + 64 records */
#define LC_ENROLL_WORK_SIZE 1026    /* smallest work object qx_moc_enroll takes */
#define LC_VERIFY_WORK_SIZE 2056    /* smallest work object qx_moc_verify takes */
#define LC_WORK_OBJECT_SIZE 2064    /* what the entries allocate */
#define LC_NO_QUALITY 240           /* quality of a minutia when the card carries none */

/* Rotation mode bits. */
#define LC_ROTATION_FULL 0x1  /* any rotation (tolerance 128); else within 32 steps */
#define LC_ROTATION_AUX 0x2   /* write the auxiliary values into the result record */

/* Result record: an array of 16-bit values
 *   [0] score, [1] count of values after the score (preset by the caller:
 *   10 for this matcher), [2] status, [3..10] the eight auxiliary values.
 * The score is always written.  When the status is 0 on entry it becomes
 * LC_STATUS_AUX when the auxiliary values were written (count 10 and
 * LC_ROTATION_AUX), otherwise LC_STATUS_SCORE; any other preset status is
 * left alone and no auxiliary value is written. */
#define LC_RESULT_COUNT 10
#define LC_RESULT_VALUES 11 /* size of the whole record */
#define LC_STATUS_SCORE 1
#define LC_STATUS_AUX 9

/* Alignment of the enrolled card onto the probe: a probe point is
 * R(rotation) * enrolled point + (dx, dy), with the rotation matrix taken
 * in card coordinates (x right, y down):
 *   x' = (x cos r - y sin r) + dx,  y' = (x sin r + y cos r) + dy.
 * The rotation is the enrolled angle minus the probe angle.  dx and dy are
 * in card units (0.1 mm); 0 when nothing was paired. */
typedef struct lc_alignment {
  uint8_t rotation;
  int16_t dx;
  int16_t dy;
} lc_alignment;

/* Write function of the enrolment: copies `length` bytes to `destination`
 * (inside the enrolled buffer); 0 on success. */
typedef int (*qx_moc_write_fn)(uint8_t *destination, const uint8_t *source, uint32_t length);

/* Builds the enrolled structure of `card` into `enrolled` (at least
 * LC_ENROLLED_SIZE bytes, else 26 with *used_size = LC_ENROLLED_SIZE).
 * The work object (at least LC_ENROLL_WORK_SIZE bytes, else 25) stages
 * the records, which reach `enrolled` only through `write`.
 * *used_size = 258 + 33 * number of minutiae. */
int qx_moc_enroll(uint8_t *work, uint32_t work_size, const uint8_t *card, uint32_t card_length,
                  uint8_t *enrolled, uint32_t enrolled_size, uint32_t *used_size,
                  qx_moc_write_fn write);

/* Matches the probe card against an enrolled structure (read, never
 * written; it must hold 258 + 33 * its count bytes).  The work object
 * (at least LC_VERIFY_WORK_SIZE bytes, else 25) holds the match state.
 * `result` may be NULL.  With `decision` given, `far_level` must be 1..12
 * (else 14) and *decision = score >= the matcher's threshold for it.
 * `alignment` may be NULL. */
int qx_moc_verify(uint8_t *work, uint32_t work_size, const uint8_t *enrolled,
                  const uint8_t *probe, uint32_t probe_length, uint16_t *result, int far_level,
                  int *decision, lc_alignment *alignment, int rotation_mode);

/* Enrols card A (in memory) and verifies card B against it, with buffers
 * of its own (9 when they cannot be allocated).  `mode` is the FAR level
 * of the decision (read only when `decision` is given). */
int linked_cluster_match_iso_compact_card(const uint8_t *card_a, uint32_t length_a,
                                          const uint8_t *card_b, uint32_t length_b,
                                          uint16_t *result, int mode, int *decision,
                                          lc_alignment *alignment, int rotation_mode);

/* The same without decision and alignment. */
int linked_cluster_match_iso_compact_card_score(const uint8_t *card_a, uint32_t length_a,
                                                const uint8_t *card_b, uint32_t length_b,
                                                uint16_t *result, int mode, int rotation_mode);

/* The matcher's own threshold for FAR level 1..12 (1 in 10^(level/3)),
 * for rotation mode bit LC_ROTATION_FULL clear (0) or set (1); 65535 for a
 * level outside 1..12. */
uint16_t lc_threshold(int far_level, int full_rotation);

#ifdef __cplusplus
}
#endif

#endif
