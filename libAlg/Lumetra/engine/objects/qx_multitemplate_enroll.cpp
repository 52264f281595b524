// The enrollment state and its run: extraction, comparisons with the
// accepted captures, the duplicate rule, islands, reports and progress.
#include "engine/objects/qx_multitemplate_enroll.h"

#include <cstdlib>

#include "engine/match/probe_parts.h"
#include "engine/objects/qx_enroll_progress.h"
#include "engine/objects/qx_multitemplate_manager.h"
#include "engine/qx_alloc.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"
#include "engine/qx_refcount.hpp"

namespace {

// FAR index of the comparisons between captures.
constexpr int32_t kFarIndexStrict = 12;
constexpr int32_t kFarIndexDefault = 9;

struct Record {
  qx_template *tpl;  // one reference
  bool rejected;
};

}  // namespace

struct qx_multitemplate_enroll {
  int32_t refs;
  qx_session *session;  // retained
  qx_finger *finger;    // retained
  const qx_extractor_interface *extractor;
  const qx_verifier_interface *verifier;
  int32_t template_type;
  qx_enroll_callbacks callbacks;
  bool compare_captures;  // false for the controller variant

  int32_t capacity;
  qx_template **captures;  // capacity entries, one reference each
  int32_t nbr_captures;

  Record *records;  // arrival order (the oldest rejected ones forgotten)
  int32_t nbr_records;
  int32_t records_capacity;
  int32_t nbr_recorded;  // captures ever recorded, forgotten ones included

  qx_match **matrix;  // capacity x capacity, one reference each

  qx_match **matches;  // accepted matches, score order, one reference each
  int32_t nbr_matches;
  int32_t matches_capacity;

  qx_island_list *islands;  // of the last run that built one
  int32_t capture_rows;     // capture size at 500 dpi
  int32_t capture_cols;
  int32_t far_index;
  uint8_t best_progress;
  qx_image *canvas;  // retained, optional
  void (*destroy)(qx_multitemplate_enroll *);
};

