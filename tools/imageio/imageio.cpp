// imageio: format recognition, whole-file reading, the bitmap reader (the
// library's own conversion, through its tools' header) and the choice of
// writer.
#include "imageio.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "api/lumetra_tools.h"
#include "engine/qx_rc.h"
#include "imageio_internal.h"

namespace imageio {

namespace detail {

bool size_acceptable(uint64_t width, uint64_t height, std::string *problem) {
  if (width == 0 || height == 0) {
    *problem = "the image has no pixels";
    return false;
  }
  if (width > static_cast<uint64_t>(kMaxSide) || height > static_cast<uint64_t>(kMaxSide) ||
      width * height > kMaxPixels) {
    *problem = "the image is too large (" + std::to_string(width) + " x " +
               std::to_string(height) + " pixels)";
    return false;
  }
  return true;
}

int dpi_from_per_metre(double per_metre) {
  // Past 1e6 dots per inch a stated resolution is nonsense: take none.
  const double dpi = per_metre * 0.0254;
  if (!(dpi >= 0.5) || dpi > 1e6) return 0;
  return static_cast<int>(std::lround(dpi));
}

}  // namespace detail

namespace {

uint32_t le32(const uint8_t *p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Why the engine's conversion refused a bitmap, as far as its headers say.
std::string bitmap_problem(const uint8_t *bytes, std::size_t size) {
  constexpr std::size_t kHeaders = 54;
  if (size < kHeaders) return "a truncated bitmap (" + std::to_string(size) + " bytes)";
  const unsigned bits = bytes[28] | (bytes[29] << 8);
  const uint32_t compression = le32(bytes + 30);
  if (le32(bytes + 14) != 40) return "a bitmap with an information header this reader does not know";
  if (compression != 0) return "a compressed bitmap (only uncompressed 8-bit bitmaps are read)";
  if (bits != 8)
    return "a " + std::to_string(bits) +
           "-bit bitmap (only 8-bit grey bitmaps are read: convert it to grey or to PNG)";
  return "a damaged bitmap (its sizes do not fit the file)";
}

}  // namespace

Format sniff(const uint8_t *bytes, std::size_t size) {
  static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size >= 2 && bytes[0] == 'B' && bytes[1] == 'M') return Format::Bmp;
  if (size >= 8 && std::memcmp(bytes, kPng, 8) == 0) return Format::Png;
  if (size >= 4 && ((bytes[0] == 'I' && bytes[1] == 'I' && (bytes[2] == 42 || bytes[2] == 43) &&
                     bytes[3] == 0) ||
                    (bytes[0] == 'M' && bytes[1] == 'M' && bytes[2] == 0 &&
                     (bytes[3] == 42 || bytes[3] == 43))))
    return Format::Tiff;
  // Netpbm: P1..P6 (the PGM reader also takes PBM and names PPM itself).
  if (size >= 2 && bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '6') return Format::Pgm;
  return Format::Unknown;
}

const char *format_name(Format format) {
  switch (format) {
    case Format::Bmp: return "BMP";
    case Format::Png: return "PNG";
    case Format::Tiff: return "TIFF";
    case Format::Pgm: return "PGM";
    case Format::Unknown: break;
  }
  return "unknown";
}

bool decode_bmp(const uint8_t *bytes, std::size_t size, GreyImage *image, std::string *problem) {
  *image = GreyImage();
  unsigned char *pixels = nullptr;
  unsigned int width = 0, height = 0;
  const int32_t rc = lumetra_tools_decode_bitmap(bytes, size, &pixels, &width, &height);
  if (rc == QX_RC_NO_MEMORY) return detail::refuse(image, problem, "out of memory");
  if (rc != QX_RC_OK || pixels == nullptr) {
    lumetra_tools_free(pixels);
    return detail::refuse(image, problem, bitmap_problem(bytes, size));
  }
  std::string why;
  if (!detail::size_acceptable(width, height, &why)) {
    lumetra_tools_free(pixels);
    return detail::refuse(image, problem, why);
  }
  image->pixels.assign(pixels, pixels + static_cast<std::size_t>(width) * height);
  lumetra_tools_free(pixels);
  image->cols = static_cast<int>(width);
  image->rows = static_cast<int>(height);
  // The conversion succeeded, so the 54 header bytes are there: the
  // information header holds the pixels per metre (signed) at 38 and 42.
  image->dpi_x = detail::dpi_from_per_metre(static_cast<int32_t>(le32(bytes + 38)));
  image->dpi_y = detail::dpi_from_per_metre(static_cast<int32_t>(le32(bytes + 42)));
  return true;
}

bool decode(const uint8_t *bytes, std::size_t size, GreyImage *image, std::string *problem) {
  switch (sniff(bytes, size)) {
    case Format::Bmp: return decode_bmp(bytes, size, image, problem);
    case Format::Png: return decode_png(bytes, size, image, problem);
    case Format::Tiff: return decode_tiff(bytes, size, image, problem);
    case Format::Pgm: return decode_pgm(bytes, size, image, problem);
    case Format::Unknown: break;
  }
  return detail::refuse(image, problem,
                        size == 0 ? "an empty file" : "not a BMP, PNG, TIFF or PGM image");
}

bool read_file(const std::string &path, GreyImage *image, std::string *problem) {
  *image = GreyImage();
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr)
    return detail::refuse(image, problem, std::string("cannot open: ") + std::strerror(errno));
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  bool read_error = false;
  for (;;) {
    const std::size_t n = std::fread(chunk, 1, sizeof chunk, f);
    bytes.insert(bytes.end(), chunk, chunk + n);
    if (bytes.size() > kMaxFileBytes) break;
    if (n < sizeof chunk) {
      read_error = std::ferror(f) != 0;
      break;
    }
  }
  // A directory opens but cannot be read.
  const int read_errno = errno;
  std::fclose(f);
  if (read_error)
    return detail::refuse(image, problem, std::string("cannot read: ") + std::strerror(read_errno));
  if (bytes.size() > kMaxFileBytes)
    return detail::refuse(image, problem,
                          "larger than " + std::to_string(kMaxFileBytes >> 20) + " MiB");
  return decode(bytes.data(), bytes.size(), image, problem);
}

namespace {

bool ends_with(const std::string &s, const char *suffix) {
  const std::size_t n = std::strlen(suffix);
  if (s.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != suffix[i]) return false;
  return true;
}

}  // namespace

bool encode_file(const std::string &name, const GreyImage &image, std::vector<uint8_t> *bytes,
                 std::string *problem) {
  bytes->clear();
  if (!detail::writable(image, problem)) return false;
  if (ends_with(name, ".png")) {
    *bytes = encode_png(image);
    if (bytes->empty()) *problem = "cannot encode the PNG image";
    return !bytes->empty();
  }
  if (ends_with(name, ".tif") || ends_with(name, ".tiff"))
    return detail::encode_tiff(image, bytes, problem);
  if (ends_with(name, ".pgm")) return detail::encode_pgm(image, bytes, problem);
  if (ends_with(name, ".bmp")) {
    *bytes = encode_bmp(image);
    return true;
  }
  *problem = "the file name must end with .png, .tif, .tiff, .pgm or .bmp";
  return false;
}

bool write_file(const std::string &path, const GreyImage &image, std::string *problem) {
  std::vector<uint8_t> bytes;
  return encode_file(path, image, &bytes, problem) && detail::write_bytes(path, bytes, problem);
}

}  // namespace imageio
