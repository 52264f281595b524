// The bitmap and image exports at their edges: the bounded conversion,
// files that are not regular files, and sensor geometries beyond the
// ceiling.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "api/state.h"
#include "lumetra.h"
#include "lumetra/api/api_fixture.h"
#include "lumetra/support/bmp_builder.h"

namespace {

using lumetra::test::BmpSpec;
using lumetra::test::make_bmp;
using lumetra::test::ramp_pixels;
using lumetra::test::temp_path;
using lumetra::test::write_file;

class BitmapEdges : public apitest::ApiState {
 protected:
  void TearDown() override {
    for (const std::string &p : paths_) std::remove(p.c_str());
    ApiState::TearDown();
  }
  std::string bitmap(const std::string &name, int width, int height) {
    const std::string path = temp_path(name);
    write_file(path, make_bmp({width, height}, ramp_pixels(width, height)));
    paths_.push_back(path);
    return path;
  }
  // A FIFO nobody writes to: opening it for reading would wait for ever.
  std::string fifo(const std::string &name) {
    const std::string path = temp_path(name);
    std::remove(path.c_str());
    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
    paths_.push_back(path);
    return path;
  }
  std::vector<std::string> paths_;
};

TEST_F(BitmapEdges, TheBoundedConversionWritesOnlyIntoABufferThatHoldsTheImage) {
  const std::string path = bitmap("n.bmp", 30, 20);
  const std::vector<uint8_t> expected = ramp_pixels(30, 20);
  const size_t n = expected.size();
  std::vector<uint8_t> buffer(n + 16, 0xA5);
  unsigned w = 7, h = 7;

  // Smaller: nothing written, the size needed reported.
  EXPECT_EQ(get_bmp_buff_n(path.c_str(), buffer.data(), n - 1, &w, &h), 1);
  EXPECT_EQ(w, 30u);
  EXPECT_EQ(h, 20u);
  for (uint8_t b : buffer) ASSERT_EQ(b, 0xA5);
  // Asking for the size only.
  w = h = 7;
  EXPECT_EQ(get_bmp_buff_n(path.c_str(), nullptr, 0, &w, &h), 1);
  EXPECT_EQ(w * h, n);

  // Equal: exactly the image.
  EXPECT_EQ(get_bmp_buff_n(path.c_str(), buffer.data(), n, &w, &h), 0);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));
  EXPECT_EQ(buffer[n], 0xA5);

  // Larger: the image, and nothing past it.
  std::fill(buffer.begin(), buffer.end(), 0xA5);
  EXPECT_EQ(get_bmp_buff_n(path.c_str(), buffer.data(), buffer.size(), &w, &h), 0);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));
  for (size_t i = n; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xA5);

  // Not a bitmap: -1 with 0 x 0; NULL size pointers: nothing written.
  EXPECT_EQ(get_bmp_buff_n("/nonexistent/x.bmp", buffer.data(), buffer.size(), &w, &h), -1);
  EXPECT_EQ(w, 0u);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(get_bmp_buff_n(nullptr, buffer.data(), buffer.size(), &w, &h), -1);
  w = 9;
  EXPECT_EQ(get_bmp_buff_n(path.c_str(), buffer.data(), buffer.size(), &w, nullptr), -1);
  EXPECT_EQ(get_bmp_buff_n(path.c_str(), buffer.data(), buffer.size(), nullptr, &h), -1);
  EXPECT_EQ(w, 9u);
}

