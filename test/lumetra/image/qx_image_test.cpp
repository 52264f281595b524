// Image object, result-code table and sensor-size codes.
#include <gtest/gtest.h>

#include <vector>

#include "engine/image/qx_image.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"

namespace {

TEST(QxRc, ConvertsEveryImageStatus) {
  // Status -> result, the whole table including the catch-all.
  const int expected[33] = {0,  4,  7,  17, 3,  3,  13, 17, 17, 9,  17, 17, 5, 1, 2, 14, 8,
                            17, 17, 17, 17, 17, 17, 17, 17, 4,  4,  17, 17, 17, 17, 17, 17};
  for (int s = 0; s < 33; ++s) EXPECT_EQ(qx_rc_convert_from_qxi(s), expected[s]) << "status " << s;
  EXPECT_EQ(qx_rc_convert_from_qxi(33), 17);
  EXPECT_EQ(qx_rc_convert_from_qxi(1000), 17);
  EXPECT_EQ(qx_rc_convert_from_qxi(-1), 17);
}

TEST(QxImage, CreateCopiesPixelsOrPaintsWhite) {
  std::vector<uint8_t> px = {1, 2, 3, 4, 5, 6};
  qx_image *img = qx_image_create(2, 3, 500, 500, px.data(), 7);
  ASSERT_NE(img, nullptr);
  px[0] = 99;  // the image holds its own copy
  EXPECT_EQ(qx_image_get_pixels(img)[0], 1);
  EXPECT_EQ(qx_image_get_rows(img), 2);
  EXPECT_EQ(qx_image_get_cols(img), 3);
  EXPECT_EQ(qx_image_get_vertical_resolution(img), 500);
  EXPECT_EQ(qx_image_get_horizontal_resolution(img), 500);
  EXPECT_EQ(qx_image_get_impression_type(img), 7);
  EXPECT_EQ(qx_image_get_mr_size(img), 6u);
  EXPECT_EQ(qx_image_get_mr_const(img), 1);
  qx_image_delete(img);

  qx_image *white = qx_image_create(4, 5, 500, 500, nullptr, 0);
  ASSERT_NE(white, nullptr);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(qx_image_get_pixels(white)[i], 255);
  qx_image_delete(white);
}

TEST(QxImage, RejectsSizesOutsideSixteenBits) {
  EXPECT_EQ(qx_image_create(0, 10, 500, 500, nullptr, 0), nullptr);
  EXPECT_EQ(qx_image_create(10, -3, 500, 500, nullptr, 0), nullptr);
  EXPECT_EQ(qx_image_create(65536, 1, 500, 500, nullptr, 0), nullptr);
  EXPECT_EQ(qx_image_create(1, 1, 70000, 500, nullptr, 0), nullptr);
}

TEST(QxImage, ReferenceCountingAndQualityAttachment) {
  const long live = qx_alloc_live();
  qx_image *img = qx_image_create(3, 3, 500, 500, nullptr, 0);
  EXPECT_EQ(qx_image_retain(img), img);
  EXPECT_EQ(qx_image_get_num_refs(img), 2);
  qx_quality *q1 = qx_quality_create(50, 19, 40);
  qx_image_set_quality_values(img, q1);
  qx_image_set_quality_values(img, q1);  // re-attaching the same record is safe
  qx_quality *q2 = qx_quality_create(60, 20, 30);
  qx_image_set_quality_values(img, q2);  // releases q1's reference
  qx_quality_delete(q1);
  qx_quality_delete(q2);
  EXPECT_EQ(qx_quality_get_image_quality(qx_image_get_quality_values(img)), 60);
  EXPECT_EQ(qx_quality_get_area(qx_image_get_quality_values(img)), 20);
  EXPECT_EQ(qx_quality_get_condition(qx_image_get_quality_values(img)), 30);
  qx_image_delete(img);
  EXPECT_EQ(qx_image_get_num_refs(img), 1);
  qx_image_delete(img);
  EXPECT_EQ(qx_alloc_live(), live);
  qx_image_delete(nullptr);
  EXPECT_EQ(qx_image_retain(nullptr), nullptr);
}

struct Decoder {
  int decodes = 0;
  int releases = 0;
  int fail = 0;
};
int decode_gradient(void *ctx, uint8_t *px, uint16_t rows, uint16_t cols) {
  auto *d = static_cast<Decoder *>(ctx);
  ++d->decodes;
  if (d->fail) return 1;
  for (int i = 0; i < rows * cols; ++i) px[i] = static_cast<uint8_t>(i);
  return 0;
}
void release_decoder(void *ctx) { ++static_cast<Decoder *>(ctx)->releases; }
const qx_image_decoder kDecoder = {decode_gradient, release_decoder};

TEST(QxImage, LazyDecodingHappensOnceOnFirstUse) {
  Decoder d;
  qx_image *img = qx_image_create_lazy(2, 2, 500, 500, &kDecoder, &d, 0);
  ASSERT_NE(img, nullptr);
  EXPECT_EQ(d.decodes, 0);
  const uint8_t *px = qx_image_get_pixels(img);
  ASSERT_NE(px, nullptr);
  EXPECT_EQ(px[3], 3);
  EXPECT_EQ(qx_image_get_pixels(img), px);
  EXPECT_EQ(d.decodes, 1);
  EXPECT_EQ(d.releases, 1);
  qx_image_delete(img);
  EXPECT_EQ(d.releases, 1);

  Decoder failing;
  failing.fail = 1;
  img = qx_image_create_lazy(2, 2, 500, 500, &kDecoder, &failing, 0);
  EXPECT_EQ(qx_image_get_pixels(img), nullptr);
  qx_image_delete(img);  // the pending decoder is released with the image
  EXPECT_EQ(failing.releases, 1);
}

struct Notified {
  int calls = 0;
  void *last = nullptr;
};
Notified g_notified;
void notify(void *user) {
  ++g_notified.calls;
  g_notified.last = user;
}

TEST(QxImage, MemoryReleaseRules) {
  const long live = qx_alloc_live();
  // Owned buffer: only a weak image with one reference gives it up, and
  // only to the engine's own free function.
  qx_image *img = qx_image_create(2, 2, 500, 500, nullptr, 0);
  EXPECT_EQ(qx_image_mr_release(img, qx_free), 0);  // state 0
  qx_image_mr_soft(img);
  EXPECT_EQ(qx_image_get_mr_state(img), 1);
  qx_image_mr_weakify(img);
  EXPECT_EQ(qx_image_get_mr_state(img), 2);
  qx_image_retain(img);
  EXPECT_EQ(qx_image_mr_release(img, qx_free), 0);  // two references
  qx_image_delete(img);
  EXPECT_EQ(qx_image_mr_release(img, notify), 0);  // wrong releaser
  uint8_t *px = qx_image_get_pixels(img);
  EXPECT_EQ(qx_image_mr_release(img, qx_free), 1);
  EXPECT_EQ(qx_image_get_pixels(img), nullptr);
  qx_free(px);  // the buffer now belongs to us
  qx_image_delete(img);
  EXPECT_EQ(qx_alloc_live(), live);

  // Borrowed buffer without a releaser goes back through the notification.
  uint8_t mine[4] = {};
  g_notified = {};
  img = qx_image_create_mre(2, 2, 500, 500, mine, 0, notify, mine);
  qx_image_mr_weak(img);
  EXPECT_EQ(qx_image_mr_release(img, nullptr), 1);
  EXPECT_EQ(g_notified.calls, 1);
  EXPECT_EQ(g_notified.last, mine);
  qx_image_delete(img);
  EXPECT_EQ(g_notified.calls, 1);  // not notified twice

  // Borrowed buffer with its own notification as releaser: handed back
  // without calling it.
  g_notified = {};
  img = qx_image_create_mre(2, 2, 500, 500, mine, 0, notify, mine);
  qx_image_mr_weak(img);
  EXPECT_EQ(qx_image_mr_release(img, qx_free), 0);
  EXPECT_EQ(qx_image_mr_release(img, notify), 1);
  qx_image_delete(img);
  EXPECT_EQ(g_notified.calls, 0);
}

TEST(QxImage, SensorSizeCodes) {
  struct Case {
    int rows, cols, res, code;
  };
  const Case cases[] = {
      {256, 360, 500, 1}, {96, 96, 500, 6},  {88, 88, 500, 6},  {200, 80, 500, 7},
      {197, 197, 500, 2}, {80, 200, 500, 7}, {160, 80, 500, 8}, {512, 720, 1000, 1},
  };
  for (const Case &c : cases) {
    qx_image *img = qx_image_create(c.rows, c.cols, c.res, c.res, nullptr, 0);
    EXPECT_EQ(qx_image_get_sensor_size(img), c.code) << c.rows << "x" << c.cols;
    qx_image_delete(img);
  }
  qx_image *no_res = qx_image_create(88, 88, 0, 0, nullptr, 0);
  EXPECT_EQ(qx_image_get_sensor_size(no_res), 0);
  qx_image_delete(no_res);
}

TEST(QxImage, CreationFailuresLeakNothing) {
  const long live = qx_alloc_live();
  for (long n = 0; n < 2; ++n) {
    qx_alloc_fail_after(n);
    EXPECT_EQ(qx_image_create(8, 8, 500, 500, nullptr, 0), nullptr);
    EXPECT_EQ(qx_alloc_live(), live);
  }
  qx_alloc_fail_after(0);
  EXPECT_EQ(qx_quality_create(1, 2, 3), nullptr);
  qx_alloc_fail_after(-1);
}

}  // namespace
