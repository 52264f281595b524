// PNG through libpng: any bit depth and colour type becomes 8-bit grey.
//
// libpng reports errors by longjmp back to the setjmp in the function that
// called it, so every object with a destructor is made before setjmp and
// libpng's own structures are released on both paths.
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "imageio_internal.h"

namespace imageio {

namespace {

struct MemoryReader {
  const uint8_t *bytes;
  std::size_t size;
  std::size_t pos;
};

// The last error libpng reported, for the problem text.
struct ErrorText {
  char text[160];
};

void on_error(png_structp png, png_const_charp message) {
  auto *error = static_cast<ErrorText *>(png_get_error_ptr(png));
  std::snprintf(error->text, sizeof error->text, "%s", message);
  png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

void read_bytes(png_structp png, png_bytep out, png_size_t count) {
  auto *in = static_cast<MemoryReader *>(png_get_io_ptr(png));
  if (count > in->size - in->pos) png_error(png, "the file ends inside the image");
  std::memcpy(out, in->bytes + in->pos, count);
  in->pos += count;
}

}  // namespace

bool decode_png(const uint8_t *bytes, std::size_t size, GreyImage *image, std::string *problem) {
  *image = GreyImage();
  MemoryReader in{bytes, size, 0};
  ErrorText error{};
  std::vector<png_bytep> rows;
  std::string why;
  // 16-bit grey rows as read, and their samples (see grey16_to_8).
  std::vector<uint8_t> wide;
  std::vector<uint16_t> samples;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &error, on_error, on_warning);
  if (png == nullptr) return detail::refuse(image, problem, "out of memory");
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return detail::refuse(image, problem, "out of memory");
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return detail::refuse(image, problem, std::string("a damaged PNG file (") + error.text + ")");
  }
  // Limits before any pixel memory is taken: the image sides, and the
  // memory one ancillary chunk may claim.
  png_set_user_limits(png, kMaxSide, kMaxSide);
  png_set_chunk_malloc_max(png, 8u * 1024u * 1024u);
  png_set_read_fn(png, &in, read_bytes);
  png_read_info(png, info);

  png_uint_32 width = 0, height = 0;
  int depth = 0, colour = 0;
  png_get_IHDR(png, info, &width, &height, &depth, &colour, nullptr, nullptr, nullptr);
  if (!detail::size_acceptable(width, height, &why)) {
    png_destroy_read_struct(&png, &info, nullptr);
    return detail::refuse(image, problem, why);
  }
  // Everything to 8-bit grey: palettes expand to RGB, small grey depths
  // to 8 bits, 16 bits scale down, colour becomes luminance, alpha goes.
  if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colour == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  // 16-bit grey is scaled by the tools' own rule (its stated range);
  // 16-bit colour by libpng.
  const bool grey16 = depth == 16 && (colour & PNG_COLOR_MASK_COLOR) == 0;
  if (depth == 16 && !grey16) png_set_scale_16(png);
  if (colour & PNG_COLOR_MASK_ALPHA) png_set_strip_alpha(png);
  if ((colour & PNG_COLOR_MASK_COLOR) != 0)
    png_set_rgb_to_gray_fixed(png, 1, 29900, 58700);  // the luminance weights
  // Interlaced images are read whole (rows are passed over several times).
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (grey16) {
    if (png_get_rowbytes(png, info) != 2u * width || png_get_channels(png, info) != 1) {
      png_destroy_read_struct(&png, &info, nullptr);
      return detail::refuse(image, problem, "a PNG image that cannot be converted to 8-bit grey");
    }
    wide.resize(static_cast<std::size_t>(width) * height * 2);
    rows.resize(height);
    for (png_uint_32 r = 0; r < height; ++r) rows[r] = &wide[static_cast<std::size_t>(r) * width * 2];
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    samples.resize(static_cast<std::size_t>(width) * height);
    for (std::size_t i = 0; i < samples.size(); ++i)
      samples[i] = static_cast<uint16_t>(wide[2 * i] << 8 | wide[2 * i + 1]);  // big-endian
    png_color_8p significant = nullptr;
    unsigned stated_max = 0;
    if (png_get_sBIT(png, info, &significant) != 0 && significant != nullptr &&
        significant->gray >= 1 && significant->gray <= 16)
      stated_max = (1u << significant->gray) - 1;
    if (!detail::grey16_to_8(samples, stated_max, &image->pixels, &why)) {
      png_destroy_read_struct(&png, &info, nullptr);
      return detail::refuse(image, problem, why);
    }
  } else if (png_get_rowbytes(png, info) != width || png_get_channels(png, info) != 1) {
    png_destroy_read_struct(&png, &info, nullptr);
    return detail::refuse(image, problem, "a PNG image that cannot be converted to 8-bit grey");
  }
  if (!grey16) {
    image->pixels.resize(static_cast<std::size_t>(width) * height);
    rows.resize(height);
    for (png_uint_32 r = 0; r < height; ++r) rows[r] = &image->pixels[static_cast<std::size_t>(r) * width];
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
  }

