// TIFF through libtiff: the first image of the file, in any layout and
// compression libtiff reads, through its RGBA reader (which handles grey
// of any depth, min-is-white, palettes and colour), then to 8-bit grey.
#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <algorithm>

#include "imageio_internal.h"

namespace imageio {

namespace {

struct MemoryFile {
  const uint8_t *bytes;
  std::size_t size;
  std::size_t pos;
};

tmsize_t mem_read(thandle_t h, void *out, tmsize_t count) {
  auto *m = static_cast<MemoryFile *>(h);
  if (count <= 0 || m->pos >= m->size) return 0;
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(count), m->size - m->pos);
  std::memcpy(out, m->bytes + m->pos, n);
  m->pos += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t mem_write(thandle_t, void *, tmsize_t) { return 0; }

toff_t mem_seek(thandle_t h, toff_t offset, int whence) {
  auto *m = static_cast<MemoryFile *>(h);
  uint64_t base = 0;
  if (whence == SEEK_CUR) base = m->pos;
  else if (whence == SEEK_END) base = m->size;
  else if (whence != SEEK_SET) return static_cast<toff_t>(-1);
  // Offsets are unsigned here; a position past the end is allowed (reads
  // there give nothing), one that wraps is not.
  if (offset > UINT64_MAX - base) return static_cast<toff_t>(-1);
  m->pos = static_cast<std::size_t>(std::min<uint64_t>(base + offset, SIZE_MAX));
  return static_cast<toff_t>(m->pos);
}

int mem_close(thandle_t) { return 0; }
toff_t mem_size(thandle_t h) { return static_cast<MemoryFile *>(h)->size; }
int no_map(thandle_t, void **, toff_t *) { return 0; }
void no_unmap(thandle_t, void *, toff_t) {}

// libtiff reports errors through one process-wide handler; the tools are
// single-threaded, so the last message is kept here for the problem text.
char g_last_error[200];

void on_error(const char *, const char *format, va_list args) {
  std::vsnprintf(g_last_error, sizeof g_last_error, format, args);
}
void on_warning(const char *, const char *, va_list) {}

void install_handlers() {
  TIFFSetErrorHandler(on_error);
  TIFFSetWarningHandler(on_warning);
  g_last_error[0] = '\0';
}

std::string with_reason(const char *what) {
  std::string text = what;
  if (g_last_error[0] != '\0') text += std::string(" (") + g_last_error + ")";
  return text;
}

// Resolution in dpi from a TIFF resolution value and its unit.
int tiff_dpi(float value, uint16_t unit) {
  if (unit == RESUNIT_INCH) return detail::dpi_from_per_metre(value / 0.0254);
  if (unit == RESUNIT_CENTIMETER) return detail::dpi_from_per_metre(value * 100.0);
  return 0;  // no absolute unit: no resolution
}

// True when every strip (or tile) of the image lies within the file and,
// uncompressed, holds all its bytes; a file cut short would otherwise be
// read with its missing rows made up (libtiff's RGBA reader goes on past a
// strip it cannot read).
bool data_within_file(TIFF *tif, std::size_t size, std::string *problem) {
  uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  const bool tiled = TIFFIsTiled(tif) != 0;
  const uint32_t count = tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
  if (count == 0) {
    *problem = "a damaged TIFF file (no image data)";
    return false;
  }
  const uint32_t strip_rows = [&] {
    uint32_t r = 0;
    return TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &r) == 1 ? r : 0;
  }();
  uint32_t height = 0;
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  for (uint32_t i = 0; i < count; ++i) {
    int err = 0;
    const uint64_t offset = TIFFGetStrileOffsetWithErr(tif, i, &err);
    const uint64_t bytes = err == 0 ? TIFFGetStrileByteCountWithErr(tif, i, &err) : 0;
    uint64_t expected = 1;
    if (compression == COMPRESSION_NONE) {
      // The last strip (of each plane, when the samples lie in planes of
      // their own) may hold fewer rows than the others.
      const uint32_t per_plane =
          strip_rows == 0 ? 1 : static_cast<uint32_t>((uint64_t{height} + strip_rows - 1) / strip_rows);
      const uint64_t first_row = uint64_t{i % std::max(per_plane, 1u)} * strip_rows;
      const uint32_t rows =
          tiled || strip_rows == 0 || strip_rows >= height
              ? 0
              : static_cast<uint32_t>(std::min<uint64_t>(strip_rows, height - std::min<uint64_t>(height, first_row)));
      expected = tiled ? static_cast<uint64_t>(TIFFTileSize64(tif))
                       : rows == 0 ? static_cast<uint64_t>(TIFFStripSize64(tif))
                                   : static_cast<uint64_t>(TIFFVStripSize64(tif, rows));
    }
    if (err != 0 || bytes < expected || offset > size || bytes > size - offset) {
      *problem = "a TIFF file that ends inside its image data (" + std::string(tiled ? "tile " : "strip ") +
                 std::to_string(i + 1) + " of " + std::to_string(count) + " is missing or cut short)";
      return false;
    }
  }
  return true;
}

// 16-bit grey of one sample per pixel, in strips: read by scanline and
// scaled by the tools' rule (grey16_to_8) from the file's MaxSampleValue.
bool read_grey16(TIFF *tif, uint32_t width, uint32_t height, std::vector<uint8_t> *pixels,
                 std::string *problem) {
  std::vector<uint16_t> samples(static_cast<std::size_t>(width) * height);
  if (static_cast<uint64_t>(TIFFScanlineSize64(tif)) != 2ull * width) {
    *problem = "a TIFF image that cannot be converted to grey";
    return false;
  }
  for (uint32_t r = 0; r < height; ++r)
    if (TIFFReadScanline(tif, &samples[static_cast<std::size_t>(r) * width], r, 0) != 1) {
      *problem = with_reason("a damaged TIFF image");
      return false;
    }
  uint16_t stated = 0;
  const unsigned stated_max = TIFFGetField(tif, TIFFTAG_MAXSAMPLEVALUE, &stated) == 1 ? stated : 0;
  if (!detail::grey16_to_8(samples, stated_max == 65535 ? 0 : stated_max, pixels, problem))
    return false;
  uint16_t photometric = PHOTOMETRIC_MINISBLACK;
  TIFFGetFieldDefaulted(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  if (photometric == PHOTOMETRIC_MINISWHITE)
    for (uint8_t &p : *pixels) p = static_cast<uint8_t>(255 - p);
  return true;
}

bool is_grey16(TIFF *tif) {
  uint16_t bits = 0, spp = 0, photometric = 0;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  const bool grey = TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) == 1 &&
                    (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE);
  return bits == 16 && spp == 1 && grey && TIFFIsTiled(tif) == 0;
}

}  // namespace

