// Session contexts and the named property lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/objects/qx_session.h"
#include "engine/qx_alloc.h"

namespace {

// The process-wide list outlives every session: each test starts and ends
// with it cleared.
class Session : public ::testing::Test {
 protected:
  void SetUp() override { qx_session_clear_properties(nullptr); }
  void TearDown() override { qx_session_clear_properties(nullptr); }
};

std::vector<std::string> g_destroyed;

void record_destroy(void *data) { g_destroyed.emplace_back(static_cast<const char *>(data)); }

TEST_F(Session, PropertyDefaultsWhenNoListHoldsTheName) {
  qx_session *s = qx_session_create();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(qx_session_get_sensor_size(s), 0);
  EXPECT_EQ(qx_session_get_sensor_type(s), 0);
  EXPECT_EQ(qx_session_get_360_state(s), 1);
  EXPECT_EQ(qx_session_get_slice_rows(s), 96);
  EXPECT_EQ(qx_session_get_int(s, "qx.max_minutiae", 64), 64);
  EXPECT_EQ(qx_session_get_int(nullptr, "anything", -7), -7);
  // Reading creates no property list.
  EXPECT_EQ(qx_session_get_num_contexts(s), 0);
  qx_session_delete(s);
}

TEST_F(Session, ProcessWideListIsReadAfterTheSessionsOwn) {
  qx_session *a = qx_session_create();
  qx_session *b = qx_session_create();
  ASSERT_EQ(qx_session_set_int(nullptr, "slice_rows", 5), 0);
  EXPECT_EQ(qx_session_get_slice_rows(a), 5);
  EXPECT_EQ(qx_session_get_slice_rows(b), 5);
  EXPECT_EQ(qx_session_get_slice_rows(nullptr), 5);

  ASSERT_EQ(qx_session_set_slice_rows_(a, 120), 0);
  EXPECT_EQ(qx_session_get_slice_rows(a), 120);
  EXPECT_EQ(qx_session_get_slice_rows(b), 5);

  // Clearing the session's value uncovers the process-wide one again.
  qx_session_clear_property(a, "slice_rows");
  EXPECT_EQ(qx_session_get_slice_rows(a), 5);
  // The process-wide list survives the sessions.
  qx_session_delete(a);
  qx_session_delete(b);
  EXPECT_EQ(qx_session_get_slice_rows(nullptr), 5);
  qx_session_clear_properties(nullptr);
  EXPECT_EQ(qx_session_get_slice_rows(nullptr), 96);
}

TEST_F(Session, NamesAreExactAndValuesAreReplaced) {
  qx_session *s = qx_session_create();
  ASSERT_EQ(qx_session_set_int(s, "qx.algorithm.360", 0), 0);
  EXPECT_EQ(qx_session_get_int(s, "QX.ALGORITHM.360", 9), 9);
  EXPECT_EQ(qx_session_get_int(s, "qx.algorithm.36", 9), 9);
  EXPECT_EQ(qx_session_get_360_state(s), 0);
  ASSERT_EQ(qx_session_set_360_state_(s, 1), 0);
  EXPECT_EQ(qx_session_get_360_state(s), 1);
  // One property list, as context 8.
  EXPECT_EQ(qx_session_get_num_contexts(s), 1);
  EXPECT_NE(qx_session_get_context(s, QX_CONTEXT_PROPERTIES), nullptr);

  // Clearing one property leaves the others; clearing all drops the list.
  ASSERT_EQ(qx_session_set_sensor_size_(s, 6), 0);
  ASSERT_EQ(qx_session_set_sensor_type_(s, 1), 0);
  qx_session_clear_property(s, QX_PROP_SENSOR_SIZE);
  qx_session_clear_property(s, "not there");
  EXPECT_EQ(qx_session_get_sensor_size(s), 0);
  EXPECT_EQ(qx_session_get_sensor_type(s), 1);
  qx_session_clear_properties(s);
  EXPECT_EQ(qx_session_get_sensor_type(s), 0);
  EXPECT_EQ(qx_session_get_num_contexts(s), 0);
  EXPECT_EQ(qx_session_set_int(s, nullptr, 1), 2);
  qx_session_delete(s);
}

TEST_F(Session, ContextsReplaceRemoveAndDieHeadFirst) {
  g_destroyed.clear();
  static char first[] = "first", second[] = "second", other[] = "other", keep[] = "keep";
  qx_session *s = qx_session_create();
  ASSERT_EQ(qx_session_set_context(s, first, 9, record_destroy), 0);
  ASSERT_EQ(qx_session_set_context(s, other, 5, record_destroy), 0);
  // Replacing type 9 destroys the old data before the new entry goes in.
  ASSERT_EQ(qx_session_set_context(s, second, 9, record_destroy), 0);
  ASSERT_EQ(g_destroyed, std::vector<std::string>{"first"});
  EXPECT_EQ(qx_session_get_context(s, 9), second);
  EXPECT_EQ(qx_session_get_num_contexts(s), 2);

  qx_session_remove_context(s, 5);
  EXPECT_EQ(g_destroyed.back(), "other");
  EXPECT_EQ(qx_session_get_context(s, 5), nullptr);
  qx_session_remove_context(s, 5);  // nothing left of that type
  EXPECT_EQ(g_destroyed.size(), 2u);

  // A context without destroy function is left alone by the session.
  ASSERT_EQ(qx_session_set_context(s, keep, QX_CONTEXT_ALGORITHM, nullptr), 0);
  EXPECT_EQ(static_cast<void *>(qx_session_get_algorithm(s)), static_cast<void *>(keep));
  ASSERT_EQ(qx_session_set_context(s, other, 4, record_destroy), 0);

  // Head first: type 4 was put at the head last, then 11, then 9.
  g_destroyed.clear();
  EXPECT_EQ(qx_session_retain(s), s);
  EXPECT_EQ(qx_session_get_num_refs(s), 2);
  qx_session_delete(s);
  EXPECT_TRUE(g_destroyed.empty());
  qx_session_delete(s);
  EXPECT_EQ(g_destroyed, (std::vector<std::string>{"other", "second"}));
}

TEST_F(Session, AbsentSessionIsAccepted) {
  EXPECT_EQ(qx_session_retain(nullptr), nullptr);
  qx_session_delete(nullptr);
  EXPECT_EQ(qx_session_set_context(nullptr, nullptr, 9, nullptr), 2);
  EXPECT_EQ(qx_session_get_context(nullptr, 9), nullptr);
  qx_session_remove_context(nullptr, 9);
  EXPECT_EQ(qx_session_get_algorithm(nullptr), nullptr);
  qx_session_clear_property(nullptr, "never set");
}

// Out of memory while setting a property or a context leaves the session
// as it was and answers 9.
TEST_F(Session, OutOfMemoryLeavesTheListsAsTheyWere) {
  const long live = qx_alloc_live();
  qx_session *s = qx_session_create();
  // The first property of a session takes four allocations: the
  // property, its name, the list and the list's context entry.
  for (long n = 0; n < 4; ++n) {
    qx_alloc_fail_after(n);
    const int32_t rc = qx_session_set_int(s, "a", 1);
    qx_alloc_fail_after(-1);
    EXPECT_EQ(rc, 9) << n;
    EXPECT_EQ(qx_session_get_num_contexts(s), 0) << n;
    EXPECT_EQ(qx_alloc_live(), live + 1) << n;  // only the session
  }
  ASSERT_EQ(qx_session_set_int(s, "a", 1), 0);
  EXPECT_EQ(qx_session_get_int(s, "a", -1), 1);
  // A new name in an existing list needs two allocations.
  qx_alloc_fail_after(1);
  EXPECT_EQ(qx_session_set_int(s, "b", 2), 9);
  qx_alloc_fail_after(-1);
  EXPECT_EQ(qx_session_get_int(s, "b", -1), -1);
  // An existing name needs none.
  qx_alloc_fail_after(0);
  EXPECT_EQ(qx_session_set_int(s, "a", 3), 0);
  qx_alloc_fail_after(-1);
  EXPECT_EQ(qx_session_get_int(s, "a", -1), 3);

  static char old_data[] = "old";
  g_destroyed.clear();
  ASSERT_EQ(qx_session_set_context(s, old_data, 9, record_destroy), 0);
  qx_alloc_fail_after(0);
  EXPECT_EQ(qx_session_set_context(s, nullptr, 9, nullptr), 9);
  qx_alloc_fail_after(-1);
  EXPECT_TRUE(g_destroyed.empty());
  EXPECT_EQ(qx_session_get_context(s, 9), old_data);

  // The process-wide list the same way.
  qx_alloc_fail_after(2);
  EXPECT_EQ(qx_session_set_int(nullptr, "g", 1), 9);
  qx_alloc_fail_after(-1);
  EXPECT_EQ(qx_session_get_int(nullptr, "g", -1), -1);
  qx_session_delete(s);
  EXPECT_EQ(g_destroyed, std::vector<std::string>{"old"});
  EXPECT_EQ(qx_alloc_live(), live);
}

}  // namespace
