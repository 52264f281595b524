// imageio: grey fingerprint images read from (and written to) the file
// formats people have, for the project's tools.
//
// Readers: BMP through the engine's own bitmap conversion (8-bit
// uncompressed bitmaps), PNG through libpng, TIFF through libtiff, PGM
// (and PBM) through libnetpbm.  Every image comes out as 8-bit grey, top
// row first: 16-bit samples are scaled to 8 bits, colour and palette
// images are converted to grey (luminance), alpha is dropped; what cannot
// be converted is refused with a problem text.  The resolution is taken
// from the file when it carries one (PNG pHYs, TIFF X/YResolution, BMP
// pixels per metre).
//
// Every reader works on bytes in memory and checks sizes before it trusts
// them; nothing the file says can make a reader crash or allocate more
// than the limits below.  The functions never print: the problem text is
// for the caller to show (it does not name the file).
#ifndef TOOLS_IMAGEIO_IMAGEIO_H
#define TOOLS_IMAGEIO_IMAGEIO_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace imageio {

// Largest image side and pixel count a reader accepts (the engine's image
// sides are 16-bit), and the largest file read into memory.
inline constexpr int kMaxSide = 65535;
inline constexpr std::size_t kMaxPixels = 16u * 1024u * 1024u;
inline constexpr std::size_t kMaxFileBytes = 64u * 1024u * 1024u;

enum class Format { Unknown, Bmp, Png, Tiff, Pgm };

// A grey image, width x height bytes, top row first.  dpi_x / dpi_y are
// the resolution the file states, or 0 when it states none.
struct GreyImage {
  std::vector<uint8_t> pixels;
  int width = 0;
  int height = 0;
  int dpi_x = 0;
  int dpi_y = 0;
};

// The format recognised from the first bytes (signature), or Unknown.
Format sniff(const uint8_t *bytes, std::size_t size);
const char *format_name(Format format);

// Decodes an image held in memory.  True with *image filled; false with
// *problem set (and *image empty).
bool decode(const uint8_t *bytes, std::size_t size, GreyImage *image, std::string *problem);
// The same for one format (the fuzz targets call these directly).
bool decode_bmp(const uint8_t *bytes, std::size_t size, GreyImage *image, std::string *problem);
bool decode_png(const uint8_t *bytes, std::size_t size, GreyImage *image, std::string *problem);
bool decode_tiff(const uint8_t *bytes, std::size_t size, GreyImage *image, std::string *problem);
bool decode_pgm(const uint8_t *bytes, std::size_t size, GreyImage *image, std::string *problem);

// Reads a whole file (at most kMaxFileBytes) and decodes it.
bool read_file(const std::string &path, GreyImage *image, std::string *problem);

// Writes an 8-bit grey image in the format its file name ends with (.png,
// .tif/.tiff, .pgm, .bmp), stating dpi (0: none) where the format holds a
// resolution.  False with *problem set; a partly written file is removed.
bool write_file(const std::string &path, const GreyImage &image, std::string *problem);

}  // namespace imageio

#endif  // TOOLS_IMAGEIO_IMAGEIO_H
