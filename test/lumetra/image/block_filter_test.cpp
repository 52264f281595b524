// Block filtering frame: work size, grid, status codes, identity round
// trip and the cross-fading of overlapping blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "engine/image/block_filter.h"

namespace {

using Filter = int (*)(uint8_t *, const uint8_t *, int, int, int, void *, size_t, bal_fft_block_op_fn,
                       const void *);

// Block operation that replaces each block by a flat block of the next
// level in a list, by leaving only a DC term: the inverse of a DC value
// D is D / N^2 everywhere, and D = (L - 128) << 12 brings back L.
struct Painter {
  std::vector<uint8_t> levels;
  int calls = 0;
};

int paint(int32_t *re, int32_t *im, int n, void *, size_t, const void *data) {
  auto *p = static_cast<Painter *>(const_cast<void *>(data));
  const int h = n / 2 + 1;
  for (int i = 0; i < n * h; ++i) re[i] = im[i] = 0;
  re[0] = (static_cast<int32_t>(p->levels[p->calls % p->levels.size()]) - 128) * 4096;
  ++p->calls;
  return 0;
}

int fail_on_second(int32_t *, int32_t *, int, void *, size_t, const void *data) {
  auto *calls = static_cast<int *>(const_cast<void *>(data));
  return ++*calls == 2 ? 9 : 0;
}

std::vector<uint8_t> random_image(int rows, int cols, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> img(static_cast<size_t>(rows) * cols);
  for (auto &p : img) p = static_cast<uint8_t>(rng());
  return img;
}

TEST(BlockFilter, WorkSizeFollowsTheFormula) {
  EXPECT_EQ(bal_filter_fft_worksize(32), 11652u);
  EXPECT_EQ(bal_filter_fft_worksize(16), 3012u);
  EXPECT_EQ(bal_filter_fft_worksize(64), 45828u);
}

TEST(BlockFilter, GridStartsAndLastBlockAtTheEdge) {
  int starts[16], step = -1;
  ASSERT_EQ(bal_filter_block_starts(100, 32, 16, starts, 16, &step), 6);
  EXPECT_EQ(step, 14);
  const int expected[] = {0, 14, 28, 42, 56, 68};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(starts[i], expected[i]);
  EXPECT_EQ(bal_filter_block_starts(32, 32, 16, starts, 16, &step), 1);
  EXPECT_EQ(starts[0], 0);
  EXPECT_EQ(step, 0);
  // 88 pixels: (88 + 32 - 32 - 1) / 16 = 5 blocks, step (88 - 32 + 3) / 4 = 14.
  ASSERT_EQ(bal_filter_block_starts(88, 32, 16, starts, 16, &step), 5);
  EXPECT_EQ(step, 14);
  EXPECT_EQ(starts[4], 56);
}

TEST(BlockFilter, StatusCodes) {
  std::vector<uint8_t> in(40 * 40, 100), out(40 * 40);
  std::vector<uint8_t> work(bal_filter_fft_worksize(64));
  const size_t need32 = bal_filter_fft_worksize(32);
  EXPECT_EQ(bal_filter_fft32_blocks(out.data(), in.data(), 40, 40, 16, work.data(), need32 - 1, nullptr, nullptr), 1);
  EXPECT_EQ(bal_filter_fft32_blocks(out.data(), in.data(), 40, 40, 16, nullptr, need32, nullptr, nullptr), 1);
  // A small work area is reported before a small image.
  EXPECT_EQ(bal_filter_fft32_blocks(out.data(), in.data(), 31, 40, 16, work.data(), need32 - 1, nullptr, nullptr), 1);
  EXPECT_EQ(bal_filter_fft32_blocks(out.data(), in.data(), 31, 40, 16, work.data(), need32, nullptr, nullptr), 14);
  EXPECT_EQ(bal_filter_fft32_blocks(out.data(), in.data(), 40, 31, 16, work.data(), need32, nullptr, nullptr), 14);
  EXPECT_EQ(bal_filter_fft64_blocks(out.data(), in.data(), 40, 40, 16, work.data(), work.size(), nullptr, nullptr), 14);
  EXPECT_EQ(filter_fft_blocks(out.data(), in.data(), 40, 40, 16, work.data(), work.size(), 7, nullptr, nullptr,
                              nullptr, nullptr),
            14);
  int calls = 0;
  EXPECT_EQ(bal_filter_fft16_blocks(out.data(), in.data(), 40, 40, 8, work.data(), work.size(), fail_on_second, &calls), 9);
  EXPECT_EQ(calls, 2);
}

TEST(BlockFilter, WithoutABlockOperationTheImageComesBack) {
  // The inverse keeps 4, 2 and 0 fraction bits for N = 16, 32 and 64, so
  // the 64-point frame rounds a little more coarsely.
  const struct {
    Filter f;
    int tolerance;
    int bias_divisor;  // mean error below 1/bias_divisor grey level
  } filters[] = {{bal_filter_fft16_blocks, 1, 20}, {bal_filter_fft32_blocks, 1, 20}, {bal_filter_fft64_blocks, 2, 2}};
  const auto in = random_image(100, 130, 5);
  std::vector<uint8_t> work(bal_filter_fft_worksize(64) + 3);
  for (const auto &fl : filters) {
    for (int overlap : {0, 16, 40}) {
      std::vector<uint8_t> out(in.size(), 0);
      // An odd offset checks that the frame aligns its own work area.
      ASSERT_EQ(fl.f(out.data(), in.data(), 100, 130, overlap, work.data() + 1, work.size() - 1, nullptr, nullptr), 0);
      int worst = 0;
      long sum = 0;
      for (size_t i = 0; i < in.size(); ++i) {
        worst = std::max(worst, std::abs(int(out[i]) - int(in[i])));
        sum += int(out[i]) - int(in[i]);
      }
      EXPECT_LE(worst, fl.tolerance) << "overlap " << overlap;
      EXPECT_LT(std::labs(sum), static_cast<long>(in.size()) / fl.bias_divisor) << "biased, overlap " << overlap;
    }
  }
}

TEST(BlockFilter, ThirtyTwoSquareIsOneBlock) {
  std::vector<uint8_t> in(32 * 32, 9), out(32 * 32, 0), work(bal_filter_fft_worksize(32));
  Painter p{{201}};
  ASSERT_EQ(bal_filter_fft32_blocks(out.data(), in.data(), 32, 32, 16, work.data(), work.size(), paint, &p), 0);
  EXPECT_EQ(p.calls, 1);
  for (uint8_t v : out) ASSERT_EQ(v, 201);
}

TEST(BlockFilter, OverlapsFadeFromTheOldBlockToTheNew) {
  // 32 rows x 48 columns: two blocks at columns 0 and 16, the second
  // overlapping the first by 16 columns with weights ((c+1) * 3855) >> 8.
  std::vector<uint8_t> in(32 * 48, 0), out(32 * 48, 0), work(bal_filter_fft_worksize(32));
  Painter p{{40, 200}};
  ASSERT_EQ(bal_filter_fft32_blocks(out.data(), in.data(), 32, 48, 16, work.data(), work.size(), paint, &p), 0);
  EXPECT_EQ(p.calls, 2);
  for (int r = 0; r < 32; ++r) {
    EXPECT_EQ(out[r * 48 + 15], 40);
    EXPECT_EQ(out[r * 48 + 16], 49);  // w 15: 40 + floor((160 * 15 + 128) / 256)
    EXPECT_EQ(out[r * 48 + 31], 190); // w 240
    EXPECT_EQ(out[r * 48 + 32], 200);
    for (int c = 17; c < 32; ++c) EXPECT_GE(out[r * 48 + c], out[r * 48 + c - 1]);
  }
  // Fading toward a darker block rounds toward the old value from above.
  Painter q{{200, 40}};
  ASSERT_EQ(bal_filter_fft32_blocks(out.data(), in.data(), 32, 48, 16, work.data(), work.size(), paint, &q), 0);
  EXPECT_EQ(out[16], 191);  // 200 + floor((-160 * 15 + 128) / 256) = 200 - 9
}

TEST(BlockFilter, CornerOfFourBlocksUsesTheProductWeight) {
  // 48 x 48: four blocks; in the shared 16 x 16 corner the fourth block
  // weighs ((k+1) (c+1) K) >> 8 with K = (3855 * 3855) >> 16 = 226.
  std::vector<uint8_t> in(48 * 48, 0), out(48 * 48, 0), work(bal_filter_fft_worksize(32));
  Painter p{{0, 0, 0, 255}};
  ASSERT_EQ(bal_filter_fft32_blocks(out.data(), in.data(), 48, 48, 16, work.data(), work.size(), paint, &p), 0);
  EXPECT_EQ(out[16 * 48 + 16], 0);    // w = 226 >> 8 = 0
  EXPECT_EQ(out[31 * 48 + 31], 225);  // w = (256 * 226) >> 8 = 226: floor((255 * 226 + 128) / 256)
  EXPECT_EQ(out[40 * 48 + 40], 255);
  EXPECT_EQ(out[40 * 48 + 16], 15);   // column ramp only: w 15
}

TEST(BlockFilter, LastRowOfBlocksOverlapsMoreThanTheStep) {
  // rows = 100: the last block starts at 68, 20 rows after the fifth; the
  // first 18 of them are blended, the last 2 simply overwritten.
  std::vector<uint8_t> in(100 * 32, 0), out(100 * 32, 0), work(bal_filter_fft_worksize(32));
  Painter p{{10, 10, 10, 10, 10, 250}};
  ASSERT_EQ(bal_filter_fft32_blocks(out.data(), in.data(), 100, 32, 16, work.data(), work.size(), paint, &p), 0);
  EXPECT_EQ(p.calls, 6);
  EXPECT_EQ(out[67 * 32], 10);
  EXPECT_LT(out[85 * 32], 250);
  EXPECT_EQ(out[86 * 32], 250);
  EXPECT_EQ(out[99 * 32], 250);
}

}  // namespace
