/*
 * qx_subtemplate_choice.h - choosing the subtemplates a multi-template
 * keeps, from the match matrix of its candidate captures.
 *
 * 1. The accepting matches of the matrix (cells (i, j) with i > j, taken in
 *    score order, highest first, ties in cell order) build islands as in
 *    qx_enroll_islands.h, kept in the order they were founded; captures in
 *    no island follow as islands of one capture each, in capture order.
 * 2. With budget B and n captures, each island in turn gets the share
 *    min(its captures, B - already given, B x its captures / n + 1); an
 *    island of one capture gets 1 while the budget lasts, else 0.
 * 3. An island with more captures than its share drops captures one at a
 *    time: for each remaining candidate, the minutiae of the island's other
 *    remaining captures are brought into the island's frame and the 32-pixel
 *    cells they occupy are counted; the candidate whose removal leaves the
 *    most occupied cells goes (the first in capture order on ties; a best
 *    count of 0 is replaced by any later candidate).  An island whose share
 *    is 0 drops everything.
 * 4. What is left is the choice, island by island, each in capture order.
 */
#ifndef LUMETRA_ENGINE_OBJECTS_QX_SUBTEMPLATE_CHOICE_H
#define LUMETRA_ENGINE_OBJECTS_QX_SUBTEMPLATE_CHOICE_H

#include <stdint.h>

#include "engine/objects/qx_alignment.h"
#include "engine/objects/qx_template.h"
#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One kept capture. */
typedef struct qx_subtemplate_pick {
  int32_t index;           /* position among the templates given */
  int32_t island;          /* island number: its position in the island order, 0 first */
  qx_alignment *alignment; /* to the island's top; owned by the pick array */
} qx_subtemplate_pick;

/* matrix: count x count cells, row-major, cell (i, j) = the match of
 * capture i against capture j (or none); the cells below the diagonal are
 * read.  The templates must be the very objects the matches hold.
 * Result: 0 with a new pick array (release with qx_subtemplate_picks_free)
 * and its length, possibly 0; 2 for a missing argument or negative count;
 * 19 for a budget below 1; 9 memory.  The outputs are cleared first. */
qx_rc qx_subtemplate_choose(qx_template *const *templates, int32_t count,
                            qx_match *const *matrix, int32_t budget,
                            qx_subtemplate_pick **out, int32_t *out_count);
void qx_subtemplate_picks_free(qx_subtemplate_pick *picks, int32_t count);

/* Number of 32-pixel cells occupied by the points: with x0 and y0 the
 * smallest x and y, each rounded toward zero to a multiple of 32, the
 * cells ((x - x0) / 32, (y - y0) / 32), dividing toward zero.  -1 when
 * memory runs out. */
int32_t qx_subtemplate_count_cells(const int32_t *xs, const int32_t *ys, int32_t n);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_OBJECTS_QX_SUBTEMPLATE_CHOICE_H */
