// The enrollment with the algorithm of the station's 88 x 88 sensor
// ("ehmsq-xs"): real extraction and comparisons of generated touches.
#include <gtest/gtest.h>

#include <fpsynth/fpsynth.h>

#include <vector>

#include "engine/match/qx_config.h"
#include "engine/objects/qx_multitemplate.h"
#include "engine/objects/qx_multitemplate_enroll.h"
#include "engine/qx_alloc.h"

namespace {

std::vector<int> g_events;

int32_t on_event(qx_session *, uint16_t event, qx_finger *) {
  g_events.push_back(event);
  return 0;
}

int32_t hand_back(qx_session *, qx_enroll_island_report *, int32_t) { return 1; }

fpsynth::Image touch(const fpsynth::Master &master, uint64_t seed, double drow, double dcol) {
  fpsynth::ImpressionParams p;
  p.skin = fpsynth::Skin::Normal;
  p.max_rotation_deg = 5;
  p.centre_row = master.centre_row + drow;
  p.centre_col = master.centre_col + dcol;
  return fpsynth::make_impression(master, seed, p).image;
}

class EnrollPipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    live = qx_alloc_live();
    alg = square_xs_create(nullptr);
    ASSERT_NE(alg, nullptr);
    ASSERT_EQ(qx_algorithm_get_config(alg)->nbr_enroll_captures, 32);
    const qx_enroll_callbacks cb = {on_event, hand_back, nullptr, nullptr, nullptr};
    enroll = qx_multitemplate_enroll_create_algorithm(alg, nullptr, &cb, nullptr);
    ASSERT_NE(enroll, nullptr);
  }
  void TearDown() override {
    qx_multitemplate_enroll_delete(enroll);
    qx_algorithm_delete(alg);
    EXPECT_EQ(qx_alloc_live(), live);
  }
  int32_t run(const fpsynth::Image &im, uint8_t *progress) {
    qx_image *image = qx_image_create(im.rows, im.cols, 500, 500, im.pixels.data(), 0);
    g_events.clear();
    const int32_t rc = qx_multitemplate_enroll_run(enroll, image, progress);
    qx_image_delete(image);
    return rc;
  }
  long live = 0;
  qx_algorithm *alg = nullptr;
  qx_multitemplate_enroll *enroll = nullptr;
};

TEST_F(EnrollPipeline, SameTouchTwiceIsRefusedAndNeighboursJoinOneIsland) {
  const fpsynth::Master master = fpsynth::make_master(21);
  const fpsynth::Image first = touch(master, 5, 0, 0);
  uint8_t progress = 0;
  ASSERT_EQ(run(first, &progress), 0);
  EXPECT_EQ(g_events, std::vector<int>{0x200B});
  EXPECT_EQ(progress, 8);  // 7744 square pixels
  ASSERT_EQ(run(first, &progress), 0);
  EXPECT_EQ(g_events, (std::vector<int>{0x200B, 0xF001, 0x1007}));
  EXPECT_EQ(qx_multitemplate_enroll_get_nbr_of_captures(enroll), 1);
  EXPECT_EQ(progress, 8);
  // A touch half a window away overlaps the first: accepted into its island,
  // and the covered area grows.
  ASSERT_EQ(run(touch(master, 6, 0, 40), &progress), 0);
  EXPECT_EQ(g_events, std::vector<int>{0x200B});
  EXPECT_EQ(qx_multitemplate_enroll_get_nbr_of_captures(enroll), 2);
  EXPECT_GT(progress, 8);
  const qx_island_list *islands = qx_multitemplate_enroll_get_islands(enroll);
  EXPECT_EQ(qx_island_list_get_size(islands, 0), 2);
  // Finalize: one multi-template holding both captures.
  qx_template *mt = nullptr;
  ASSERT_EQ(qx_multitemplate_enroll_finalize_template_algorithm(alg, enroll, &mt), 0);
  qx_multitemplate *decoded = nullptr;
  ASSERT_EQ(qx_multitemplate_decode(mt, &decoded), 0);
  EXPECT_EQ(qx_multitemplate_get_nbr_of_instances(decoded), 2);
  qx_multitemplate_delete(decoded);
  qx_template_delete(mt);
}

}  // namespace