bool decode_tiff(const uint8_t *bytes, std::size_t size, GreyImage *image, std::string *problem) {
  *image = GreyImage();
  install_handlers();
  MemoryFile file{bytes, size, 0};
  // "m": the data is in memory already, never map it.
  TIFF *tif = TIFFClientOpen("image", "rm", &file, mem_read, mem_write, mem_seek, mem_close,
                             mem_size, no_map, no_unmap);
  if (tif == nullptr) return detail::refuse(image, problem, with_reason("a damaged TIFF file"));
  uint32_t width = 0, height = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  std::string why;
  if (!detail::size_acceptable(width, height, &why)) {
    TIFFClose(tif);
    return detail::refuse(image, problem, why);
  }
  char message[1024] = "";
  if (TIFFRGBAImageOK(tif, message) == 0) {
    TIFFClose(tif);
    return detail::refuse(image, problem,
                          std::string("a TIFF image that cannot be converted to grey (") +
                              message + ")");
  }
  if (!data_within_file(tif, size, &why)) {
    TIFFClose(tif);
    return detail::refuse(image, problem, why);
  }
  const bool grey16 = is_grey16(tif);
  g_last_error[0] = '\0';  // what the directory's reading reported is past
  std::vector<uint32_t> rgba(grey16 ? 0 : static_cast<std::size_t>(width) * height);
  if (grey16) {
    if (!read_grey16(tif, width, height, &image->pixels, &why)) {
      TIFFClose(tif);
      return detail::refuse(image, problem, why);
    }
  } else if (TIFFReadRGBAImageOriented(tif, width, height, rgba.data(), ORIENTATION_TOPLEFT, 1) ==
                 0 ||
             g_last_error[0] != '\0') {
    // Stopped at the first error: no row of the image is made up.
    TIFFClose(tif);
    return detail::refuse(image, problem, with_reason("a damaged TIFF image"));
  }
  float res_x = 0, res_y = 0;
  uint16_t unit = RESUNIT_INCH;
  TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
  if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &res_x) == 1 &&
      TIFFGetField(tif, TIFFTAG_YRESOLUTION, &res_y) == 1) {
    image->dpi_x = tiff_dpi(res_x, unit);
    image->dpi_y = tiff_dpi(res_y, unit);
  }
  TIFFClose(tif);
  if (!grey16) image->pixels.resize(rgba.size());
  for (std::size_t i = 0; i < rgba.size(); ++i) {
    const uint32_t p = rgba[i];
    const unsigned r = TIFFGetR(p), g = TIFFGetG(p), b = TIFFGetB(p);
    image->pixels[i] = r == g && g == b ? static_cast<uint8_t>(r) : detail::luminance(r, g, b);
  }
  image->cols = static_cast<int>(width);
  image->rows = static_cast<int>(height);
  return true;
}

