// Subtemplate trees: the nodes of an island of captures.
#include "engine/objects/qx_subtemplate.h"

#include "engine/qx_alloc.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"
#include "engine/qx_refcount.hpp"

struct qx_subtemplate {
  int32_t refs;
  qx_template *tpl;
  qx_alignment *alignment;  // to the parent; none for a top
  qx_subtemplate *parent;   // not a reference
  qx_subtemplate *first_leaf;
  qx_subtemplate *last_leaf;
  qx_subtemplate *prev_sibling;
  qx_subtemplate *next_sibling;
  void (*destroy)(qx_subtemplate *);
};

namespace {

void destroy_subtemplate(qx_subtemplate *node) {
  qx_subtemplate *leaf = node->first_leaf;
  while (leaf != nullptr) {
    qx_subtemplate *next = leaf->next_sibling;
    leaf->parent = nullptr;
    leaf->prev_sibling = leaf->next_sibling = nullptr;
    qx_subtemplate_delete(leaf);
    leaf = next;
  }
  qx_template_delete(node->tpl);
  qx_alignment_delete(node->alignment);
  qx_free(node);
}

void unlink_from_parent(qx_subtemplate *node) {
  qx_subtemplate *p = node->parent;
  if (node->prev_sibling != nullptr) node->prev_sibling->next_sibling = node->next_sibling;
  else p->first_leaf = node->next_sibling;
  if (node->next_sibling != nullptr) node->next_sibling->prev_sibling = node->prev_sibling;
  else p->last_leaf = node->prev_sibling;
  node->parent = node->prev_sibling = node->next_sibling = nullptr;
}

void append_leaf(qx_subtemplate *parent, qx_subtemplate *leaf) {
  leaf->parent = parent;
  leaf->prev_sibling = parent->last_leaf;
  leaf->next_sibling = nullptr;
  if (parent->last_leaf != nullptr) parent->last_leaf->next_sibling = leaf;
  else parent->first_leaf = leaf;
  parent->last_leaf = leaf;
}

// Next node of a pre-order walk of the tree under `root`.
const qx_subtemplate *walk_next(const qx_subtemplate *node, const qx_subtemplate *root) {
  if (node->first_leaf != nullptr) return node->first_leaf;
  while (node != root) {
    if (node->next_sibling != nullptr) return node->next_sibling;
    node = node->parent;
  }
  return nullptr;
}

}  // namespace

