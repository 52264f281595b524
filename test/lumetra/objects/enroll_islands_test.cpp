// Subtemplate trees and islands, on hand-made matches with known
// alignments (no matcher involved).
#include <gtest/gtest.h>

#include <vector>

#include "engine/objects/qx_enroll_islands.h"
#include "engine/objects/qx_subtemplate.h"
#include "engine/qx_alloc.h"

namespace {

struct Templates {
  std::vector<qx_template *> t;
  explicit Templates(int n) {
    for (int i = 0; i < n; ++i) t.push_back(qx_template_create(74, nullptr, 0));
  }
  ~Templates() {
    for (qx_template *x : t) qx_template_delete(x);
  }
  qx_template *operator[](int i) const { return t[i]; }
};

qx_match *make_match(qx_template *a, qx_template *b, uint16_t score, int16_t dx, int16_t dy,
                     uint8_t r) {
  qx_alignment *al = qx_alignment_create(dx, dy, r);
  qx_match *m = qx_match_create(a, b, score, 1, al);
  qx_alignment_delete(al);
  return m;
}

struct Al { int dx, dy, r; };

Al to_top(const qx_subtemplate *node) {
  qx_alignment *a = nullptr;
  EXPECT_EQ(qx_subtemplate_get_alignment_to_top(node, &a), 0);
  Al out{qx_alignment_get_dx(a), qx_alignment_get_dy(a), qx_alignment_get_rotation(a)};
  qx_alignment_delete(a);
  return out;
}

TEST(Subtemplate, ReRootingTurnsEdgesRoundWithInverseAlignments) {
  const long live = qx_alloc_live();
  {
    Templates t(4);
    qx_subtemplate *a = qx_subtemplate_create(t[0]);
    qx_subtemplate *b = qx_subtemplate_create(t[1]);
    qx_subtemplate *c = qx_subtemplate_create(t[2]);
    qx_subtemplate *d = qx_subtemplate_create(t[3]);
    qx_alignment *ab = qx_alignment_create(10, 0, 64);
    qx_alignment *bc = qx_alignment_create(3, 4, 0);
    qx_alignment *ad = qx_alignment_create(-7, 2, 0);
    ASSERT_EQ(qx_subtemplate_add_leaf(a, b, ab), 0);
    ASSERT_EQ(qx_subtemplate_add_leaf(b, c, bc), 0);
    ASSERT_EQ(qx_subtemplate_add_leaf(a, d, ad), 0);
    // A node with a parent cannot be added again; nor can a tree go under itself.
    EXPECT_EQ(qx_subtemplate_add_leaf(d, b, ab), 2);
    EXPECT_EQ(qx_subtemplate_add_leaf(c, a, ab), 2);
    for (qx_subtemplate *x : {b, c, d}) qx_subtemplate_delete(x);  // the tree holds them
    qx_alignment_delete(bc);
    qx_alignment_delete(ad);
    EXPECT_EQ(qx_subtemplate_get_tree_size(a), 4);
    // Path top -> b -> c: combine(ab, bc) turns ab's translation by bc's
    // rotation (none) and adds bc's: (13, 4), rotation 64.
    const Al c_top = to_top(c);
    EXPECT_EQ(c_top.dx, 13);
    EXPECT_EQ(c_top.dy, 4);
    EXPECT_EQ(c_top.r, 64);

    ASSERT_EQ(qx_subtemplate_leaf_make_top_leaf(c), 0);
    EXPECT_EQ(qx_subtemplate_get_parent(c), nullptr);
    EXPECT_EQ(qx_subtemplate_get_alignment(c), nullptr);
    EXPECT_EQ(qx_subtemplate_get_parent(b), c);
    EXPECT_EQ(qx_subtemplate_get_parent(a), b);
    EXPECT_EQ(qx_subtemplate_get_parent(d), a);
    EXPECT_EQ(qx_subtemplate_get_tree_size(c), 4);
    // b under c takes the inverse of b->c, a under b the inverse of a->b.
    const qx_alignment *b_to_c = qx_subtemplate_get_alignment(b);
    EXPECT_EQ(qx_alignment_get_dx(b_to_c), -3);
    EXPECT_EQ(qx_alignment_get_dy(b_to_c), -4);
    const qx_alignment *a_to_b = qx_subtemplate_get_alignment(a);
    qx_alignment *inv_ab = qx_alignment_inverse(ab);
    EXPECT_EQ(qx_alignment_get_dx(a_to_b), qx_alignment_get_dx(inv_ab));
    EXPECT_EQ(qx_alignment_get_dy(a_to_b), qx_alignment_get_dy(inv_ab));
    EXPECT_EQ(qx_alignment_get_rotation(a_to_b), 192);
    qx_alignment_delete(inv_ab);
    qx_alignment_delete(ab);
    // d kept its own alignment to a.
    EXPECT_EQ(qx_alignment_get_dx(qx_subtemplate_get_alignment(d)), -7);
    EXPECT_EQ(qx_subtemplate_find(c, t[3]), d);
    EXPECT_EQ(qx_subtemplate_find(b, t[2]), nullptr);  // c is above b now
    // Whoever held the old top now holds c; every node is freed with it.
    qx_subtemplate_delete(c);
  }
  EXPECT_EQ(qx_alloc_live(), live);
}

TEST(Subtemplate, ReRootingOutOfMemoryChangesNothing) {
  const long live = qx_alloc_live();
  {
    Templates t(3);
    qx_subtemplate *a = qx_subtemplate_create(t[0]);
    qx_subtemplate *b = qx_subtemplate_create(t[1]);
    qx_subtemplate *c = qx_subtemplate_create(t[2]);
    qx_alignment *al = qx_alignment_create(1, 2, 3);
    qx_subtemplate_add_leaf(a, b, al);
    qx_subtemplate_add_leaf(b, c, al);
    qx_alignment_delete(al);
    qx_subtemplate_delete(b);
    qx_subtemplate_delete(c);
    int failures = 0;
    for (long k = 0;; ++k) {
      qx_alloc_fail_after(k);
      const int32_t rc = qx_subtemplate_leaf_make_top_leaf(c);
      const bool fired = qx_alloc_fail_pending() == 0;
      qx_alloc_fail_after(-1);
      if (rc == 0) break;
      ASSERT_TRUE(fired);
      ASSERT_EQ(rc, 9);
      ++failures;
      EXPECT_EQ(qx_subtemplate_get_top(c), a);
      EXPECT_EQ(qx_subtemplate_get_tree_size(a), 3);
    }
    EXPECT_GT(failures, 0);
    EXPECT_EQ(qx_subtemplate_get_top(a), c);
    qx_subtemplate_delete(c);
  }
  EXPECT_EQ(qx_alloc_live(), live);
}

TEST(Islands, SpanningForestCoversEveryCase) {
  const long live = qx_alloc_live();
  {
    Templates t(6);
    qx_island_list *list = qx_island_list_create();
    // Matches in score order: (0,1) founds island A; (2,3) founds B;
    // (4,1): only template 2 in an island -> 4 under 1 with the inverse;
    // (1,5): only template 1 -> 5 under 1; (3,0): template 1 in B, template 2
    // in A -> A is re-rooted at 0 and hung under 3; (0,4): same island.
    std::vector<qx_match *> ms = {
        make_match(t[0], t[1], 900, 10, 0, 0), make_match(t[2], t[3], 800, 0, 20, 0),
        make_match(t[4], t[1], 700, 5, 5, 0),  make_match(t[1], t[5], 600, -3, 0, 0),
        make_match(t[3], t[0], 500, 1, 1, 0),  make_match(t[0], t[4], 400, 0, 0, 0)};
    for (int k = 0; k < 4; ++k) ASSERT_EQ(qx_island_list_add_match(list, ms[k]), 0);
    ASSERT_EQ(qx_island_list_get_nbr_of_islands(list), 2);
    EXPECT_EQ(qx_island_list_get_size(list, 0), 4);
    EXPECT_EQ(qx_island_list_get_size(list, 1), 2);
    EXPECT_EQ(qx_subtemplate_get_template(qx_island_list_get_top(list, 0)), t[0]);
    EXPECT_EQ(qx_subtemplate_get_template(qx_island_list_get_top(list, 1)), t[2]);
    qx_subtemplate *n4 = qx_island_list_find(list, t[4], nullptr);
    EXPECT_EQ(qx_subtemplate_get_template(qx_subtemplate_get_parent(n4)), t[1]);
    EXPECT_EQ(qx_alignment_get_dx(qx_subtemplate_get_alignment(n4)), -5);
    EXPECT_EQ(qx_alignment_get_dy(qx_subtemplate_get_alignment(n4)), -5);
    const Al a5 = to_top(qx_island_list_find(list, t[5], nullptr));
    EXPECT_EQ(a5.dx, 7);  // 0 -> 1 is (10, 0), 1 -> 5 is (-3, 0)

    // Join: island A (top 0) goes under 3, re-rooted at 0 (already its top).
    ASSERT_EQ(qx_island_list_add_match(list, ms[4]), 0);
    ASSERT_EQ(qx_island_list_get_nbr_of_islands(list), 1);
    EXPECT_EQ(qx_island_list_get_size(list, 0), 6);
    EXPECT_EQ(qx_subtemplate_get_template(qx_island_list_get_top(list, 0)), t[2]);
    qx_subtemplate *n0 = qx_island_list_find(list, t[0], nullptr);
    EXPECT_EQ(qx_subtemplate_get_template(qx_subtemplate_get_parent(n0)), t[3]);
    const Al a1 = to_top(qx_island_list_find(list, t[1], nullptr));
    EXPECT_EQ(a1.dx, 11);  // 2 -> 3 (0, 20), 3 -> 0 (1, 1), 0 -> 1 (10, 0)
    EXPECT_EQ(a1.dy, 21);
    // Same island: nothing changes.
    ASSERT_EQ(qx_island_list_add_match(list, ms[5]), 0);
    EXPECT_EQ(qx_island_list_get_size(list, 0), 6);
    EXPECT_EQ(qx_subtemplate_get_tree_size(qx_island_list_get_top(list, 0)), 6);
    for (qx_match *m : ms) qx_match_delete(m);
    qx_island_list_delete(list);
  }
  EXPECT_EQ(qx_alloc_live(), live);
}

TEST(Islands, JoinReRootsTheSecondIslandAtTemplateTwo) {
  Templates t(4);
  qx_island_list *list = qx_island_list_create();
  qx_match *m01 = make_match(t[0], t[1], 9, 10, 0, 0);
  qx_match *m23 = make_match(t[2], t[3], 8, 0, 10, 0);
  qx_match *m03 = make_match(t[0], t[3], 7, 4, 4, 0);
  for (qx_match *m : {m01, m23, m03}) ASSERT_EQ(qx_island_list_add_match(list, m), 0);
  ASSERT_EQ(qx_island_list_get_nbr_of_islands(list), 1);
  qx_subtemplate *n3 = qx_island_list_find(list, t[3], nullptr);
  qx_subtemplate *n2 = qx_island_list_find(list, t[2], nullptr);
  EXPECT_EQ(qx_subtemplate_get_template(qx_subtemplate_get_parent(n3)), t[0]);
  EXPECT_EQ(qx_subtemplate_get_parent(n2), n3);
  EXPECT_EQ(qx_alignment_get_dy(qx_subtemplate_get_alignment(n2)), -10);
  const Al a2 = to_top(n2);
  EXPECT_EQ(a2.dx, 4);
  EXPECT_EQ(a2.dy, -6);
  for (qx_match *m : {m01, m23, m03}) qx_match_delete(m);
  qx_island_list_delete(list);
}

TEST(Islands, SortIsStableAndSinglesFollow) {
  Templates t(8);
  qx_island_list *list = qx_island_list_create();
  // Islands founded in the order {0,1}, {2,3,4}, {5,6}.
  std::vector<qx_match *> ms = {make_match(t[0], t[1], 90, 0, 0, 0),
                                make_match(t[2], t[3], 80, 0, 0, 0),
                                make_match(t[5], t[6], 70, 0, 0, 0),
                                make_match(t[3], t[4], 60, 0, 0, 0)};
  for (qx_match *m : ms) ASSERT_EQ(qx_island_list_add_match(list, m), 0);
  qx_island_list_sort_by_size(list);
  for (int i = 0; i < 8; ++i) ASSERT_EQ(qx_island_list_add_single(list, t[i]), 0);
  ASSERT_EQ(qx_island_list_get_nbr_of_islands(list), 4);
  const qx_template *tops[] = {t[2], t[0], t[5], t[7]};
  const int sizes[] = {3, 2, 2, 1};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(qx_subtemplate_get_template(qx_island_list_get_top(list, k)), tops[k]) << k;
    EXPECT_EQ(qx_island_list_get_size(list, k), sizes[k]);
  }
  // Keeping a top: the island of 4 is re-rooted at 4.
  ASSERT_EQ(qx_island_list_make_top(list, t[4]), 0);
  EXPECT_EQ(qx_subtemplate_get_template(qx_island_list_get_top(list, 0)), t[4]);
  EXPECT_EQ(qx_subtemplate_get_tree_size(qx_island_list_get_top(list, 0)), 3);
  for (qx_match *m : ms) qx_match_delete(m);
  qx_island_list_delete(list);
}