TEST_F(BitmapEdges, TheUnboundedConversionRefusesNullPointersAndHugeBitmaps) {
  const std::string path = bitmap("u.bmp", 12, 4);
  std::vector<uint8_t> buffer(64, 0);
  unsigned w = 5, h = 5;
  EXPECT_EQ(get_bmp_buff(path.c_str(), buffer.data(), nullptr, &h), -1);
  EXPECT_EQ(get_bmp_buff(path.c_str(), buffer.data(), &w, nullptr), -1);
  EXPECT_EQ(w, 5u);
  EXPECT_EQ(h, 5u);
  EXPECT_EQ(get_bmp_buff(path.c_str(), nullptr, &w, &h), -1);
  EXPECT_EQ(w, 0u);
  EXPECT_EQ(get_bmp_buff(nullptr, buffer.data(), &w, &h), -1);
  EXPECT_EQ(get_bmp_buff(path.c_str(), buffer.data(), &w, &h), 0);
  EXPECT_EQ(w * h, 48u);
  // One side beyond the ceiling: no sensor image, refused by both forms.
  const std::string wide = bitmap("wide.bmp", LUMETRA_MAX_SENSOR_SIDE + 1, 1);
  std::vector<uint8_t> big(LUMETRA_MAX_SENSOR_SIDE + 8, 0);
  EXPECT_EQ(get_bmp_buff(wide.c_str(), big.data(), &w, &h), -1);
  EXPECT_EQ(w, 0u);
  EXPECT_EQ(get_bmp_buff_n(wide.c_str(), big.data(), big.size(), &w, &h), -1);
  const std::string edge = bitmap("edge.bmp", LUMETRA_MAX_SENSOR_SIDE, 1);
  EXPECT_EQ(get_bmp_buff_n(edge.c_str(), big.data(), big.size(), &w, &h), 0);
}

// Each of these blocked for ever on a FIFO without a writer.
TEST_F(BitmapEdges, AFifoOrADirectoryIsRefusedAtOnce) {
  ASSERT_EQ(init_nerio_algorithm(), 0);
  const std::string path = fifo("fifo.bmp");
  const std::string good = bitmap("good.bmp", 88, 88);
  std::vector<uint8_t> buffer(88 * 88);
  unsigned w = 1, h = 1;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(get_bmp_buff(path.c_str(), buffer.data(), &w, &h), -1);
  EXPECT_EQ(get_bmp_buff_n(path.c_str(), buffer.data(), buffer.size(), &w, &h), -1);
  EXPECT_EQ(nerio_get_image_quality(path.c_str()), 1);
  EXPECT_EQ(nerio_get_score_from_two_image_compare(path.c_str(), good.c_str()), 1);
  EXPECT_EQ(nerio_get_score_from_two_image_compare(good.c_str(), path.c_str()), 1);
  const char *dir = "/tmp";
  EXPECT_EQ(nerio_get_image_quality(dir), 1);
  EXPECT_EQ(get_bmp_buff_n(dir, buffer.data(), buffer.size(), &w, &h), -1);
  EXPECT_EQ(nerio_get_image_quality("/dev/zero"), 1);
  // Refused on sight, not after a wait (a generous bound for loaded machines).
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // The regular file beside it still reads.
  EXPECT_EQ(get_bmp_buff_n(good.c_str(), buffer.data(), buffer.size(), &w, &h), 0);
}

// 16384 x 16384 took 25 s and 5 GB in the enhancement; every image export
// now refuses a side beyond the ceiling before it allocates anything.
TEST_F(BitmapEdges, ASensorBeyondTheCeilingIsRefusedByEveryImageExport) {
  std::vector<uint8_t> pixels(64, 128);
  fp_image_quality_t q{1, 2, 3};
  for (const auto &[cols, rows] : {std::pair{16384, 16384}, std::pair{LUMETRA_MAX_SENSOR_SIDE + 1, 88},
                                   std::pair{88, LUMETRA_MAX_SENSOR_SIDE + 1}}) {
    set_fp_sensor_col_row(cols, rows);
    EXPECT_EQ(nerio_qx_ImageEnhance(pixels.data(), 8, 8), -1);
    EXPECT_EQ(get_fp_image_quality(pixels.data(), &q), -1);
    EXPECT_EQ(nerio_get_image_quality(bitmap("any.bmp", 8, 8).c_str()), 1);
    EXPECT_EQ(init_nerio_algorithm(), -1);
  }
  EXPECT_EQ(q.image_quality, 0);
  // The geometry itself is stored as given.
  int c = 0, r = 0;
  get_fp_sensor_col_row(&c, &r);
  EXPECT_EQ(c, 88);
  EXPECT_EQ(r, LUMETRA_MAX_SENSOR_SIDE + 1);
}

}  // namespace
