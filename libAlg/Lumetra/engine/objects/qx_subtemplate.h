/*
 * qx_subtemplate.h - trees of subtemplates.
 *
 * An island of captures is a tree: each node (a subtemplate) holds a
 * capture's template and its alignment to its parent node; the top node
 * has none (the identity).  An alignment to the parent maps the parent's
 * coordinates onto the node's (the point transform), so its inverse point
 * transform brings the node's coordinates into the parent's frame.
 *
 * Ownership: a node holds one reference on each of its leaves (children);
 * the top is held by whoever made the tree.  Deleting the last reference
 * of a node releases its template, its alignment and its leaves.  The
 * parent link is not a reference.
 */
#ifndef LUMETRA_ENGINE_OBJECTS_QX_SUBTEMPLATE_H
#define LUMETRA_ENGINE_OBJECTS_QX_SUBTEMPLATE_H

#include <stdint.h>

#include "engine/objects/qx_alignment.h"
#include "engine/objects/qx_template.h"
#include "engine/qx_rc.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qx_subtemplate qx_subtemplate;

/* A new top node over the template (retained); none when memory runs out
 * or the template is absent. */
qx_subtemplate *qx_subtemplate_create(qx_template *tpl);
qx_subtemplate *qx_subtemplate_retain(qx_subtemplate *node);
void qx_subtemplate_delete(qx_subtemplate *node);
int32_t qx_subtemplate_get_num_refs(const qx_subtemplate *node);

qx_template *qx_subtemplate_get_template(const qx_subtemplate *node);
/* The alignment to the parent (not retained); none for a top node. */
qx_alignment *qx_subtemplate_get_alignment(const qx_subtemplate *node);
qx_subtemplate *qx_subtemplate_get_parent(const qx_subtemplate *node);
/* The top of the node's tree (the node itself when it has no parent). */
qx_subtemplate *qx_subtemplate_get_top(qx_subtemplate *node);
/* Leaves in the order they were added. */
qx_subtemplate *qx_subtemplate_get_first_leaf(const qx_subtemplate *node);
qx_subtemplate *qx_subtemplate_get_next_sibling(const qx_subtemplate *node);
/* Number of nodes of the tree under (and including) this node. */
int32_t qx_subtemplate_get_tree_size(const qx_subtemplate *node);

/* Puts the top node `leaf` under `parent` with its alignment to the parent
 * (retained); the parent takes a reference on the leaf.  0; 2 when an
 * argument is missing, the leaf has a parent, or the leaf is the parent's
 * own top. */
qx_rc qx_subtemplate_add_leaf(qx_subtemplate *parent, qx_subtemplate *leaf,
                              qx_alignment *alignment);

/* Re-roots the node's tree at the node: every edge on the way up to the old
 * top is turned round and takes the inverse alignment.  The reference that
 * held the old top now holds the node: the holder swaps its pointer.  0;
 * 2 without a node; 9 when memory runs out (the tree is unchanged). */
qx_rc qx_subtemplate_leaf_make_top_leaf(qx_subtemplate *node);

/* A new alignment of the node to its tree's top: the alignments of the path
 * combined from the top down (identity for the top itself).  0; 2 without
 * a node or output; 9 when memory runs out.  *out is cleared first. */
qx_rc qx_subtemplate_get_alignment_to_top(const qx_subtemplate *node, qx_alignment **out);

/* The node of the tree under `node` that holds exactly this template
 * object, or none. */
qx_subtemplate *qx_subtemplate_find(qx_subtemplate *node, const qx_template *tpl);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_OBJECTS_QX_SUBTEMPLATE_H */