extern "C" {

qx_subtemplate *qx_subtemplate_create(qx_template *tpl) {
  if (tpl == nullptr) return nullptr;
  auto *node = static_cast<qx_subtemplate *>(qx_calloc(1, sizeof(qx_subtemplate)));
  if (node == nullptr) return nullptr;
  node->refs = 1;
  node->tpl = qx_template_retain(tpl);
  node->destroy = destroy_subtemplate;
  return node;
}

qx_subtemplate *qx_subtemplate_retain(qx_subtemplate *node) {
  return qx::retain(node);
}

void qx_subtemplate_delete(qx_subtemplate *node) {
  qx::release(node);
}

int32_t qx_subtemplate_get_num_refs(const qx_subtemplate *node) {
  return qx::num_refs(node);
}

qx_template *qx_subtemplate_get_template(const qx_subtemplate *node) {
  return node != nullptr ? node->tpl : nullptr;
}

qx_alignment *qx_subtemplate_get_alignment(const qx_subtemplate *node) {
  return node != nullptr ? node->alignment : nullptr;
}

qx_subtemplate *qx_subtemplate_get_parent(const qx_subtemplate *node) {
  return node != nullptr ? node->parent : nullptr;
}

qx_subtemplate *qx_subtemplate_get_top(qx_subtemplate *node) {
  if (node == nullptr) return nullptr;
  while (node->parent != nullptr) node = node->parent;
  return node;
}

qx_subtemplate *qx_subtemplate_get_first_leaf(const qx_subtemplate *node) {
  return node != nullptr ? node->first_leaf : nullptr;
}

qx_subtemplate *qx_subtemplate_get_next_sibling(const qx_subtemplate *node) {
  return node != nullptr ? node->next_sibling : nullptr;
}

int32_t qx_subtemplate_get_tree_size(const qx_subtemplate *node) {
  int32_t n = 0;
  for (const qx_subtemplate *x = node; x != nullptr; x = walk_next(x, node)) ++n;
  return n;
}

qx_rc qx_subtemplate_add_leaf(qx_subtemplate *parent, qx_subtemplate *leaf,
                              qx_alignment *alignment) {
  if (parent == nullptr || leaf == nullptr || alignment == nullptr) return QX_RC_BAD_ARGUMENT;
  if (leaf->parent != nullptr || qx_subtemplate_get_top(parent) == leaf) {
    return QX_RC_BAD_ARGUMENT;
  }
  qx_alignment_delete(leaf->alignment);
  leaf->alignment = qx_alignment_retain(alignment);
  append_leaf(parent, qx_subtemplate_retain(leaf));
  return QX_RC_OK;
}

qx_rc qx_subtemplate_leaf_make_top_leaf(qx_subtemplate *node) {
  if (node == nullptr) return QX_RC_BAD_ARGUMENT;
  int32_t edges = 0;
  for (const qx_subtemplate *x = node; x->parent != nullptr; x = x->parent) ++edges;
  if (edges == 0) return QX_RC_OK;

  // The path and every inverse first, so that running out of memory
  // changes nothing.  path[0] is the node, path[edges] the old top.
  qx::Buffer<qx_subtemplate *> path;
  qx::Buffer<qx_alignment *> inverses;
  if (!path.alloc(static_cast<size_t>(edges) + 1) ||
      !inverses.alloc(static_cast<size_t>(edges))) {
    return QX_RC_NO_MEMORY;
  }
  path[0] = node;
  for (int32_t k = 0; k < edges; ++k) {
    path[k + 1] = path[k]->parent;
    inverses[k] = qx_alignment_inverse(path[k]->alignment);
    if (inverses[k] == nullptr) {
      for (int32_t i = 0; i < k; ++i) qx_alignment_delete(inverses[i]);
      return QX_RC_NO_MEMORY;
    }
  }

  // Turn each edge round.  The parent's reference on the child becomes the
  // child's reference on the parent, so no count changes.
  for (int32_t k = 0; k < edges; ++k) unlink_from_parent(path[k]);
  qx_alignment_delete(node->alignment);
  node->alignment = nullptr;
  for (int32_t k = 0; k < edges; ++k) {
    qx_alignment_delete(path[k + 1]->alignment);
    path[k + 1]->alignment = inverses[k];
    append_leaf(path[k], path[k + 1]);
  }
  return QX_RC_OK;
}

qx_rc qx_subtemplate_get_alignment_to_top(const qx_subtemplate *node, qx_alignment **out) {
  if (out == nullptr) return QX_RC_BAD_ARGUMENT;
  *out = nullptr;
  if (node == nullptr) return QX_RC_BAD_ARGUMENT;
  int32_t edges = 0;
  for (const qx_subtemplate *x = node; x->parent != nullptr; x = x->parent) ++edges;
  if (edges == 0) {
    *out = qx_alignment_create_identity();
    return *out != nullptr ? QX_RC_OK : QX_RC_NO_MEMORY;
  }
  // The path from the top down: combine the alignment nearest the top first.
  qx::Buffer<const qx_subtemplate *> path;
  if (!path.alloc(static_cast<size_t>(edges))) return QX_RC_NO_MEMORY;
  {
    const qx_subtemplate *x = node;
    for (int32_t k = edges - 1; k >= 0; --k, x = x->parent) path[k] = x;
  }
  qx_alignment *acc = qx_alignment_copy(path[0]->alignment);
  for (int32_t k = 1; k < edges && acc != nullptr; ++k) {
    qx_alignment *next = qx_alignment_combine(acc, path[k]->alignment);
    qx_alignment_delete(acc);
    acc = next;
  }
  if (acc == nullptr) return QX_RC_NO_MEMORY;
  *out = acc;
  return QX_RC_OK;
}

qx_subtemplate *qx_subtemplate_find(qx_subtemplate *node, const qx_template *tpl) {
  for (const qx_subtemplate *x = node; x != nullptr; x = walk_next(x, node)) {
    if (x->tpl == tpl) return const_cast<qx_subtemplate *>(x);
  }
  return nullptr;
}

}  // extern "C"