  png_uint_32 res_x = 0, res_y = 0;
  int unit = 0;
  if (png_get_pHYs(png, info, &res_x, &res_y, &unit) != 0 && unit == PNG_RESOLUTION_METER) {
    image->dpi_x = detail::dpi_from_per_metre(res_x);
    image->dpi_y = detail::dpi_from_per_metre(res_y);
  }
  png_destroy_read_struct(&png, &info, nullptr);
  image->cols = static_cast<int>(width);
  image->rows = static_cast<int>(height);
  return true;
}

namespace {

void append_bytes(png_structp png, png_bytep data, png_size_t count) {
  auto *out = static_cast<std::vector<uint8_t> *>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + count);
}

void no_flush(png_structp) {}

// PNG bytes of rows x cols pixels of `channels` bytes each (1 grey, 3
// RGB), stating dpi_x / dpi_y when both are set; false with *problem set.
bool encode(const uint8_t *pixels, int rows, int cols, int channels, int dpi_x, int dpi_y,
            std::vector<uint8_t> *out, std::string *problem) {
  out->clear();
  ErrorText error{};
  std::vector<png_bytep> row_pointers(static_cast<std::size_t>(rows));
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, on_error, on_warning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (png == nullptr || info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    *problem = "out of memory";
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    out->clear();
    *problem = std::string("cannot encode the PNG image (") + error.text + ")";
    return false;
  }
  png_set_write_fn(png, out, append_bytes, no_flush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(cols), static_cast<png_uint_32>(rows), 8,
               channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (dpi_x > 0 && dpi_y > 0)
    png_set_pHYs(png, info, detail::per_metre_from_dpi(dpi_x), detail::per_metre_from_dpi(dpi_y),
                 PNG_RESOLUTION_METER);
  png_write_info(png, info);
  const std::size_t stride = static_cast<std::size_t>(cols) * channels;
  for (int r = 0; r < rows; ++r)
    row_pointers[static_cast<std::size_t>(r)] = const_cast<png_bytep>(pixels + r * stride);
  png_write_image(png, row_pointers.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

std::vector<uint8_t> encode_png(const GreyImage &image) {
  std::vector<uint8_t> out;
  std::string problem;
  if (!detail::writable(image, &problem) ||
      !encode(image.pixels.data(), image.rows, image.cols, 1, image.dpi_x, image.dpi_y, &out,
              &problem))
    out.clear();
  return out;
}

bool write_png(const std::string &path, const GreyImage &image, std::string *problem) {
  std::vector<uint8_t> bytes;
  return detail::writable(image, problem) &&
         encode(image.pixels.data(), image.rows, image.cols, 1, image.dpi_x, image.dpi_y, &bytes,
                problem) &&
         detail::write_bytes(path, bytes, problem);
}

bool encode_rgb_png(const RgbImage &image, std::vector<uint8_t> *bytes, std::string *problem) {
  bytes->clear();
  if (image.rows <= 0 || image.cols <= 0 || image.rows > kMaxSide || image.cols > kMaxSide ||
      image.rgb.size() != static_cast<std::size_t>(image.rows) * image.cols * 3) {
    *problem = "no image to write";
    return false;
  }
  return encode(image.rgb.data(), image.rows, image.cols, 3, 0, 0, bytes, problem);
}

bool write_rgb_png(const std::string &path, const RgbImage &image, std::string *problem) {
  std::vector<uint8_t> bytes;
  return encode_rgb_png(image, &bytes, problem) && detail::write_bytes(path, bytes, problem);
}

}  // namespace imageio
