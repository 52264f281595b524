// The tools' one window cutter and print-centre rule: windows inside,
// across and outside the image, the centre of the dark pixels, and the
// centred window every evaluation and training tool cuts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imageio.h"

namespace {

using imageio::GreyImage;

GreyImage numbered(int rows, int cols) {
  GreyImage im(rows, cols);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) im.at(r, c) = static_cast<uint8_t>(r * 16 + c);
  return im;
}

// A white image with a dark rectangle (the "print") at rows r0..r1-1,
// columns c0..c1-1.
GreyImage print_at(int rows, int cols, int r0, int r1, int c0, int c1) {
  GreyImage im(rows, cols, 255);
  for (int r = r0; r < r1; ++r)
    for (int c = c0; c < c1; ++c) im.at(r, c) = 40;
  return im;
}

TEST(ImageioWindow, InsideTheImageCopiesThePixelsAndKeepsTheResolution) {
  GreyImage im = numbered(8, 10);
  im.dpi_x = im.dpi_y = 500;
  const GreyImage w = imageio::window(im, 2, 3, 4, 5);
  ASSERT_EQ(w.rows, 4);
  ASSERT_EQ(w.cols, 5);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 5; ++c) EXPECT_EQ(w.at(r, c), im.at(2 + r, 3 + c));
  EXPECT_EQ(w.dpi_x, 500);
  // The whole image is its own window.
  EXPECT_EQ(imageio::window(im, 0, 0, 8, 10).pixels, im.pixels);
}

TEST(ImageioWindow, WhatLiesOutsideTheImageIsWhite) {
  const GreyImage im = numbered(4, 4);
  // Across the top-left corner.
  GreyImage w = imageio::window(im, -1, -2, 3, 4);
  ASSERT_EQ(w.pixels.size(), 12u);
  EXPECT_EQ(w.at(0, 0), 255);
  EXPECT_EQ(w.at(0, 3), 255);
  EXPECT_EQ(w.at(1, 1), 255);
  EXPECT_EQ(w.at(1, 2), im.at(0, 0));
  EXPECT_EQ(w.at(2, 3), im.at(1, 1));
  // Across the bottom-right corner, and larger than the image.
  w = imageio::window(im, 2, 2, 6, 6);
  EXPECT_EQ(w.at(0, 0), im.at(2, 2));
  EXPECT_EQ(w.at(1, 1), im.at(3, 3));
  EXPECT_EQ(w.at(1, 2), 255);
  EXPECT_EQ(w.at(2, 0), 255);
  // Wholly outside, and of no size.
  w = imageio::window(im, 10, -10, 2, 2);
  EXPECT_EQ(w.pixels, std::vector<uint8_t>(4, 255));
  EXPECT_TRUE(imageio::window(im, 0, 0, 0, 3).pixels.empty());
  EXPECT_TRUE(imageio::window(im, 0, 0, -2, 3).pixels.empty());
  EXPECT_EQ(imageio::window(GreyImage(), 0, 0, 2, 2).pixels, std::vector<uint8_t>(4, 255));
}

TEST(ImageioPrintCentre, IsTheMeanPositionOfTheDarkPixels) {
  int row = -1, col = -1;
  imageio::print_centre(print_at(100, 80, 10, 20, 50, 70), &row, &col);
  EXPECT_EQ(row, 14);  // mean of 10..19, truncated
  EXPECT_EQ(col, 59);  // mean of 50..69, truncated
  // Grey level 128 is not dark; 127 is.
  GreyImage im(10, 10, 128);
  im.at(2, 3) = 127;
  imageio::print_centre(im, &row, &col);
  EXPECT_EQ(row, 2);
  EXPECT_EQ(col, 3);
  // No dark pixel: the image centre.
  imageio::print_centre(GreyImage(31, 20, 200), &row, &col);
  EXPECT_EQ(row, 15);
  EXPECT_EQ(col, 10);
}

TEST(ImageioWindowOrigin, KeepsTheWindowInsideTheImage) {
  const GreyImage im(100, 60);
  int top = -1, left = -1;
  imageio::window_origin(im, 50, 30, 20, 10, &top, &left);
  EXPECT_EQ(top, 40);
  EXPECT_EQ(left, 25);
  imageio::window_origin(im, 3, 2, 20, 10, &top, &left);
  EXPECT_EQ(top, 0);
  EXPECT_EQ(left, 0);
  imageio::window_origin(im, 99, 59, 20, 10, &top, &left);
  EXPECT_EQ(top, 80);
  EXPECT_EQ(left, 50);
  // A window larger than the image starts at its corner.
  imageio::window_origin(im, 50, 30, 200, 70, &top, &left);
  EXPECT_EQ(top, 0);
  EXPECT_EQ(left, 0);
}

TEST(ImageioCentredWindow, IsCutAroundThePrintAndNeverLargerThanTheImage) {
  const GreyImage im = print_at(200, 150, 120, 160, 20, 60);  // centre (139, 39)
  GreyImage w = imageio::centred_window(im, 88, 88);
  ASSERT_EQ(w.rows, 88);
  ASSERT_EQ(w.cols, 88);
  // Rows from 139 - 44 = 95; columns clamped to 0 (39 - 44 < 0).
  EXPECT_EQ(w.pixels, imageio::window(im, 95, 0, 88, 88).pixels);
  // The print lies wholly inside the window.
  int dark = 0;
  for (uint8_t v : w.pixels) dark += v < 128;
  EXPECT_EQ(dark, 40 * 40);
  // Near the far edge the window is pushed back inside.
  w = imageio::centred_window(print_at(200, 150, 190, 200, 140, 150), 88, 88);
  EXPECT_EQ(w.pixels, imageio::window(print_at(200, 150, 190, 200, 140, 150), 112, 62, 88, 88).pixels);
  // A capture smaller than the window is used whole on that side.
  const GreyImage small = numbered(10, 12);
  w = imageio::centred_window(small, 88, 6);
  EXPECT_EQ(w.rows, 10);
  EXPECT_EQ(w.cols, 6);
}

}  // namespace
