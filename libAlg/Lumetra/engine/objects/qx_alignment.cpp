// Alignments between captures and the match objects that carry them.
#include "engine/objects/qx_alignment.h"

#include <algorithm>

#include "engine/image/fixed_math.h"
#include "engine/qx_alloc.h"
#include "engine/qx_refcount.hpp"

struct qx_alignment {
  int32_t refs;
  int16_t dx;
  int16_t dy;
  uint8_t rotation;
  int32_t prec_dx;
  int32_t prec_dy;
  int32_t prec_rotation;
  void (*destroy)(qx_alignment *);
};

struct qx_match {
  int32_t refs;
  qx_template *template1;
  qx_template *template2;
  uint16_t score;
  int32_t decision;
  qx_alignment *alignment;
  void (*destroy)(qx_match *);
};

namespace {

void destroy_alignment(qx_alignment *a) { qx_free(a); }

void destroy_match(qx_match *m) {
  qx_template_delete(m->template1);
  qx_template_delete(m->template2);
  qx_alignment_delete(m->alignment);
  qx_free(m);
}

// Products of Q14 factors with pixel values, shifted back arithmetically.
int32_t q14(int64_t value) { return static_cast<int32_t>(value >> 14); }

// The translation of the inverse mapping: -((dx c - dy s) >> 14) and
// -((dy c + dx s) >> 14) with c = cos(-r), s = sin(-r).
void inverse_translation(const qx_alignment *a, int32_t *ix, int32_t *iy) {
  const int64_t c = cos_(-a->rotation), s = sin_(-a->rotation);
  *ix = -q14(a->dx * c - a->dy * s);
  *iy = -q14(a->dy * c + a->dx * s);
}

}  // namespace