namespace {

qx_match *&cell(qx_multitemplate_enroll *e, int32_t i, int32_t j) {
  return e->matrix[static_cast<size_t>(i) * e->capacity + j];
}

void destroy_enrollment(qx_multitemplate_enroll *e) {
  if (qx_session_get_context(e->session, QX_CONTEXT_ENROLLMENT) == e) {
    qx_session_remove_context(e->session, QX_CONTEXT_ENROLLMENT);
  }
  if (e->matrix != nullptr) {
    for (int64_t k = 0; k < static_cast<int64_t>(e->capacity) * e->capacity; ++k) {
      qx_match_delete(e->matrix[k]);
    }
  }
  for (int32_t k = 0; k < e->nbr_matches; ++k) qx_match_delete(e->matches[k]);
  if (e->captures != nullptr) {
    for (int32_t k = 0; k < e->capacity; ++k) qx_template_delete(e->captures[k]);
  }
  for (int32_t k = 0; k < e->nbr_records; ++k) qx_template_delete(e->records[k].tpl);
  qx_island_list_delete(e->islands);
  qx_free(e->matrix);
  qx_free(e->matches);
  qx_free(e->captures);
  qx_free(e->records);
  qx_image_delete(e->canvas);
  qx_finger_delete(e->finger);
  qx_session_delete(e->session);
  qx_free(e);
}

qx_multitemplate_enroll *create(qx_algorithm *alg, qx_finger *finger,
                                const qx_enroll_callbacks *callbacks, qx_image *canvas,
                                bool compare_captures) {
  if (alg == nullptr) return nullptr;
  const qx_algorithm_config *config = qx_algorithm_get_config(alg);
  if (config == nullptr || config->nbr_enroll_captures == 0) return nullptr;
  auto *e = static_cast<qx_multitemplate_enroll *>(
      qx_calloc(1, sizeof(qx_multitemplate_enroll)));
  if (e == nullptr) return nullptr;
  e->refs = 1;
  e->destroy = destroy_enrollment;
  e->session = qx_session_retain(qx_algorithm_get_session(alg));
  e->finger = qx_finger_retain(finger);
  e->canvas = qx_image_retain(canvas);
  e->extractor = qx_algorithm_get_extractor(alg);
  e->verifier = qx_algorithm_get_verifier(alg);
  e->template_type = qx_algorithm_get_template_type(alg);
  if (callbacks != nullptr) e->callbacks = *callbacks;
  e->compare_captures = compare_captures;
  e->capacity = config->nbr_enroll_captures;
  e->far_index = config->enroll_param[1] != 0 ? kFarIndexStrict : kFarIndexDefault;

  const auto c = static_cast<size_t>(e->capacity);
  e->matches_capacity = static_cast<int32_t>(c * (c - 1) / 2 + 1);
  e->captures = static_cast<qx_template **>(qx_calloc(c, sizeof(qx_template *)));
  e->matrix = static_cast<qx_match **>(qx_calloc(c * c, sizeof(qx_match *)));
  e->matches = static_cast<qx_match **>(
      qx_calloc(static_cast<size_t>(e->matches_capacity), sizeof(qx_match *)));
  if (e->captures == nullptr || e->matrix == nullptr || e->matches == nullptr ||
      qx_session_set_context(e->session, e, QX_CONTEXT_ENROLLMENT, nullptr) != QX_RC_OK) {
    destroy_enrollment(e);
    return nullptr;
  }
  return e;
}

void send_event(qx_multitemplate_enroll *e, uint16_t event) {
  if (e->callbacks.event != nullptr) e->callbacks.event(e->session, event, e->finger);
}

bool append_record(qx_multitemplate_enroll *e, qx_template *tpl) {
  if (e->nbr_records == e->records_capacity) {
    const int32_t grown_capacity = e->records_capacity > 0 ? e->records_capacity * 2 : 16;
    auto *grown = static_cast<Record *>(
        qx_calloc(static_cast<size_t>(grown_capacity), sizeof(Record)));
    if (grown == nullptr) return false;
    for (int32_t k = 0; k < e->nbr_records; ++k) grown[k] = e->records[k];
    qx_free(e->records);
    e->records = grown;
    e->records_capacity = grown_capacity;
  }
  e->records[e->nbr_records++] = Record{qx_template_retain(tpl), false};
  ++e->nbr_recorded;
  return true;
}

// Rejected captures serve only the island report, where each is an island
// of its own.  A host that keeps sending duplicates would make the session
// grow without end (a template a call); beyond as many rejected records as
// the enrollment takes captures, the oldest one is forgotten.
void forget_oldest_rejected(qx_multitemplate_enroll *e) {
  int32_t rejected = 0, oldest = -1;
  for (int32_t k = 0; k < e->nbr_records; ++k) {
    if (!e->records[k].rejected) continue;
    if (oldest < 0) oldest = k;
    ++rejected;
  }
  if (rejected <= e->capacity) return;
  qx_template_delete(e->records[oldest].tpl);
  for (int32_t k = oldest + 1; k < e->nbr_records; ++k) e->records[k - 1] = e->records[k];
  --e->nbr_records;
}

// Into the score-ordered list, after the matches of equal score.
void insert_match(qx_multitemplate_enroll *e, qx_match *m) {
  int32_t at = e->nbr_matches;
  while (at > 0 && qx_match_get_score(e->matches[at - 1]) < qx_match_get_score(m)) {
    e->matches[at] = e->matches[at - 1];
    --at;
  }
  e->matches[at] = qx_match_retain(m);
  ++e->nbr_matches;
}

// Takes every match involving the template out of the list.
void remove_matches_of(qx_multitemplate_enroll *e, const qx_template *tpl) {
  int32_t kept = 0;
  for (int32_t k = 0; k < e->nbr_matches; ++k) {
    qx_match *m = e->matches[k];
    if (qx_match_get_template1(m) == tpl || qx_match_get_template2(m) == tpl) {
      qx_match_delete(m);
    } else {
      e->matches[kept++] = m;
    }
  }
  e->nbr_matches = kept;
}

// Compares the new capture (position `n`) with every earlier accepted one.
// Returns the first failure (verifier or memory); sets *any_accept.
int32_t compare_with_earlier(qx_multitemplate_enroll *e, int32_t n, bool *any_accept) {
  *any_accept = false;
  if (e->verifier == nullptr || e->verifier->get_similarity_score == nullptr) {
    return QX_RC_UNSUPPORTED;
  }
  qx_template *fresh = e->captures[n];
  // The new capture's parts are converted once for all the comparisons.
  const qx::ProbeScope fresh_parts(e->session, fresh);
  for (int32_t j = 0; j < n; ++j) {
    uint16_t score = 0;
    int32_t decision = 0;
    qx_alignment *alignment = nullptr;
    qx_template *updated = nullptr;
    const int32_t rc = e->verifier->get_similarity_score(e->session, fresh, e->captures[j],
                                                         e->far_index, &score, &decision,
                                                         &alignment, &updated, nullptr);
    qx_template_delete(updated);  // only multi-templates are updated
    if (rc != QX_RC_OK) {
      qx_alignment_delete(alignment);
      return rc;
    }
    const int32_t accepted = decision == 1 ? 1 : 0;
    qx_match *m = qx_match_create(fresh, e->captures[j], score, accepted, alignment);
    qx_alignment_delete(alignment);
    qx_match *inverse = qx_match_create_inverse(m);
    if (m == nullptr || inverse == nullptr) {
      qx_match_delete(m);
      qx_match_delete(inverse);
      return QX_RC_NO_MEMORY;
    }
    cell(e, n, j) = m;
    cell(e, j, n) = inverse;
    if (accepted) {
      insert_match(e, m);
      *any_accept = true;
    }
  }
  return QX_RC_OK;
}

// The earlier capture the new one duplicates, from the most recent
// backwards, or -1.
int32_t find_duplicate(qx_multitemplate_enroll *e, int32_t n) {
  for (int32_t j = n - 1; j >= 0; --j) {
    const qx_match *m = cell(e, n, j);
    if (m != nullptr && qx_match_get_decision(m) == 1 &&
        qx_alignment_within_limits_single(qx_match_get_alignment(m),
                                          QX_ENROLL_DUPLICATE_DISTANCE,
                                          QX_ENROLL_DUPLICATE_ANGLE)) {
      return j;
    }
  }
  return -1;
}

void reject_capture(qx_multitemplate_enroll *e, int32_t n) {
  qx_template *fresh = e->captures[n];
  remove_matches_of(e, fresh);
  for (int32_t j = 0; j < e->capacity; ++j) {
    qx_match_delete(cell(e, n, j));
    cell(e, n, j) = nullptr;
    qx_match_delete(cell(e, j, n));
    cell(e, j, n) = nullptr;
  }
  e->records[e->nbr_records - 1].rejected = true;
  qx_template_delete(fresh);
  e->captures[n] = nullptr;
  forget_oldest_rejected(e);
}

// The islands of this run: the forest of the match list sorted by size,
// islands of one for every record outside it, and the tops of the previous
// run's islands kept.  0 or 9.
int32_t build_islands(qx_multitemplate_enroll *e, qx_island_list **out) {
  *out = nullptr;
  qx_island_list *list = qx_island_list_create();
  if (list == nullptr) return QX_RC_NO_MEMORY;
  int32_t rc = QX_RC_OK;
  for (int32_t k = 0; k < e->nbr_matches && rc == QX_RC_OK; ++k) {
    rc = qx_island_list_add_match(list, e->matches[k]);
  }
  if (rc == QX_RC_OK) qx_island_list_sort_by_size(list);
  for (int32_t k = 0; k < e->nbr_records && rc == QX_RC_OK; ++k) {
    rc = qx_island_list_add_single(list, e->records[k].tpl);
  }
  const int32_t previous = qx_island_list_get_nbr_of_islands(e->islands);
  for (int32_t k = 0; k < previous && rc == QX_RC_OK; ++k) {
    const qx_subtemplate *top = qx_island_list_get_top(e->islands, k);
    rc = qx_island_list_make_top(list, qx_subtemplate_get_template(top));
  }
  if (rc != QX_RC_OK) {
    qx_island_list_delete(list);
    return rc;
  }
  *out = list;
  return QX_RC_OK;
}

struct FlagsContext {
  const qx_multitemplate_enroll *e;
  const qx_template *newest;
};

int32_t capture_flags(void *user, const qx_template *tpl) {
  const auto *ctx = static_cast<const FlagsContext *>(user);
  int32_t flags = tpl == ctx->newest ? QX_ENROLL_CAPTURE_NEWEST : 0;
  for (int32_t k = 0; k < ctx->e->nbr_records; ++k) {
    if (ctx->e->records[k].tpl == tpl && ctx->e->records[k].rejected) {
      flags |= QX_ENROLL_CAPTURE_REJECTED;
    }
  }
  return flags;
}

// Corners of every capture of every island.  0 or 9.
int32_t collect_reports(qx_multitemplate_enroll *e, const qx_island_list *list,
                        const qx_template *newest, qx_enroll_island_report **out) {
  *out = nullptr;
  const int32_t n = qx_island_list_get_nbr_of_islands(list);
  auto *reports = static_cast<qx_enroll_island_report *>(
      qx_calloc(static_cast<size_t>(n > 0 ? n : 1), sizeof(qx_enroll_island_report)));
  if (reports == nullptr) return QX_RC_NO_MEMORY;
  FlagsContext ctx{e, newest};
  for (int32_t k = 0; k < n; ++k) {
    const int32_t rc = qx_island_list_collect_corners(list, k, e->capture_cols, e->capture_rows,
                                                      capture_flags, &ctx,
                                                      &reports[k].captures);
    if (rc != QX_RC_OK) {
      qx_enroll_island_reports_free(reports, n);
      return rc;
    }
    reports[k].nbr_of_captures = qx_island_list_get_size(list, k);
  }
  *out = reports;
  return QX_RC_OK;
}

// Hull area of the first island's capture corners.  0 or 9.
int32_t first_island_area(const qx_multitemplate_enroll *e, const qx_island_list *list,
                          int64_t *area) {
  *area = 0;
  qx_enroll_capture_corners *corners = nullptr;
  int32_t rc = qx_island_list_collect_corners(list, 0, e->capture_cols, e->capture_rows,
                                              nullptr, nullptr, &corners);
  if (rc != QX_RC_OK) return rc;
  const int32_t n = qx_island_list_get_size(list, 0) * 4;
  qx::Buffer<int32_t> xs, ys;
  if (!xs.alloc(static_cast<size_t>(n)) || !ys.alloc(static_cast<size_t>(n))) {
    qx_free(corners);
    return QX_RC_NO_MEMORY;
  }
  for (int32_t i = 0; i < n; ++i) {
    xs[i] = corners[i / 4].x[i % 4];
    ys[i] = corners[i / 4].y[i % 4];
  }
  qx_free(corners);
  return qx_convex_hull_area(xs.get(), ys.get(), n, area);
}

void put_pixel(uint8_t *pixels, int32_t rows, int32_t cols, int32_t x, int32_t y) {
  if (x >= 0 && y >= 0 && x < cols && y < rows) pixels[static_cast<size_t>(y) * cols + x] = 0;
}

void draw_line(uint8_t *pixels, int32_t rows, int32_t cols, int32_t x0, int32_t y0, int32_t x1,
               int32_t y1) {
  const int32_t dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
  const int32_t sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
  int32_t err = dx + dy;
  for (;;) {
    put_pixel(pixels, rows, cols, x0, y0);
    if (x0 == x1 && y0 == y1) break;
    const int32_t e2 = 2 * err;
    if (e2 >= dy) { err += dy; x0 += sx; }
    if (e2 <= dx) { err += dx; y0 += sy; }
  }
}

// The enrollment picture: the outlines of the largest island's captures on
// white, the island's top-left corner at the canvas origin.  0 or 9.
int32_t draw_canvas(qx_multitemplate_enroll *e, const qx_island_list *list) {
  uint8_t *pixels = qx_image_get_pixels(e->canvas);
  if (pixels == nullptr) return QX_RC_OK;
  const int32_t rows = qx_image_get_rows(e->canvas), cols = qx_image_get_cols(e->canvas);
  for (size_t k = 0; k < static_cast<size_t>(rows) * cols; ++k) pixels[k] = 255;
  qx_enroll_capture_corners *corners = nullptr;
  const int32_t rc = qx_island_list_collect_corners(list, 0, e->capture_cols, e->capture_rows,
                                                    nullptr, nullptr, &corners);
  if (rc != QX_RC_OK) return rc;
  const int32_t n = qx_island_list_get_size(list, 0);
  int32_t min_x = corners[0].x[0], min_y = corners[0].y[0];
  for (int32_t i = 0; i < n; ++i) {
    for (int k = 0; k < 4; ++k) {
      if (corners[i].x[k] < min_x) min_x = corners[i].x[k];
      if (corners[i].y[k] < min_y) min_y = corners[i].y[k];
    }
  }
  for (int32_t i = 0; i < n; ++i) {
    for (int k = 0; k < 4; ++k) {
      const int l = (k + 1) % 4;
      draw_line(pixels, rows, cols, corners[i].x[k] - min_x, corners[i].y[k] - min_y,
                corners[i].x[l] - min_x, corners[i].y[l] - min_y);
    }
  }
  qx_free(corners);
  return QX_RC_OK;
}

// Steps after the capture was judged: islands, canvas, progress, reports.
// 0 or 9.
int32_t report(qx_multitemplate_enroll *e, const qx_template *newest, uint8_t *progress) {
  const bool reports_wanted = e->callbacks.island_report != nullptr;
  if (!reports_wanted && e->canvas == nullptr && progress == nullptr) return QX_RC_OK;

  qx_island_list *list = nullptr;
  int32_t rc = build_islands(e, &list);
  if (rc != QX_RC_OK) return rc;
  qx_enroll_island_report *reports = nullptr;
  if (reports_wanted) rc = collect_reports(e, list, newest, &reports);
  if (rc == QX_RC_OK && e->canvas != nullptr) {
    rc = draw_canvas(e, list);
    if (rc == QX_RC_OK && e->callbacks.canvas != nullptr) {
      e->callbacks.canvas(e->session, e->canvas);
    }
  }
  if (rc == QX_RC_OK && progress != nullptr) {
    int64_t area = 0;
    rc = first_island_area(e, list, &area);
    if (rc == QX_RC_OK) {
      e->best_progress = qx_enroll_progress_from_area(area, e->best_progress);
      *progress = e->best_progress;
    }
  }
  if (rc != QX_RC_OK) {
    qx_enroll_island_reports_free(reports, qx_island_list_get_nbr_of_islands(list));
    qx_island_list_delete(list);
    return rc;
  }
  if (reports_wanted) {
    const int32_t n = qx_island_list_get_nbr_of_islands(list);
    if (e->callbacks.island_report(e->session, reports, n) == 1) {
      qx_enroll_island_reports_free(reports, n);
    }
  }
  qx_island_list_delete(e->islands);
  e->islands = list;
  return QX_RC_OK;
}

}  // namespace

