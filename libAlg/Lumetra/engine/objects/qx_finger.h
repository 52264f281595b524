/*
 * qx_finger.h - the finger and user value objects.
 *
 * A finger names a finger position of a user and an acquisition number.
 * A finger or user without a destroy function is static: retain and delete
 * leave it untouched, so it is never freed.  The anonymous user
 * QX_USER_ANONYMOUS (id 0) is static, and so is the all-zero finger the
 * library interface hands to the engine (qx_finger_static_zero).
 */
#ifndef LUMETRA_ENGINE_OBJECTS_QX_FINGER_H
#define LUMETRA_ENGINE_OBJECTS_QX_FINGER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qx_user qx_user;
typedef struct qx_finger qx_finger;

qx_user *qx_user_anonymous(void);
#define QX_USER_ANONYMOUS (qx_user_anonymous())

qx_user *qx_user_create(int32_t id);
qx_user *qx_user_create_ext(int32_t id, int32_t year_of_birth, int32_t gender);
qx_user *qx_user_copy(const qx_user *user);
qx_user *qx_user_retain(qx_user *user);
void qx_user_delete(qx_user *user);
int32_t qx_user_get_num_refs(const qx_user *user);
int32_t qx_user_get_id(const qx_user *user);
int32_t qx_user_get_year_of_birth(const qx_user *user);
int32_t qx_user_get_gender(const qx_user *user);
/* 1 when id, year of birth and gender are equal. */
int32_t qx_user_is_copy(const qx_user *a, const qx_user *b);

/* user may be absent: the finger then belongs to the anonymous user. */
qx_finger *qx_finger_create(int32_t position, qx_user *user);
qx_finger *qx_finger_create_acquisition(int32_t position, qx_user *user,
                                        int32_t acquisition);
/* The process-wide static finger with every field zero. */
qx_finger *qx_finger_static_zero(void);
qx_finger *qx_finger_copy(const qx_finger *finger);
qx_finger *qx_finger_retain(qx_finger *finger);
void qx_finger_delete(qx_finger *finger);
int32_t qx_finger_get_num_refs(const qx_finger *finger);
int32_t qx_finger_get_position(const qx_finger *finger);
/* The anonymous user when the finger has none. */
qx_user *qx_finger_get_user(const qx_finger *finger);
int32_t qx_finger_get_user_id(const qx_finger *finger);
int32_t qx_finger_get_acquisition(const qx_finger *finger);
/* User id in the upper 32 bits, position in the lower 32 bits. */
uint64_t qx_finger_get_id(const qx_finger *finger);
/* 1 when position and acquisition are equal and the users are copies. */
int32_t qx_finger_is_copy(const qx_finger *a, const qx_finger *b);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_OBJECTS_QX_FINGER_H */
