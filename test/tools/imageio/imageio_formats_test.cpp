// The tools' image layer, format by format: what is written reads back the
// same (pixels, size, resolution) in every format, the bitmap bytes keep
// the layout the generator's sets have always had, and damaged or cut
// files are refused with a problem text and no image.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "imageio.h"

namespace {

using imageio::GreyImage;

std::vector<uint8_t> file_bytes(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

void put_bytes(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

uint32_t le32(const std::vector<uint8_t> &b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

struct TempDir {
  std::filesystem::path path;
  TempDir() {
    path = std::filesystem::temp_directory_path() /
           ("imageio_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(path);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string operator/(const std::string &name) const { return (path / name).string(); }
};

// An image whose every pixel differs from its neighbours, so that a row
// or column slip shows.
GreyImage gradient(int rows, int cols) {
  GreyImage im(rows, cols);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) im.at(r, c) = static_cast<uint8_t>((r * 37 + c * 11) & 0xFF);
  return im;
}

const char *const kExtensions[] = {".bmp", ".png", ".tif", ".tiff", ".pgm"};

TEST(ImageioRoundTrip, EveryFormatGivesBackPixelsSizeAndResolution) {
  TempDir dir;
  for (const char *ext : kExtensions) {
    // Odd widths exercise the bitmap's row padding.
    for (const auto &[rows, cols] : {std::pair{1, 1}, {3, 5}, {17, 30}, {88, 88}}) {
      GreyImage im = gradient(rows, cols);
      im.dpi_x = 500;
      im.dpi_y = 500;
      const std::string path = dir / (std::string("im") + ext);
      std::string problem;
      ASSERT_TRUE(imageio::write_file(path, im, &problem)) << ext << ": " << problem;
      GreyImage back;
      ASSERT_TRUE(imageio::read_file(path, &back, &problem)) << ext << ": " << problem;
      EXPECT_EQ(back.rows, rows) << ext;
      EXPECT_EQ(back.cols, cols) << ext;
      EXPECT_EQ(back.pixels, im.pixels) << ext;
      if (std::string(ext) != ".pgm") {  // PGM holds no resolution
        EXPECT_EQ(back.dpi_x, 500) << ext;
        EXPECT_EQ(back.dpi_y, 500) << ext;
      } else {
        EXPECT_EQ(back.dpi_x, 0);
      }
    }
  }
}

TEST(ImageioRoundTrip, ResolutionOtherThanTheLibrarysIsKeptAndNoneIsStatedAsSuch) {
  TempDir dir;
  GreyImage im = gradient(8, 9);
  im.dpi_x = 1000;
  im.dpi_y = 700;
  std::string problem;
  for (const char *ext : {".bmp", ".png", ".tif"}) {
    const std::string path = dir / (std::string("dpi") + ext);
    ASSERT_TRUE(imageio::write_file(path, im, &problem)) << problem;
    GreyImage back;
    ASSERT_TRUE(imageio::read_file(path, &back, &problem)) << problem;
    EXPECT_EQ(back.dpi_x, 1000) << ext;
    EXPECT_EQ(back.dpi_y, 700) << ext;
  }
  // An image that states no resolution: PNG and TIFF state none, a bitmap
  // states the library's 500 dpi (as every bitmap of the tools does).
  im.dpi_x = im.dpi_y = 0;
  for (const char *ext : {".png", ".tif"}) {
    const std::string path = dir / (std::string("none") + ext);
    ASSERT_TRUE(imageio::write_file(path, im, &problem)) << problem;
    GreyImage back;
    ASSERT_TRUE(imageio::read_file(path, &back, &problem)) << problem;
    EXPECT_EQ(back.dpi_x, 0) << ext;
  }
  const std::vector<uint8_t> bmp = imageio::encode_bmp(im);
  EXPECT_EQ(le32(bmp, 38), 19685u);
  EXPECT_EQ(le32(bmp, 42), 19685u);
}

TEST(ImageioBitmap, LayoutIsTheGeneratorsEightBitBottomUpGreyBitmap) {
  GreyImage im = gradient(3, 5);
  const std::vector<uint8_t> b = imageio::encode_bmp(im);
  ASSERT_EQ(b.size(), 1078u + 3 * 8);  // rows padded to 8 bytes
  EXPECT_EQ(std::string(b.begin(), b.begin() + 2), "BM");
  EXPECT_EQ(le32(b, 2), b.size());
  EXPECT_EQ(le32(b, 10), 1078u);
  EXPECT_EQ(le32(b, 14), 40u);
  EXPECT_EQ(le32(b, 18), 5u);
  EXPECT_EQ(le32(b, 22), 3u);  // positive height: bottom-up
  EXPECT_EQ(b[26], 1);         // planes
  EXPECT_EQ(b[28], 8);
  EXPECT_EQ(le32(b, 30), 0u);
  EXPECT_EQ(le32(b, 34), 24u);
  EXPECT_EQ(le32(b, 46), 256u);
  EXPECT_EQ(le32(b, 50), 256u);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(b[54 + 4 * i], i);
    EXPECT_EQ(b[54 + 4 * i + 2], i);
    EXPECT_EQ(b[54 + 4 * i + 3], 0);
  }
  // The first stored row is the image's last.
  EXPECT_EQ(b[1078], im.at(2, 0));
  EXPECT_EQ(b[1078 + 4], im.at(2, 4));
  EXPECT_EQ(b[1078 + 5], 0);
  EXPECT_EQ(b[1078 + 16], im.at(0, 0));
}

TEST(ImageioPng, GreyAndColourPicturesAreWrittenThroughLibpng) {
  TempDir dir;
  const GreyImage im = gradient(4, 6);
  const std::vector<uint8_t> bytes = imageio::encode_png(im);
  ASSERT_GT(bytes.size(), 8u);
  EXPECT_EQ(imageio::sniff(bytes.data(), bytes.size()), imageio::Format::Png);
  GreyImage back;
  std::string problem;
  ASSERT_TRUE(imageio::decode_png(bytes.data(), bytes.size(), &back, &problem)) << problem;
  EXPECT_EQ(back.pixels, im.pixels);

  // A colour picture reads back as its luminance.
  imageio::RgbImage rgb;
  rgb.rows = 2;
  rgb.cols = 2;
  rgb.rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255, 200, 200, 200};
  ASSERT_TRUE(imageio::write_rgb_png(dir / "rgb.png", rgb, &problem)) << problem;
  ASSERT_TRUE(imageio::read_file(dir / "rgb.png", &back, &problem)) << problem;
  ASSERT_EQ(back.pixels.size(), 4u);
  EXPECT_NEAR(back.pixels[0], 76, 1);   // 0.299 * 255
  EXPECT_NEAR(back.pixels[1], 150, 1);  // 0.587 * 255
  EXPECT_NEAR(back.pixels[2], 29, 1);   // 0.114 * 255
  EXPECT_EQ(back.pixels[3], 200);

  rgb.rgb.pop_back();
  EXPECT_FALSE(imageio::write_rgb_png(dir / "short.png", rgb, &problem));
  EXPECT_FALSE(std::filesystem::exists(dir / "short.png"));
}

TEST(ImageioWrite, RefusesWhatIsNoImageAndNamesItCannotWrite) {
  TempDir dir;
  std::string problem;
  GreyImage broken(4, 4);
  broken.pixels.resize(15);
  for (const char *ext : kExtensions) {
    EXPECT_FALSE(imageio::write_file(dir / (std::string("x") + ext), GreyImage(), &problem)) << ext;
    EXPECT_EQ(problem, "no image to write");
    EXPECT_FALSE(imageio::write_file(dir / (std::string("y") + ext), broken, &problem)) << ext;
    EXPECT_FALSE(std::filesystem::exists(dir / (std::string("y") + ext)));
  }
  EXPECT_FALSE(imageio::write_file(dir / "im.jpg", gradient(2, 2), &problem));
  EXPECT_NE(problem.find(".png"), std::string::npos);
  // Upper-case endings choose the format as lower-case ones do.
  ASSERT_TRUE(imageio::write_file(dir / "IM.PNG", gradient(2, 2), &problem)) << problem;
  const std::vector<uint8_t> png = file_bytes(dir / "IM.PNG");
  EXPECT_EQ(imageio::sniff(png.data(), png.size()), imageio::Format::Png);
  // A folder that does not exist: a problem, no file.
  EXPECT_FALSE(imageio::write_file(dir / "no/such.bmp", gradient(2, 2), &problem));
  EXPECT_EQ(problem.rfind("cannot write", 0), 0u);
}

// Every prefix of a good file of each format is refused, or (for formats
// that can end early by design) read whole and consistent: never a crash,
// never an image with a problem text.
TEST(ImageioDamage, TruncatedFilesOfEveryFormatAreRefusedCleanly) {
  TempDir dir;
  const GreyImage im = gradient(12, 13);
  for (const char *ext : {".bmp", ".png", ".tif", ".pgm"}) {
    const std::string path = dir / (std::string("good") + ext);
    std::string problem;
    ASSERT_TRUE(imageio::write_file(path, im, &problem)) << problem;
    const std::vector<uint8_t> good = file_bytes(path);
    int refused = 0;
    for (size_t cut = 0; cut < good.size(); cut += (cut < 64 ? 1 : 7)) {
      GreyImage out;
      std::string why;
      if (imageio::decode(good.data(), cut, &out, &why)) {
        EXPECT_TRUE(why.empty());
        EXPECT_EQ(out.pixels.size(), static_cast<size_t>(out.rows) * out.cols);
      } else {
        ++refused;
        EXPECT_FALSE(why.empty()) << ext << " cut at " << cut;
        EXPECT_TRUE(out.pixels.empty());
        EXPECT_EQ(out.rows, 0);
      }
    }
    EXPECT_GT(refused, 0) << ext;
    // Cut inside the pixels: no format may hand out an image then.
    GreyImage out;
    std::string why;
    EXPECT_FALSE(imageio::decode(good.data(), good.size() - good.size() / 4, &out, &why))
        << ext;
  }
}

TEST(ImageioDamage, DamagedHeadersAreRefusedWithAReason) {
  std::vector<uint8_t> bmp = imageio::encode_bmp(gradient(4, 4));
  GreyImage out;
  std::string why;
  auto refused = [&](const std::vector<uint8_t> &bytes) {
    return !imageio::decode(bytes.data(), bytes.size(), &out, &why) && !why.empty() &&
           out.pixels.empty();
  };
  std::vector<uint8_t> b = bmp;
  b[28] = 24;  // 24-bit: the bitmap reader takes 8-bit only
  EXPECT_TRUE(refused(b));
  EXPECT_NE(why.find("24-bit"), std::string::npos);
  b = bmp;
  b[30] = 1;  // compressed
  EXPECT_TRUE(refused(b));
  EXPECT_NE(why.find("compressed"), std::string::npos);
  b = bmp;
  b[10] = b[11] = 0xFF;  // pixel data beyond the file
  EXPECT_TRUE(refused(b));
  b = bmp;
  b[22] = b[23] = b[25] = 0xFF;  // a height far beyond the file
  b[24] = 0x00;
  EXPECT_TRUE(refused(b));

  // A PNG whose image data is damaged (its checksum then fails).
  std::vector<uint8_t> png = imageio::encode_png(gradient(9, 9));
  png[png.size() - 20] ^= 0x55;
  EXPECT_TRUE(refused(png));
  // A PGM that promises more pixels than it has.
  const std::string pgm = "P5\n100 100\n255\n" + std::string(50, 'x');
  EXPECT_TRUE(refused(std::vector<uint8_t>(pgm.begin(), pgm.end())));
  // Not an image at all, and nothing.
  const std::string text = "hello, this is no image";
  EXPECT_TRUE(refused(std::vector<uint8_t>(text.begin(), text.end())));
  EXPECT_EQ(why, "not a BMP, PNG, TIFF or PGM image");
  EXPECT_TRUE(refused({}));
  EXPECT_EQ(why, "an empty file");
}

TEST(ImageioRead, FilesThatCannotBeReadSayWhy) {
  TempDir dir;
  GreyImage out;
  std::string why;
  EXPECT_FALSE(imageio::read_file(dir / "missing.bmp", &out, &why));
  EXPECT_EQ(why.rfind("cannot open", 0), 0u);
  EXPECT_FALSE(imageio::read_file(dir.path.string(), &out, &why));  // a folder
  EXPECT_FALSE(why.empty());
  put_bytes(dir / "empty.png", {});
  EXPECT_FALSE(imageio::read_file(dir / "empty.png", &out, &why));
  EXPECT_EQ(why, "an empty file");
  // The format comes from the bytes, not the name.
  put_bytes(dir / "really_a_bitmap.png", imageio::encode_bmp(gradient(5, 6)));
  ASSERT_TRUE(imageio::read_file(dir / "really_a_bitmap.png", &out, &why)) << why;
  EXPECT_EQ(out.pixels, gradient(5, 6).pixels);
}

}  // namespace

namespace {

TEST(ImageioNumberedBitmaps, ReadsTheNumberedCapturesOfAFolderInNameOrder) {
  TempDir dir;
  std::string problem;
  ASSERT_TRUE(imageio::write_file(dir / "12_3.bmp", gradient(4, 5), &problem)) << problem;
  ASSERT_TRUE(imageio::write_file(dir / "101_1.bmp", gradient(6, 7), &problem)) << problem;
  ASSERT_TRUE(imageio::write_file(dir / "101_2.png", gradient(6, 7), &problem)) << problem;  // not .bmp
  ASSERT_TRUE(imageio::write_file(dir / "sheet.bmp", gradient(2, 2), &problem)) << problem;  // not numbered
  put_bytes(dir / "7_1.bmp", {'B', 'M', 0, 0});                                             // damaged
  std::vector<imageio::NumberedImage> images;
  std::vector<std::string> skipped;
  ASSERT_TRUE(imageio::read_numbered_bitmaps(dir.path.string(), &images, &skipped));
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[0].name, "101_1.bmp");
  EXPECT_EQ(images[0].finger, 101);
  EXPECT_EQ(images[0].impression, 1);
  EXPECT_EQ(images[0].image.pixels, gradient(6, 7).pixels);
  EXPECT_EQ(images[1].name, "12_3.bmp");
  EXPECT_EQ(images[1].finger, 12);
  EXPECT_EQ(images[1].impression, 3);
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_EQ(skipped[0].rfind("7_1.bmp: ", 0), 0u);
  EXPECT_FALSE(imageio::read_numbered_bitmaps(dir / "missing", &images));
  EXPECT_TRUE(images.empty());
}

}  // namespace