TEST(Islands, CornersAreCapturesInTheTopsFrame) {
  Templates t(3);
  qx_island_list *list = qx_island_list_create();
  qx_match *m01 = make_match(t[0], t[1], 9, 20, -10, 0);  // 1 sits 20 left, 10 down of 0
  qx_match *m12 = make_match(t[1], t[2], 8, 0, 0, 128);  // 2 is 1 turned half round
  ASSERT_EQ(qx_island_list_add_match(list, m01), 0);
  ASSERT_EQ(qx_island_list_add_match(list, m12), 0);
  qx_enroll_capture_corners *c = nullptr;
  auto flags = [](void *, const qx_template *tpl) -> int32_t {
    return tpl == nullptr ? 0 : 7;
  };
  ASSERT_EQ(qx_island_list_collect_corners(list, 0, 88, 60, flags, nullptr, &c), 0);
  // Breadth first: 0, 1, 2.
  EXPECT_EQ(c[0].x[2], 88);
  EXPECT_EQ(c[0].y[2], 60);
  EXPECT_EQ(c[1].x[0], -20);
  EXPECT_EQ(c[1].y[0], 10);
  EXPECT_EQ(c[1].x[2], 68);
  EXPECT_EQ(c[1].y[2], 70);
  // 2's (88, 60) turned back half round lands at (-88, -60) in 1's frame.
  EXPECT_EQ(c[2].x[2], -108);
  EXPECT_EQ(c[2].y[2], -50);
  EXPECT_EQ(c[2].flags, 7);
  qx_free(c);
  EXPECT_EQ(qx_island_list_collect_corners(list, 1, 88, 60, nullptr, nullptr, &c), 2);
  EXPECT_EQ(c, nullptr);
  qx_match_delete(m01);
  qx_match_delete(m12);
  qx_island_list_delete(list);
}

