// Islands of captures: the spanning forest over accepted matches, its
// ordering and re-rooting, and the capture corners it reports.
#include "engine/objects/qx_enroll_islands.h"

#include "engine/match/qx_utils.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"

namespace {

struct Island {
  qx_subtemplate *top;  // one reference
  int32_t size;
};

}  // namespace

struct qx_island_list {
  Island *islands;
  int32_t count;
  int32_t capacity;
};

namespace {

// Room for one more island; false when memory runs out.
bool reserve_one(qx_island_list *list) {
  if (list->count < list->capacity) return true;
  const int32_t capacity = list->capacity > 0 ? list->capacity * 2 : 8;
  auto *grown = static_cast<Island *>(qx_calloc(static_cast<size_t>(capacity), sizeof(Island)));
  if (grown == nullptr) return false;
  for (int32_t i = 0; i < list->count; ++i) grown[i] = list->islands[i];
  qx_free(list->islands);
  list->islands = grown;
  list->capacity = capacity;
  return true;
}

void remove_island(qx_island_list *list, int32_t index) {
  for (int32_t i = index + 1; i < list->count; ++i) list->islands[i - 1] = list->islands[i];
  --list->count;
}

// Puts a new node for `tpl` under `parent`; 0 or 9.
int32_t add_new_leaf(qx_subtemplate *parent, qx_template *tpl, qx_alignment *alignment) {
  qx_subtemplate *leaf = qx_subtemplate_create(tpl);
  if (leaf == nullptr) return QX_RC_NO_MEMORY;
  const int32_t rc = qx_subtemplate_add_leaf(parent, leaf, alignment);
  qx_subtemplate_delete(leaf);  // the parent holds it now
  return rc;
}

void release_walk(lib_tree_stack *queue) {
  while (queue->count > 0) {
    void *object = nullptr;
    lib_tree_pop_stack_head(queue, &object);
    qx_alignment_delete(static_cast<qx_alignment *>(object));
  }
}

}  // namespace

