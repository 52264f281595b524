/*
 * qx_enroll_islands.h - islands of captures.
 *
 * An island is a tree of subtemplates (qx_subtemplate.h) whose captures
 * are tied together by accepted matches; it stands for one region of the
 * finger.  An island list is built from accepted matches taken in score
 * order, highest first, as a maximum spanning forest:
 *   - both templates in different islands: the second's island is re-rooted
 *     at template 2 and put under template 1 with the match's alignment;
 *     both in the same island: nothing;
 *   - only template 1 in an island: template 2 goes under it with the
 *     match's alignment;
 *   - only template 2 in an island: template 1 goes under it with the
 *     inverse alignment;
 *   - neither: a new island, template 1 on top, template 2 under it.
 * Islands keep the order in which they were founded until they are sorted.
 *
 * Templates are told apart by object identity.
 */
#ifndef LUMETRA_ENGINE_OBJECTS_QX_ENROLL_ISLANDS_H
#define LUMETRA_ENGINE_OBJECTS_QX_ENROLL_ISLANDS_H

#include <stdint.h>

#include "engine/objects/qx_alignment.h"
#include "engine/objects/qx_subtemplate.h"
#include "engine/objects/qx_template.h"
#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qx_island_list qx_island_list;

/* An empty list; none when memory runs out. */
qx_island_list *qx_island_list_create(void);
/* Releases the islands and the list; accepts none. */
void qx_island_list_delete(qx_island_list *list);

int32_t qx_island_list_get_nbr_of_islands(const qx_island_list *list);
/* Top of the index-th island (not retained), or none. */
qx_subtemplate *qx_island_list_get_top(const qx_island_list *list, int32_t index);
/* Number of subtemplates of the index-th island (0 for a bad index). */
int32_t qx_island_list_get_size(const qx_island_list *list, int32_t index);
/* The node holding the template, and the index of its island (-1 when no
 * island holds it); none when absent. */
qx_subtemplate *qx_island_list_find(const qx_island_list *list, const qx_template *tpl,
                                    int32_t *island_index);

/* One step of the forest with an accepted match (its alignment absent
 * counts as the identity).  0; 2 without list or match; 9 memory (the list
 * is left consistent but may lack the match). */
qx_rc qx_island_list_add_match(qx_island_list *list, const qx_match *match);
/* Appends an island of its own for a template that no island holds yet
 * (nothing happens when one does).  0; 2; 9. */
qx_rc qx_island_list_add_single(qx_island_list *list, qx_template *tpl);
/* Stable sort by number of subtemplates, largest first. */
void qx_island_list_sort_by_size(qx_island_list *list);
/* Re-roots the island holding the template at the template's node.  0
 * (also when no island holds it); 9 memory (that island is unchanged). */
qx_rc qx_island_list_make_top(qx_island_list *list, const qx_template *tpl);

/* Corners of one capture in its island's frame: the corners (0, 0),
 * (width, 0), (width, height), (0, height) of the capture rectangle, each
 * put through the inverse point transform of the capture's alignment to the
 * island's top. */
enum {
  QX_ENROLL_CAPTURE_NEWEST = 1,  /* the capture of the run that reports */
  QX_ENROLL_CAPTURE_REJECTED = 2 /* refused as a duplicate */
};

typedef struct qx_enroll_capture_corners {
  int32_t x[4];
  int32_t y[4];
  int32_t flags; /* QX_ENROLL_CAPTURE_ bits */
} qx_enroll_capture_corners;

/* What the island report callback receives, one entry per island. */
typedef struct qx_enroll_island_report {
  int32_t nbr_of_captures;
  qx_enroll_capture_corners *captures; /* qx_malloc'ed */
} qx_enroll_island_report;

/* Flags of a capture, asked while collecting corners. */
typedef int32_t (*qx_enroll_capture_flags_fn)(void *user, const qx_template *tpl);

/* Corners of every capture of the index-th island, breadth first from the
 * top, into a new array (qx_malloc; release with qx_free) of
 * qx_island_list_get_size entries.  flags_of may be none (flags 0).  0; 2
 * for a bad index or output; 9 memory.  *out is cleared first. */
qx_rc qx_island_list_collect_corners(const qx_island_list *list, int32_t index, int32_t width,
                                     int32_t height, qx_enroll_capture_flags_fn flags_of,
                                     void *user, qx_enroll_capture_corners **out);

/* Frees an array of island reports and their corner arrays; accepts none. */
void qx_enroll_island_reports_free(qx_enroll_island_report *reports, int32_t count);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_OBJECTS_QX_ENROLL_ISLANDS_H */