extern "C" {

qx_multitemplate_enroll *qx_multitemplate_enroll_create_algorithm(
    qx_algorithm *algorithm, qx_finger *finger, const qx_enroll_callbacks *callbacks,
    qx_image *canvas) {
  return create(algorithm, finger, callbacks, canvas, true);
}

qx_multitemplate_enroll *qx_multitemplate_enroll_mcu_create_algorithm(
    qx_algorithm *algorithm, qx_finger *finger, const qx_enroll_callbacks *callbacks,
    qx_image *canvas) {
  return create(algorithm, finger, callbacks, canvas, false);
}

qx_multitemplate_enroll *qx_multitemplate_enroll_retain(qx_multitemplate_enroll *e) {
  return qx::retain(e);
}

void qx_multitemplate_enroll_delete(qx_multitemplate_enroll *e) {
  qx::release(e);
}

qx_rc qx_multitemplate_enroll_run(qx_multitemplate_enroll *e, qx_image *image,
                                  uint8_t *progress) {
  if (e == nullptr || image == nullptr) return QX_RC_BAD_ARGUMENT;
  // 1. The capture size at 500 dpi.
  const int32_t vres = qx_image_get_vertical_resolution(image);
  const int32_t hres = qx_image_get_horizontal_resolution(image);
  if (vres <= 0 || hres <= 0) return QX_RC_BAD_ARGUMENT;
  e->capture_rows = qx_image_get_rows(image) * 500 / vres;
  e->capture_cols = qx_image_get_cols(image) * 500 / hres;
  // 2. Full: nothing is done.
  if (e->nbr_captures >= e->capacity) return QX_RC_CAPACITY_FULL;
  // 3.
  if (progress != nullptr) *progress = 0;
  // 4. Extraction into the next free position.
  if (e->extractor == nullptr || e->extractor->extract_template == nullptr) {
    return QX_RC_UNSUPPORTED;
  }
  qx_template *fresh = nullptr;
  int32_t rc = e->extractor->extract_template(e->session, image, e->finger, e->template_type,
                                              &fresh);
  if (rc != QX_RC_OK) {
    qx_template_delete(fresh);
    return rc;
  }
  if (fresh == nullptr) return QX_RC_FAILED;
  // 5. The record, then the event.
  if (!append_record(e, fresh)) {
    qx_template_delete(fresh);
    return QX_RC_NO_MEMORY;
  }
  const int32_t n = e->nbr_captures;
  e->captures[n] = fresh;  // the extraction's reference
  send_event(e, QX_ENROLL_EVENT_EXTRACTED);

  // 6. Comparisons and the duplicate rule; the first capture is accepted.
  int32_t compare_rc = QX_RC_OK;
  if (n > 0 && e->compare_captures) {
    bool any_accept = false;
    compare_rc = compare_with_earlier(e, n, &any_accept);
    const int32_t twin = find_duplicate(e, n);
    if (twin >= 0) {
      send_event(e, QX_ENROLL_EVENT_DUPLICATE);
      if (twin == n - 1) send_event(e, QX_ENROLL_EVENT_DUPLICATE_OF_LAST);
      reject_capture(e, n);
    } else {
      ++e->nbr_captures;
      if (!any_accept) send_event(e, QX_ENROLL_EVENT_NO_MATCH);
    }
  } else {
    ++e->nbr_captures;
  }

  // 7 to 10.
  rc = report(e, fresh, progress);
  // 11.
  if (e->callbacks.capture_count != nullptr) {
    e->callbacks.capture_count(e->session, e->nbr_captures, e->capacity);
  }
  return compare_rc != QX_RC_OK ? compare_rc : rc;
}

qx_rc qx_multitemplate_enroll_finalize_template_algorithm(qx_algorithm *alg,
                                                           qx_multitemplate_enroll *e,
                                                           qx_template **out) {
  if (out == nullptr) return QX_RC_BAD_ARGUMENT;
  *out = nullptr;
  if (alg == nullptr || e == nullptr) return QX_RC_BAD_ARGUMENT;
  const qx_algorithm_config *config = qx_algorithm_get_config(alg);
  const int32_t n = e->nbr_captures;
  if (config == nullptr || n == 0) return QX_RC_FAILED;

  // The accepted captures' part of the matrix, n x n (not retained).
  qx::Buffer<qx_match *> matrix;
  if (!matrix.alloc(static_cast<size_t>(n) * n)) return QX_RC_NO_MEMORY;
  for (int32_t i = 0; i < n; ++i) {
    for (int32_t j = 0; j < n; ++j) matrix[static_cast<size_t>(i) * n + j] = cell(e, i, j);
  }
  qx_multitemplate_manager *manager =
      qx_multitemplate_manager_create(config->max_nbr_subtemplates);
  if (manager == nullptr) return QX_RC_NO_MEMORY;
  qx_multitemplate_manager_set_max_template_size(manager,
                                                 static_cast<uint32_t>(config->enroll_param[2]));
  int32_t rc = qx_mtm_enroll_templates_from_match_matrix(manager, e->captures, n, matrix.get(),
                                                         config->enroll_param[1]);
  if (rc == QX_RC_OK) {
    *out = qx_multitemplate_manager_encode(manager, config->enroll_param[0]);
    if (*out == nullptr) rc = QX_RC_NO_MEMORY;
  }
  qx_multitemplate_manager_delete(manager);
  if (rc != QX_RC_OK) return rc == QX_RC_NO_MEMORY ? QX_RC_NO_MEMORY : QX_RC_FAILED;
  if (e->canvas != nullptr && e->callbacks.canvas != nullptr) {
    e->callbacks.canvas(e->session, e->canvas);
  }
  return QX_RC_OK;
}

int32_t qx_multitemplate_enroll_get_nbr_of_captures(const qx_multitemplate_enroll *e) {
  return e != nullptr ? e->nbr_captures : 0;
}

int32_t qx_multitemplate_enroll_get_capacity(const qx_multitemplate_enroll *e) {
  return e != nullptr ? e->capacity : 0;
}

qx_template *qx_multitemplate_enroll_get_capture(const qx_multitemplate_enroll *e,
                                                 int32_t index) {
  if (e == nullptr || index < 0 || index >= e->nbr_captures) return nullptr;
  return e->captures[index];
}

qx_match *qx_multitemplate_enroll_get_match(const qx_multitemplate_enroll *e, int32_t i,
                                            int32_t j) {
  if (e == nullptr || i < 0 || j < 0 || i >= e->nbr_captures || j >= e->nbr_captures) {
    return nullptr;
  }
  return e->matrix[static_cast<size_t>(i) * e->capacity + j];
}

const qx_island_list *qx_multitemplate_enroll_get_islands(const qx_multitemplate_enroll *e) {
  return e != nullptr ? e->islands : nullptr;
}

int32_t qx_multitemplate_enroll_get_nbr_of_records(const qx_multitemplate_enroll *e) {
  return e != nullptr ? e->nbr_recorded : 0;
}

int32_t qx_multitemplate_enroll_get_nbr_of_kept_records(const qx_multitemplate_enroll *e) {
  return e != nullptr ? e->nbr_records : 0;
}

}  // extern "C"
