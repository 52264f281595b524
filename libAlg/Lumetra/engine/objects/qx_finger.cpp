// Finger and user value objects.
#include "engine/objects/qx_finger.h"

#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"
#include "engine/qx_refcount.hpp"


struct qx_user {
  int32_t refs;
  int32_t id;
  int32_t year_of_birth;
  int32_t gender;
  void (*destroy)(qx_user *);
};

struct qx_finger {
  int32_t refs;
  int32_t position;
  qx_user *user;  // retained; none means the anonymous user
  int32_t acquisition;
  void (*destroy)(qx_finger *);
};

namespace {

// Static objects: no destroy function, so they are never freed.
qx_user g_anonymous_user = {0, 0, 0, 0, nullptr};
qx_finger g_static_finger = {0, 0, nullptr, 0, nullptr};

void destroy_user(qx_user *u) { qx_free(u); }

void destroy_finger(qx_finger *f) {
  qx_user_delete(f->user != nullptr ? f->user : &g_anonymous_user);
  qx_free(f);
}

}  // namespace

extern "C" {

qx_user *qx_user_anonymous(void) { return &g_anonymous_user; }

qx_user *qx_user_create_ext(int32_t id, int32_t year_of_birth, int32_t gender) {
  auto *u = static_cast<qx_user *>(qx_calloc(1, sizeof(qx_user)));
  if (u == nullptr) return nullptr;
  u->refs = 1;
  u->id = id;
  u->year_of_birth = year_of_birth;
  u->gender = gender;
  u->destroy = destroy_user;
  return u;
}

qx_user *qx_user_create(int32_t id) { return qx_user_create_ext(id, 0, 0); }

qx_user *qx_user_copy(const qx_user *user) {
  if (user == nullptr) return nullptr;
  return qx_user_create_ext(user->id, user->year_of_birth, user->gender);
}

qx_user *qx_user_retain(qx_user *user) {
  return qx::retain(user);
}

void qx_user_delete(qx_user *user) {
  qx::release(user);
}

int32_t qx_user_get_num_refs(const qx_user *user) { return qx::num_refs(user); }
int32_t qx_user_get_id(const qx_user *user) { return user != nullptr ? user->id : 0; }
int32_t qx_user_get_year_of_birth(const qx_user *user) {
  return user != nullptr ? user->year_of_birth : 0;
}
int32_t qx_user_get_gender(const qx_user *user) { return user != nullptr ? user->gender : 0; }

int32_t qx_user_is_copy(const qx_user *a, const qx_user *b) {
  if (a == nullptr || b == nullptr) return 0;
  return a->id == b->id && a->year_of_birth == b->year_of_birth && a->gender == b->gender;
}

qx_finger *qx_finger_create_acquisition(int32_t position, qx_user *user,
                                        int32_t acquisition) {
  auto *f = static_cast<qx_finger *>(qx_calloc(1, sizeof(qx_finger)));
  if (f == nullptr) return nullptr;
  f->refs = 1;
  f->position = position;
  f->user = qx_user_retain(user);
  f->acquisition = acquisition;
  f->destroy = destroy_finger;
  return f;
}

qx_finger *qx_finger_create(int32_t position, qx_user *user) {
  return qx_finger_create_acquisition(position, user, 0);
}

qx_finger *qx_finger_static_zero(void) { return &g_static_finger; }

qx_finger *qx_finger_copy(const qx_finger *finger) {
  if (finger == nullptr) return nullptr;
  return qx_finger_create_acquisition(finger->position, finger->user, finger->acquisition);
}

qx_finger *qx_finger_retain(qx_finger *finger) {
  return qx::retain(finger);
}

void qx_finger_delete(qx_finger *finger) {
  qx::release(finger);
}

int32_t qx_finger_get_num_refs(const qx_finger *finger) {
  return qx::num_refs(finger);
}
int32_t qx_finger_get_position(const qx_finger *finger) {
  return finger != nullptr ? finger->position : 0;
}
qx_user *qx_finger_get_user(const qx_finger *finger) {
  if (finger == nullptr || finger->user == nullptr) return &g_anonymous_user;
  return finger->user;
}
int32_t qx_finger_get_user_id(const qx_finger *finger) {
  return qx_user_get_id(qx_finger_get_user(finger));
}
int32_t qx_finger_get_acquisition(const qx_finger *finger) {
  return finger != nullptr ? finger->acquisition : 0;
}

uint64_t qx_finger_get_id(const qx_finger *finger) {
  const auto id = static_cast<uint32_t>(qx_finger_get_user_id(finger));
  const auto pos = static_cast<uint32_t>(qx_finger_get_position(finger));
  return (static_cast<uint64_t>(id) << 32) | pos;
}

int32_t qx_finger_is_copy(const qx_finger *a, const qx_finger *b) {
  if (a == nullptr || b == nullptr) return 0;
  return a->position == b->position && a->acquisition == b->acquisition &&
         qx_user_is_copy(qx_finger_get_user(a), qx_finger_get_user(b));
}

}  // extern "C"
