// Finger and user objects, including the static ones.
#include <gtest/gtest.h>

#include "engine/objects/qx_finger.h"

namespace {

TEST(Finger, UsersAreHeldByReference) {
  qx_user *u = qx_user_create_ext(7, 1980, 2);
  ASSERT_NE(u, nullptr);
  qx_finger *f = qx_finger_create_acquisition(3, u, 11);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(qx_user_get_num_refs(u), 2);
  EXPECT_EQ(qx_finger_get_user(f), u);
  EXPECT_EQ(qx_finger_get_user_id(f), 7);
  EXPECT_EQ(qx_finger_get_position(f), 3);
  EXPECT_EQ(qx_finger_get_acquisition(f), 11);
  EXPECT_EQ(qx_finger_get_id(f), 0x0000000700000003ull);

  qx_finger *copy = qx_finger_copy(f);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(qx_finger_is_copy(f, copy), 1);
  EXPECT_EQ(qx_user_get_num_refs(u), 3);
  qx_finger *other = qx_finger_create_acquisition(3, u, 12);
  EXPECT_EQ(qx_finger_is_copy(f, other), 0);

  qx_finger_delete(other);
  qx_finger_delete(copy);
  qx_finger_delete(f);
  EXPECT_EQ(qx_user_get_num_refs(u), 1);
  qx_user_delete(u);
}

TEST(Finger, AbsentUserMeansAnonymous) {
  qx_finger *f = qx_finger_create(-2, nullptr);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(qx_finger_get_user(f), QX_USER_ANONYMOUS);
  EXPECT_EQ(qx_finger_get_user_id(f), 0);
  // Negative positions keep their 32 bits in the low word.
  EXPECT_EQ(qx_finger_get_id(f), 0x00000000FFFFFFFEull);

  qx_user *named = qx_user_create(0);
  qx_finger *g = qx_finger_create(-2, named);
  // Users are compared by value: id 0 with no birth year or gender equals
  // the anonymous user.
  EXPECT_EQ(qx_finger_is_copy(f, g), 1);
  qx_finger_delete(g);
  qx_user_delete(named);
  qx_finger_delete(f);
}

TEST(Finger, StaticObjectsAreNeverFreed) {
  qx_user *anon = QX_USER_ANONYMOUS;
  const int32_t refs = qx_user_get_num_refs(anon);
  qx_user_delete(anon);
  qx_user_delete(anon);
  EXPECT_EQ(qx_user_retain(anon), anon);
  EXPECT_EQ(qx_user_get_num_refs(anon), refs);

  qx_finger *zero = qx_finger_static_zero();
  EXPECT_EQ(qx_finger_get_position(zero), 0);
  EXPECT_EQ(qx_finger_get_id(zero), 0u);
  qx_finger_delete(zero);
  qx_finger_delete(zero);
  EXPECT_EQ(qx_finger_retain(zero), zero);
  EXPECT_EQ(qx_finger_get_num_refs(zero), 0);

  qx_finger_delete(nullptr);
  qx_user_delete(nullptr);
  EXPECT_EQ(qx_finger_copy(nullptr), nullptr);
}

TEST(Finger, UserCopiesCompareByValue) {
  qx_user *a = qx_user_create_ext(5, 1990, 1);
  qx_user *b = qx_user_copy(a);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(qx_user_is_copy(a, b), 1);
  EXPECT_EQ(qx_user_get_year_of_birth(b), 1990);
  EXPECT_EQ(qx_user_get_gender(b), 1);
  qx_user *c = qx_user_create(5);
  EXPECT_EQ(qx_user_get_year_of_birth(c), 0);
  EXPECT_EQ(qx_user_is_copy(a, c), 0);
  qx_user_delete(a);
  qx_user_delete(b);
  qx_user_delete(c);
}

}  // namespace