namespace {

// The file libtiff writes, in memory: it seeks back to patch the header
// and reads its own directory again, so the buffer grows where it writes.
struct GrowingFile {
  std::vector<uint8_t> *bytes;
  std::size_t pos;
};

tmsize_t grow_read(thandle_t h, void *out, tmsize_t count) {
  auto *g = static_cast<GrowingFile *>(h);
  if (count <= 0 || g->pos >= g->bytes->size()) return 0;
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(count), g->bytes->size() - g->pos);
  std::memcpy(out, g->bytes->data() + g->pos, n);
  g->pos += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t grow_write(thandle_t h, void *in, tmsize_t count) {
  auto *g = static_cast<GrowingFile *>(h);
  if (count <= 0) return 0;
  const std::size_t n = static_cast<std::size_t>(count);
  if (g->pos > kMaxFileBytes || n > kMaxFileBytes - g->pos) return 0;
  if (g->bytes->size() < g->pos + n) g->bytes->resize(g->pos + n);
  std::memcpy(g->bytes->data() + g->pos, in, n);
  g->pos += n;
  return count;
}

toff_t grow_seek(thandle_t h, toff_t offset, int whence) {
  auto *g = static_cast<GrowingFile *>(h);
  uint64_t base = 0;
  if (whence == SEEK_CUR) base = g->pos;
  else if (whence == SEEK_END) base = g->bytes->size();
  else if (whence != SEEK_SET) return static_cast<toff_t>(-1);
  if (offset > kMaxFileBytes || base + offset > kMaxFileBytes) return static_cast<toff_t>(-1);
  g->pos = static_cast<std::size_t>(base + offset);
  return static_cast<toff_t>(g->pos);
}

toff_t grow_size(thandle_t h) { return static_cast<GrowingFile *>(h)->bytes->size(); }

}  // namespace

bool detail::encode_tiff(const GreyImage &image, std::vector<uint8_t> *bytes, std::string *problem) {
  bytes->clear();
  if (!writable(image, problem)) return false;
  install_handlers();
  GrowingFile file{bytes, 0};
  TIFF *tif = TIFFClientOpen("image", "w", &file, grow_read, grow_write, grow_seek, mem_close,
                             grow_size, no_map, no_unmap);
  if (tif == nullptr) {
    *problem = with_reason("cannot encode the TIFF image");
    return false;
  }
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.cols));
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.rows));
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(image.rows));
  if (image.dpi_x > 0 && image.dpi_y > 0) {
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<float>(image.dpi_x));
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<float>(image.dpi_y));
  }
  bool ok = true;
  for (int r = 0; r < image.rows && ok; ++r) {
    ok = TIFFWriteScanline(tif, const_cast<uint8_t *>(&image.pixels[static_cast<std::size_t>(r) *
                                                                     image.cols]),
                           static_cast<uint32_t>(r), 0) == 1;
  }
  ok = TIFFWriteDirectory(tif) == 1 && ok;
  TIFFClose(tif);
  if (!ok) {
    bytes->clear();
    *problem = with_reason("cannot encode the TIFF image");
  }
  return ok;
}

}  // namespace imageio