extern "C" {

qx_island_list *qx_island_list_create(void) {
  return static_cast<qx_island_list *>(qx_calloc(1, sizeof(qx_island_list)));
}

void qx_island_list_delete(qx_island_list *list) {
  if (list == nullptr) return;
  for (int32_t i = 0; i < list->count; ++i) qx_subtemplate_delete(list->islands[i].top);
  qx_free(list->islands);
  qx_free(list);
}

int32_t qx_island_list_get_nbr_of_islands(const qx_island_list *list) {
  return list != nullptr ? list->count : 0;
}

qx_subtemplate *qx_island_list_get_top(const qx_island_list *list, int32_t index) {
  if (list == nullptr || index < 0 || index >= list->count) return nullptr;
  return list->islands[index].top;
}

int32_t qx_island_list_get_size(const qx_island_list *list, int32_t index) {
  if (list == nullptr || index < 0 || index >= list->count) return 0;
  return list->islands[index].size;
}

qx_subtemplate *qx_island_list_find(const qx_island_list *list, const qx_template *tpl,
                                    int32_t *island_index) {
  if (island_index != nullptr) *island_index = -1;
  if (list == nullptr || tpl == nullptr) return nullptr;
  for (int32_t i = 0; i < list->count; ++i) {
    qx_subtemplate *node = qx_subtemplate_find(list->islands[i].top, tpl);
    if (node != nullptr) {
      if (island_index != nullptr) *island_index = i;
      return node;
    }
  }
  return nullptr;
}

qx_rc qx_island_list_add_match(qx_island_list *list, const qx_match *match) {
  if (list == nullptr || match == nullptr) return QX_RC_BAD_ARGUMENT;
  qx_template *t1 = qx_match_get_template1(match);
  qx_template *t2 = qx_match_get_template2(match);
  if (t1 == nullptr || t2 == nullptr || t1 == t2) return QX_RC_BAD_ARGUMENT;

  // An absent alignment is the identity.
  qx_alignment *alignment = qx_alignment_retain(qx_match_get_alignment(match));
  if (alignment == nullptr) alignment = qx_alignment_create_identity();
  if (alignment == nullptr) return QX_RC_NO_MEMORY;

  int32_t i1, i2;
  qx_subtemplate *n1 = qx_island_list_find(list, t1, &i1);
  qx_subtemplate *n2 = qx_island_list_find(list, t2, &i2);
  int32_t rc = QX_RC_OK;
  if (n1 != nullptr && n2 != nullptr) {
    if (i1 != i2) {
      // Join: the second island hangs from template 2 under template 1.
      rc = qx_subtemplate_leaf_make_top_leaf(n2);
      if (rc == QX_RC_OK) {
        qx_subtemplate_add_leaf(n1, n2, alignment);
        qx_subtemplate_delete(n2);  // the island's reference, now held by n1
        list->islands[i1].size += list->islands[i2].size;
        remove_island(list, i2);
      }
    }
  } else if (n1 != nullptr) {
    rc = add_new_leaf(n1, t2, alignment);
    if (rc == QX_RC_OK) ++list->islands[i1].size;
  } else if (n2 != nullptr) {
    qx_alignment *inverse = qx_alignment_inverse(alignment);
    rc = inverse != nullptr ? add_new_leaf(n2, t1, inverse) : QX_RC_NO_MEMORY;
    qx_alignment_delete(inverse);
    if (rc == QX_RC_OK) ++list->islands[i2].size;
  } else {
    qx_subtemplate *top = qx_subtemplate_create(t1);
    if (top == nullptr || !reserve_one(list)) {
      rc = QX_RC_NO_MEMORY;
    } else {
      rc = add_new_leaf(top, t2, alignment);
    }
    if (rc == QX_RC_OK) {
      list->islands[list->count++] = Island{top, 2};
    } else {
      qx_subtemplate_delete(top);
    }
  }
  qx_alignment_delete(alignment);
  return rc;
}

qx_rc qx_island_list_add_single(qx_island_list *list, qx_template *tpl) {
  if (list == nullptr || tpl == nullptr) return QX_RC_BAD_ARGUMENT;
  if (qx_island_list_find(list, tpl, nullptr) != nullptr) return QX_RC_OK;
  if (!reserve_one(list)) return QX_RC_NO_MEMORY;
  qx_subtemplate *top = qx_subtemplate_create(tpl);
  if (top == nullptr) return QX_RC_NO_MEMORY;
  list->islands[list->count++] = Island{top, 1};
  return QX_RC_OK;
}

void qx_island_list_sort_by_size(qx_island_list *list) {
  if (list == nullptr) return;
  // Insertion sort: stable, so equally large islands keep their order.
  for (int32_t i = 1; i < list->count; ++i) {
    const Island moving = list->islands[i];
    int32_t j = i;
    while (j > 0 && list->islands[j - 1].size < moving.size) {
      list->islands[j] = list->islands[j - 1];
      --j;
    }
    list->islands[j] = moving;
  }
}

qx_rc qx_island_list_make_top(qx_island_list *list, const qx_template *tpl) {
  int32_t index;
  qx_subtemplate *node = qx_island_list_find(list, tpl, &index);
  if (node == nullptr) return QX_RC_OK;
  const int32_t rc = qx_subtemplate_leaf_make_top_leaf(node);
  if (rc == QX_RC_OK) list->islands[index].top = node;
  return rc;
}

qx_rc qx_island_list_collect_corners(const qx_island_list *list, int32_t index, int32_t width,
                                     int32_t height, qx_enroll_capture_flags_fn flags_of,
                                     void *user, qx_enroll_capture_corners **out) {
  if (out == nullptr) return QX_RC_BAD_ARGUMENT;
  *out = nullptr;
  qx_subtemplate *top = qx_island_list_get_top(list, index);
  if (top == nullptr) return QX_RC_BAD_ARGUMENT;
  const int32_t size = list->islands[index].size;
  auto *corners = static_cast<qx_enroll_capture_corners *>(
      qx_calloc(static_cast<size_t>(size), sizeof(qx_enroll_capture_corners)));
  if (corners == nullptr) return QX_RC_NO_MEMORY;

  // Breadth first from the top; each entry carries its alignment to the top.
  const int32_t cx[4] = {0, width, width, 0};
  const int32_t cy[4] = {0, 0, height, height};
  lib_tree_stack queue;
  lib_tree_stack_init(&queue);
  qx_alignment *identity = qx_alignment_create_identity();
  if (identity == nullptr || lib_tree_push_stack(&queue, top, identity) == nullptr) {
    qx_alignment_delete(identity);
    qx_free(corners);
    return QX_RC_NO_MEMORY;
  }
  int32_t filled = 0;
  void *object = nullptr;
  while (queue.count > 0) {
    auto *node = static_cast<qx_subtemplate *>(lib_tree_pop_stack_head(&queue, &object));
    auto *to_top = static_cast<qx_alignment *>(object);
    bool failed = false;
    for (qx_subtemplate *leaf = qx_subtemplate_get_first_leaf(node); leaf != nullptr && !failed;
         leaf = qx_subtemplate_get_next_sibling(leaf)) {
      qx_alignment *leaf_to_top = qx_alignment_combine(to_top, qx_subtemplate_get_alignment(leaf));
      if (leaf_to_top == nullptr || lib_tree_push_stack(&queue, leaf, leaf_to_top) == nullptr) {
        qx_alignment_delete(leaf_to_top);
        failed = true;
      }
    }
    if (failed || filled >= size) {
      qx_alignment_delete(to_top);
      release_walk(&queue);
      qx_free(corners);
      return failed ? QX_RC_NO_MEMORY : QX_RC_FAILED;
    }
    qx_enroll_capture_corners &c = corners[filled++];
    for (int k = 0; k < 4; ++k) {
      qx_alignment_transform_point_inverse(to_top, cx[k], cy[k], &c.x[k], &c.y[k]);
    }
    c.flags = flags_of != nullptr ? flags_of(user, qx_subtemplate_get_template(node)) : 0;
    qx_alignment_delete(to_top);
  }
  *out = corners;
  return QX_RC_OK;
}

void qx_enroll_island_reports_free(qx_enroll_island_report *reports, int32_t count) {
  if (reports == nullptr) return;
  for (int32_t i = 0; i < count; ++i) qx_free(reports[i].captures);
  qx_free(reports);
}

}  // extern "C"