TEST(Islands, EveryAllocationFailureAnswersNineAndLeaksNothing) {
  Templates t(5);
  std::vector<qx_match *> ms = {make_match(t[0], t[1], 9, 1, 0, 0),
                                make_match(t[2], t[3], 8, 0, 1, 0),
                                make_match(t[4], t[3], 7, 2, 2, 5),
                                make_match(t[1], t[2], 6, 3, 0, 9)};
  const long live = qx_alloc_live();
  int failures = 0;
  for (long k = 0;; ++k) {
    qx_alloc_fail_after(k);
    int32_t rc = 0;
    qx_island_list *list = qx_island_list_create();
    if (list == nullptr) rc = 9;
    for (size_t i = 0; i < ms.size() && rc == 0; ++i) rc = qx_island_list_add_match(list, ms[i]);
    qx_enroll_capture_corners *c = nullptr;
    if (rc == 0) rc = qx_island_list_collect_corners(list, 0, 88, 88, nullptr, nullptr, &c);
    const bool fired = qx_alloc_fail_pending() == 0;
    qx_alloc_fail_after(-1);
    qx_free(c);
    qx_island_list_delete(list);
    EXPECT_EQ(qx_alloc_live(), live);
    if (rc == 0) {
      EXPECT_FALSE(fired);
      break;
    }
    ASSERT_EQ(rc, 9);
    ++failures;
  }
  EXPECT_GT(failures, 5);
  for (qx_match *m : ms) qx_match_delete(m);
}

}  // namespace