extern "C" {

qx_alignment *qx_alignment_create_prec(int16_t dx, int16_t dy, uint8_t rotation,
                                       int32_t prec_dx, int32_t prec_dy, int32_t prec_rotation) {
  auto *a = static_cast<qx_alignment *>(qx_calloc(1, sizeof(qx_alignment)));
  if (a == nullptr) return nullptr;
  a->refs = 1;
  a->dx = dx;
  a->dy = dy;
  a->rotation = rotation;
  a->prec_dx = prec_dx;
  a->prec_dy = prec_dy;
  a->prec_rotation = prec_rotation;
  a->destroy = destroy_alignment;
  return a;
}

qx_alignment *qx_alignment_create(int16_t dx, int16_t dy, uint8_t rotation) {
  return qx_alignment_create_prec(dx, dy, rotation, dx * 256, dy * 256, rotation * 256);
}

qx_alignment *qx_alignment_create_identity(void) { return qx_alignment_create(0, 0, 0); }

qx_alignment *qx_alignment_copy(const qx_alignment *a) {
  if (a == nullptr) return nullptr;
  return qx_alignment_create_prec(a->dx, a->dy, a->rotation, a->prec_dx, a->prec_dy,
                                  a->prec_rotation);
}

qx_alignment *qx_alignment_retain(qx_alignment *a) {
  return qx::retain(a);
}

void qx_alignment_delete(qx_alignment *a) {
  qx::release(a);
}

int32_t qx_alignment_get_num_refs(const qx_alignment *a) { return qx::num_refs(a); }
int16_t qx_alignment_get_dx(const qx_alignment *a) { return a != nullptr ? a->dx : 0; }
int16_t qx_alignment_get_dy(const qx_alignment *a) { return a != nullptr ? a->dy : 0; }
uint8_t qx_alignment_get_rotation(const qx_alignment *a) { return a != nullptr ? a->rotation : 0; }
int32_t qx_alignment_get_prec_dx(const qx_alignment *a) { return a != nullptr ? a->prec_dx : 0; }
int32_t qx_alignment_get_prec_dy(const qx_alignment *a) { return a != nullptr ? a->prec_dy : 0; }
int32_t qx_alignment_get_prec_rotation(const qx_alignment *a) {
  return a != nullptr ? a->prec_rotation : 0;
}

void qx_alignment_transform_point(const qx_alignment *a, int32_t x, int32_t y, int32_t *out_x,
                                  int32_t *out_y) {
  if (a == nullptr) {
    *out_x = x;
    *out_y = y;
    return;
  }
  const int64_t c = cos_(a->rotation), s = sin_(a->rotation);
  *out_x = q14(x * c - y * s) + a->dx;
  *out_y = q14(x * s + y * c) + a->dy;
}

void qx_alignment_transform_point_inverse(const qx_alignment *a, int32_t x, int32_t y,
                                          int32_t *out_x, int32_t *out_y) {
  if (a == nullptr) {
    *out_x = x;
    *out_y = y;
    return;
  }
  const int64_t c = cos_(-a->rotation), s = sin_(-a->rotation);
  int32_t ix, iy;
  inverse_translation(a, &ix, &iy);
  *out_x = q14(x * c - y * s + 8192) + ix;
  *out_y = q14(x * s + y * c + 8192) + iy;
}

qx_alignment *qx_alignment_inverse(const qx_alignment *a) {
  if (a == nullptr) return nullptr;
  int32_t ix, iy;
  inverse_translation(a, &ix, &iy);
  return qx_alignment_create(static_cast<int16_t>(ix), static_cast<int16_t>(iy),
                             static_cast<uint8_t>(-a->rotation));
}

qx_alignment *qx_alignment_combine(const qx_alignment *a, const qx_alignment *b) {
  if (a == nullptr || b == nullptr) return nullptr;
  const int64_t c = cos_(b->rotation), s = sin_(b->rotation);
  const int32_t dx = q14(a->dx * c - a->dy * s) + b->dx;
  const int32_t dy = q14(a->dx * s + a->dy * c) + b->dy;
  return qx_alignment_create(static_cast<int16_t>(dx), static_cast<int16_t>(dy),
                             static_cast<uint8_t>(a->rotation + b->rotation));
}

qx_alignment *qx_alignment_difference(const qx_alignment *a, const qx_alignment *b) {
  qx_alignment *inverse_b = qx_alignment_inverse(b);
  if (inverse_b == nullptr) return nullptr;
  qx_alignment *d = qx_alignment_combine(inverse_b, a);
  qx_alignment_delete(inverse_b);
  return d;
}

void qx_alignment_get_rectangle_extremes(const qx_alignment *a, int32_t width, int32_t height,
                                         int32_t *min_x, int32_t *max_x, int32_t *min_y,
                                         int32_t *max_y) {
  const int32_t corners[4][2] = {{0, 0}, {0, height}, {width, 0}, {width, height}};
  for (int i = 0; i < 4; ++i) {
    int32_t x, y;
    qx_alignment_transform_point_inverse(a, corners[i][0], corners[i][1], &x, &y);
    *min_x = i == 0 ? x : std::min(*min_x, x);
    *max_x = i == 0 ? x : std::max(*max_x, x);
    *min_y = i == 0 ? y : std::min(*min_y, y);
    *max_y = i == 0 ? y : std::max(*max_y, y);
  }
}

int32_t qx_alignment_within_limits_single(const qx_alignment *a, int32_t distance,
                                          int32_t angle) {
  if (a == nullptr) return 0;
  const int32_t r = static_cast<int8_t>(a->rotation);
  const int64_t d2 = static_cast<int64_t>(a->dx) * a->dx + static_cast<int64_t>(a->dy) * a->dy;
  return (r < 0 ? -r : r) <= angle && d2 <= static_cast<int64_t>(distance) * distance ? 1 : 0;
}

qx_match *qx_match_create(qx_template *template1, qx_template *template2, uint16_t score,
                          int32_t decision, qx_alignment *alignment) {
  auto *m = static_cast<qx_match *>(qx_calloc(1, sizeof(qx_match)));
  if (m == nullptr) return nullptr;
  m->refs = 1;
  m->template1 = qx_template_retain(template1);
  m->template2 = qx_template_retain(template2);
  m->score = score;
  m->decision = decision;
  m->alignment = qx_alignment_retain(alignment);
  m->destroy = destroy_match;
  return m;
}

qx_match *qx_match_create_inverse(const qx_match *match) {
  if (match == nullptr) return nullptr;
  qx_alignment *inverse = nullptr;
  if (match->alignment != nullptr) {
    inverse = qx_alignment_inverse(match->alignment);
    if (inverse == nullptr) return nullptr;
  }
  qx_match *m = qx_match_create(match->template2, match->template1, match->score,
                                match->decision, inverse);
  qx_alignment_delete(inverse);  // the match holds its own reference
  return m;
}

qx_match *qx_match_retain(qx_match *match) {
  return qx::retain(match);
}

void qx_match_delete(qx_match *match) {
  qx::release(match);
}

int32_t qx_match_get_num_refs(const qx_match *m) { return m != nullptr ? m->refs : 0; }
qx_template *qx_match_get_template1(const qx_match *m) { return m != nullptr ? m->template1 : nullptr; }
qx_template *qx_match_get_template2(const qx_match *m) { return m != nullptr ? m->template2 : nullptr; }
uint16_t qx_match_get_score(const qx_match *m) { return m != nullptr ? m->score : 0; }
int32_t qx_match_get_decision(const qx_match *m) { return m != nullptr ? m->decision : 0; }
qx_alignment *qx_match_get_alignment(const qx_match *m) {
  return m != nullptr ? m->alignment : nullptr;
}

}  // extern "C"
