/*
 * qx_enroll_progress.h - enrollment progress from the covered finger area.
 *
 * The progress of an enrollment is the area of the convex hull of the
 * capture corners of its largest island, in square pixels at 500 dpi,
 * scaled so that 87500 square pixels (about 35 square millimetres) is 100:
 * progress = area x 100 / 87500 (integer division), at most 100, and never
 * below the best progress reported before.
 */
#ifndef LUMETRA_ENGINE_OBJECTS_QX_ENROLL_PROGRESS_H
#define LUMETRA_ENGINE_OBJECTS_QX_ENROLL_PROGRESS_H

#include <stdint.h>

#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QX_ENROLL_FULL_AREA 87500

/* Area (truncated to whole square pixels) of the convex hull of n points.
 * Fewer than three points, or points on one line, give 0.  0; 2 for a
 * missing argument or negative n; 9 memory.  *area is cleared first. */
qx_rc qx_convex_hull_area(const int32_t *xs, const int32_t *ys, int32_t n, int64_t *area);

/* Progress for a hull area, never below `best`. */
uint8_t qx_enroll_progress_from_area(int64_t area, uint8_t best);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_OBJECTS_QX_ENROLL_PROGRESS_H */
