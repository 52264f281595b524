// PGM (and PBM) through libnetpbm, row by row from a memory stream.
//
// libnetpbm reports errors by longjmp to the buffer given to
// pm_setjmpbuf: every object with a destructor is made before setjmp, the
// stream is closed on both paths, and the library's messages go to a
// buffer instead of standard error.
#include <netpbm/pgm.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "imageio_internal.h"

namespace imageio {

namespace {

char g_last_error[200];

void on_error(const char *message) {
  std::snprintf(g_last_error, sizeof g_last_error, "%s", message);
  // Netpbm ends its messages with a newline; the problem text is one line.
  char *nl = std::strchr(g_last_error, '\n');
  if (nl != nullptr) *nl = '\0';
}
void on_message(const char *) {}

void prepare_netpbm() {
  static bool initialised = false;
  if (!initialised) {
    pm_init("imageio", 0);
    initialised = true;
  }
  pm_setusererrormsgfn(on_error);
  pm_setusermessagefn(on_message);
  g_last_error[0] = '\0';
}

}  // namespace

bool decode_pgm(const uint8_t *bytes, std::size_t size, GreyImage *image, std::string *problem) {
  *image = GreyImage();
  std::vector<gray> row;
  std::string why;
  // Only PGM (P2, P5) and PBM (P1, P4) go to libnetpbm: colour Netpbm
  // files are refused here, and other headers (PAM among them) take
  // paths of the library that are not needed and leak on their errors.
  if (size < 2 || bytes[0] != 'P')
    return detail::refuse(image, problem, "not a PGM image");
  if (bytes[1] == '3' || bytes[1] == '6')
    return detail::refuse(image, problem,
                          "a colour (PPM) image: only grey PGM and PBM images are read");
  if (bytes[1] != '1' && bytes[1] != '2' && bytes[1] != '4' && bytes[1] != '5')
    return detail::refuse(image, problem, "not a PGM image");
  prepare_netpbm();
  FILE *f = fmemopen(const_cast<uint8_t *>(bytes), size, "rb");
  if (f == nullptr) return detail::refuse(image, problem, "out of memory");
  jmp_buf on_failure;
  jmp_buf *previous = nullptr;
  pm_setjmpbufsave(&on_failure, &previous);
  if (setjmp(on_failure)) {
    pm_setjmpbuf(previous);
    std::fclose(f);
    return detail::refuse(image, problem, std::string("a damaged PGM file (") +
                                              g_last_error + ")");
  }
  int cols = 0, rows = 0, format = 0;
  gray maxval = 0;
  pgm_readpgminit(f, &cols, &rows, &maxval, &format);
  if (cols <= 0 || rows <= 0 || !detail::size_acceptable(static_cast<uint64_t>(cols),
                                                          static_cast<uint64_t>(rows), &why)) {
    pm_setjmpbuf(previous);
    std::fclose(f);
    return detail::refuse(image, problem, why.empty() ? "the image has no pixels" : why);
  }
  row.resize(static_cast<std::size_t>(cols));
  image->pixels.resize(static_cast<std::size_t>(cols) * rows);
  for (int r = 0; r < rows; ++r) {
    pgm_readpgmrow(f, row.data(), cols, maxval, format);
    uint8_t *out = &image->pixels[static_cast<std::size_t>(r) * cols];
    // Samples of any maxval (PBM: 1, 16-bit: up to 65535) to 0..255.
    for (int c = 0; c < cols; ++c) {
      const gray v = row[static_cast<std::size_t>(c)] > maxval ? maxval : row[static_cast<std::size_t>(c)];
      out[c] = maxval == 255 ? static_cast<uint8_t>(v)
                             : static_cast<uint8_t>((v * 255u + maxval / 2) / maxval);
    }
  }
  pm_setjmpbuf(previous);
  std::fclose(f);
  image->cols = cols;
  image->rows = rows;
  return true;
}

bool detail::encode_pgm(const GreyImage &image, std::vector<uint8_t> *bytes, std::string *problem) {
  bytes->clear();
  if (!writable(image, problem)) return false;
  char *buffer = nullptr;
  std::size_t length = 0;
  FILE *f = open_memstream(&buffer, &length);
  if (f == nullptr) {
    *problem = "out of memory";
    return false;
  }
  prepare_netpbm();
  std::vector<gray> row(static_cast<std::size_t>(image.cols));
  jmp_buf on_failure;
  jmp_buf *previous = nullptr;
  pm_setjmpbufsave(&on_failure, &previous);
  if (setjmp(on_failure)) {
    pm_setjmpbuf(previous);
    std::fclose(f);
    std::free(buffer);
    *problem = std::string("cannot encode the PGM image (") + g_last_error + ")";
    return false;
  }
  pgm_writepgminit(f, image.cols, image.rows, 255, 0);
  for (int r = 0; r < image.rows; ++r) {
    for (int c = 0; c < image.cols; ++c)
      row[static_cast<std::size_t>(c)] = image.pixels[static_cast<std::size_t>(r) * image.cols + c];
    pgm_writepgmrow(f, row.data(), image.cols, 255, 0);
  }
  pm_setjmpbuf(previous);
  const bool ok = std::fclose(f) == 0;
  if (ok) bytes->assign(buffer, buffer + length);
  std::free(buffer);
  if (!ok) *problem = "out of memory";
  return ok;
}

}  // namespace imageio
