/*
 * qx_polygon.h - small convex polygons in the plane: convex hull,
 * intersection of two convex polygons, polygon area, and the footprint of
 * a rectangle placed by an alignment.
 *
 * Coordinates are pixels at 500 dpi held as doubles; areas are square
 * pixels.  Hulls and intersections are counter-clockwise without repeated
 * or collinear corners, so a polygon with fewer than three corners has no
 * area (a point, a segment, or nothing).  A polygon holds at most
 * QX_POLYGON_MAX_CORNERS corners, which is more than the intersection of
 * any two polygons built here can have; larger inputs are cut to that
 * capacity rather than overrun.
 */
#ifndef LUMETRA_ENGINE_MATCH_QX_POLYGON_H
#define LUMETRA_ENGINE_MATCH_QX_POLYGON_H

#include <stdint.h>

#include "engine/objects/qx_alignment.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QX_POLYGON_MAX_CORNERS 32

typedef struct qx_polygon_point {
  double x;
  double y;
} qx_polygon_point;

typedef struct qx_polygon {
  int32_t count;
  qx_polygon_point corners[QX_POLYGON_MAX_CORNERS];
} qx_polygon;

/* Convex hull of `count` points (at most QX_POLYGON_MAX_CORNERS are read). */
void qx_polygon_convex_hull(const qx_polygon_point *points, int32_t count, qx_polygon *out);

/* Intersection of two convex polygons; empty when either has fewer than
 * three corners.  Polygons that only touch give a point or a segment. */
void qx_polygon_intersect_convex(const qx_polygon *a, const qx_polygon *b, qx_polygon *out);

/* Area in square pixels (0 for fewer than three corners). */
double qx_polygon_area(const qx_polygon *polygon);

/* Area rounded down to whole square pixels.  Corner coordinates that come
 * from integer points make areas that are exact multiples of a half pixel
 * or, after intersection, close to them; a tolerance of 1e-6 keeps an area
 * such as 1540 from reading as 1539. */
int64_t qx_polygon_area_floor(const qx_polygon *polygon);

/* The rectangle (0, 0)-(cols, rows) with each of its four corners put
 * through the alignment's inverse point transform, and the convex hull of
 * those corners.  An absent alignment places the rectangle unchanged. */
void qx_polygon_place_rectangle(const qx_alignment *alignment, int32_t cols, int32_t rows,
                                qx_polygon *out);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_MATCH_QX_POLYGON_H */
