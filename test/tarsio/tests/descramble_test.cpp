// The driver's image scrambling and its undoing: the textual version gate,
// the position rule with both square roots (and where they disagree), the
// key, the round trip, and the list rebuilt for an image of another size.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "tests/descramble.h"

namespace tarsio::tests {
namespace {

using ::testing::ElementsAre;

TEST(Descramble, VersionGateIsTextOrder) {
  EXPECT_TRUE(descramble_selected(1, "1.0.1.40"));
  EXPECT_FALSE(descramble_selected(1, "1.0.1.41"));
  EXPECT_FALSE(descramble_selected(1, "1.0.1.5"));   // sorts after "1.0.1.41"
  EXPECT_TRUE(descramble_selected(1, "1.0.1.100"));  // sorts before it
  EXPECT_TRUE(descramble_selected(1, ""));
  EXPECT_FALSE(descramble_selected(1, "1.0.1.41,1.0.1.50"));
  EXPECT_TRUE(descramble_selected(2, "1.0.1.12"));
  EXPECT_FALSE(descramble_selected(2, "1.0.1.13"));
  EXPECT_FALSE(descramble_selected(3, "0.0.0.1"));
  EXPECT_FALSE(descramble_selected(0, "0.0.0.1"));
}

TEST(Descramble, RootMethodBySpiVersion) {
  EXPECT_EQ(root_method(1, "1.0.0.20"), RootMethod::kLibrary);
  EXPECT_EQ(root_method(2, "1.0.0.12"), RootMethod::kLibrary);
  EXPECT_EQ(root_method(2, "1.0.0.13"), RootMethod::kFastInverse);
  EXPECT_EQ(root_method(2, "1.0.1.12"), RootMethod::kFastInverse);
}

TEST(Descramble, PositionRuleAndTheTwoRoots) {
  const auto library = build_position_list(30, RootMethod::kLibrary);
  // 4, 9 and 25 have no divisor strictly below their root.
  EXPECT_THAT(library, ElementsAre(6, 8, 10, 12, 14, 15, 16, 18, 20, 21, 22, 24, 26, 27, 28));
  EXPECT_THAT(build_position_list(30, RootMethod::kFastInverse),
              ElementsAre(4, 6, 8, 9, 10, 12, 14, 15, 16, 18, 20, 21, 22, 24, 25, 26, 27, 28));

  // The fast root lands a little above the root of some squares: the lists
  // differ exactly at such squares.
  const auto a = build_position_list(25600, RootMethod::kLibrary);
  const auto b = build_position_list(25600, RootMethod::kFastInverse);
  std::vector<uint16_t> only_fast;
  std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(only_fast));
  EXPECT_TRUE(std::includes(b.begin(), b.end(), a.begin(), a.end()));
  EXPECT_THAT(only_fast, ElementsAre(4, 9, 25, 121, 361, 3721, 9409, 10609, 22201, 24649));
  for (uint16_t j : only_fast) {
    const auto r = static_cast<uint32_t>(std::lround(std::sqrt(j)));
    EXPECT_EQ(r * r, j);
  }
  EXPECT_NEAR(position_root(10000, RootMethod::kFastInverse), 100.0, 1e-3);
}

TEST(Descramble, KeyIsTheNibbleReversedSumOrTheFallback) {
  std::vector<uint8_t> image(96 * 96, 0);
  image[kKeyPositions[0]] = 255;
  image[kKeyPositions[1]] = 255;
  image[kKeyPositions[2]] = 255;  // sum 0x2FD
  EXPECT_EQ(scramble_key(image.data(), image.size()), 0xDF20);
  image[kKeyPositions[2]] = 250;  // sum 0x2F8
  EXPECT_EQ(scramble_key(image.data(), image.size()), 0x8F20);
  image[kKeyPositions[2]] = 2;  // sum 0x200: reversed 0x0020, below the threshold
  EXPECT_EQ(scramble_key(image.data(), image.size()), kKeyFallback);
  // Positions beyond a small image count as 0.
  EXPECT_EQ(scramble_key(image.data(), 2000), scramble_key(image.data(), 1031));
}

std::vector<uint8_t> ridges(int width, int height) {
  std::vector<uint8_t> image(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      image[static_cast<std::size_t>(y) * width + x] =
          static_cast<uint8_t>(128 + 100 * std::sin(std::hypot(x - width / 2.0, y - height / 2.0) / 1.5));
  return image;
}

TEST(Descramble, ScramblingTwiceGivesTheImageBack) {
  for (RootMethod method : {RootMethod::kLibrary, RootMethod::kFastInverse}) {
    const std::vector<uint8_t> original = ridges(96, 96);
    std::vector<uint8_t> image = original;
    const auto positions = build_position_list(image.size(), method);
    int pauses = 0;
    static int* counter;
    counter = &pauses;
    apply_scramble(image.data(), image.size(), positions, [] { ++*counter; });
    EXPECT_EQ(pauses, 1);
    std::size_t changed = 0;
    for (std::size_t i = 0; i < image.size(); ++i) changed += image[i] != original[i];
    EXPECT_GT(changed, image.size() / 2);
    for (uint32_t p : kKeyPositions) EXPECT_EQ(image[p], original[p]);
    // Primes are never touched.
    EXPECT_EQ(image[97], original[97]);
    apply_scramble(image.data(), image.size(), positions);
    EXPECT_EQ(image, original);
  }
}

TEST(Descramble, ListEntriesBeyondTheImageAreSkipped) {
  // A list built for a larger image leaves a smaller one intact outside it
  // and never writes past its end.
  std::vector<uint8_t> image = ridges(10, 10);
  const std::vector<uint8_t> original = image;
  apply_scramble(image.data(), image.size(), build_position_list(25600, RootMethod::kLibrary));
  apply_scramble(image.data(), image.size(), build_position_list(25600, RootMethod::kLibrary));
  EXPECT_EQ(image, original);
  apply_scramble(nullptr, 100, build_position_list(100, RootMethod::kLibrary));
}

TEST(Descramble, CacheRebuildsForAnotherSizeOrMethod) {
  PositionListCache cache;
  EXPECT_EQ(cache.get(96 * 96, RootMethod::kLibrary).size(), build_position_list(96 * 96, RootMethod::kLibrary).size());
  cache.get(96 * 96, RootMethod::kLibrary);
  EXPECT_EQ(cache.builds(), 1u);
  EXPECT_EQ(cache.get(160 * 160, RootMethod::kLibrary).back(), build_position_list(25600, RootMethod::kLibrary).back());
  EXPECT_EQ(cache.builds(), 2u);
  cache.get(160 * 160, RootMethod::kFastInverse);
  EXPECT_EQ(cache.builds(), 3u);
}

}  // namespace
}  // namespace tarsio::tests
