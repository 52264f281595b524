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

// A grey image: rows x cols bytes, top row first (rows before columns, as
// the engine's images take them).  dpi_x / dpi_y are the resolution the
// file states, or 0 when it states none (the writers then state the
// library's 500 dpi where the format holds a resolution).
struct GreyImage {
  int rows = 0;
  int cols = 0;
  std::vector<uint8_t> pixels;
  int dpi_x = 0;
  int dpi_y = 0;

  GreyImage() = default;
  GreyImage(int r, int c, uint8_t fill = 255)
      : rows(r), cols(c), pixels(static_cast<std::size_t>(r) * c, fill) {}
  uint8_t at(int r, int c) const { return pixels[static_cast<std::size_t>(r) * cols + c]; }
  uint8_t &at(int r, int c) { return pixels[static_cast<std::size_t>(r) * cols + c]; }
};

// A colour image for people to look at (overlays): rows x cols RGB
// triplets, top row first.
struct RgbImage {
  int rows = 0;
  int cols = 0;
  std::vector<uint8_t> rgb;
};

// The resolution the tools assume for an image that states none, and the
// one their bitmaps state: the library's own.
inline constexpr int kDefaultDpi = 500;

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

// Every writer below encodes the whole file in memory and then replaces
// the file through replace_file: a write that fails leaves what was at the
// path as it was.

// Writes an 8-bit grey image in the format its file name ends with (.png,
// .tif/.tiff, .pgm, .bmp), stating its dpi where the format holds a
// resolution (PNG and TIFF state none for 0, a bitmap states 500).  False
// with *problem set.
bool write_file(const std::string &path, const GreyImage &image, std::string *problem);

// The writers of one format, whatever the file is called.
bool write_bmp(const std::string &path, const GreyImage &image, std::string *problem);
bool write_png(const std::string &path, const GreyImage &image, std::string *problem);
bool write_rgb_png(const std::string &path, const RgbImage &image, std::string *problem);

// The bytes write_file would write for a file called `name` (the format
// chosen by its ending); false with *problem set.
bool encode_file(const std::string &name, const GreyImage &image, std::vector<uint8_t> *bytes,
                 std::string *problem);
// The bytes of an RGB PNG (no resolution stated); false with *problem set.
bool encode_rgb_png(const RgbImage &image, std::vector<uint8_t> *bytes, std::string *problem);

// Replaces the file at `path` with `size` bytes, whole or not at all: they
// go to a new temporary file beside it, which is renamed over the old one
// (synced first, and keeping the old one's permissions).  A symbolic link is followed
// and stays a link; a device, pipe or socket is written in place, as it
// cannot be replaced.  On failure nothing at the path changes, no
// temporary stays behind, and *problem names the cause ("cannot write: "
// and the system's error text).
bool replace_file(const std::string &path, const uint8_t *bytes, std::size_t size,
                  std::string *problem);

// The bytes of an 8-bit grey bitmap: 40-byte information header, 256-entry
// grey palette, pixel data at offset 1078, rows bottom-up and padded to 4
// bytes, the image's resolution (500 dpi when it states none).
std::vector<uint8_t> encode_bmp(const GreyImage &image);
// The bytes of an 8-bit grey PNG (libpng, default compression), with a
// pHYs chunk when the image states a resolution; empty when libpng fails.
std::vector<uint8_t> encode_png(const GreyImage &image);

// ---- windows ------------------------------------------------------------

// The rows x cols window whose top-left corner is (top, left) in `image`;
// pixels outside the image are white (255, background), so that a window
// larger than its image shows no ridges that are not there.
GreyImage window(const GreyImage &image, int top, int left, int rows, int cols);

// Where the print is: the mean position of the dark pixels (grey level
// below 128), as (row, col); the image centre when no pixel is dark.
void print_centre(const GreyImage &image, int *row, int *col);

// Top-left corner of a rows x cols window centred on (centre_row,
// centre_col) and kept inside the image (at 0 on a side where the image is
// not larger than the window).
void window_origin(const GreyImage &image, int centre_row, int centre_col, int rows, int cols,
                   int *top, int *left);

// The window of at most rows x cols (never larger than the image) around
// the print centre, inside the image.
GreyImage centred_window(const GreyImage &image, int rows, int cols);

// ---- folders of captures ------------------------------------------------

// A capture of a folder named <finger>_<impression>.bmp.
struct NumberedImage {
  std::string name;  // the file name
  int finger = 0;
  int impression = 0;
  GreyImage image;
};

// Every <finger>_<impression>.bmp of `dir` whose name starts with two
// numbers joined by '_' and that reads as an image, in file-name order;
// files that do not read are passed over (their names and problems go to
// *skipped when given).  False when the folder cannot be read.
bool read_numbered_bitmaps(const std::string &dir, std::vector<NumberedImage> *images,
                           std::vector<std::string> *skipped = nullptr);

}  // namespace imageio

#endif  // TOOLS_IMAGEIO_IMAGEIO_H
