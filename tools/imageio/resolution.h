// imageio: the one resolution rule of the tools, and the print centre of
// the accuracy yardsticks with the windows cut around it.
//
// Resolution.  A fingerprint image is taken at the resolution its file
// states only when that is plausible for a fingerprint reader (250 to 1500
// dpi on both axes).  Image tools often write 72 or 96 dpi, or 1 dpi, into
// files that never came near a ruler; such a value is ignored (with one
// warning) and the chosen default applies (500 dpi, the library's own,
// or what the user gave).  A forced resolution overrides the file always.
// The image is then brought to the library's 500 dpi by the library's own
// resampling, and the result must stay within the readers' pixel limits,
// so that a wrong value cannot ask for gigabytes.
#ifndef TOOLS_IMAGEIO_RESOLUTION_H
#define TOOLS_IMAGEIO_RESOLUTION_H

#include <string>

#include "imageio.h"

namespace imageio {

// Resolutions a fingerprint reader plausibly has.
inline constexpr int kMinPlausibleDpi = 250;
inline constexpr int kMaxPlausibleDpi = 1500;

// How an image's resolution is chosen.
struct ResolutionRule {
  int default_dpi = kDefaultDpi;  // files stating none, or an implausible one
  bool force = false;             // default_dpi for every file
};

// The resolution (vertical, horizontal) an image is taken at under the
// rule.  *ignored is the stated horizontal (or vertical) value when the
// file states one that the rule ignored as implausible, else 0.
void chosen_resolution(const GreyImage &image, const ResolutionRule &rule, int *dpi_y, int *dpi_x,
                       int *ignored);

// The image brought to 500 dpi under the rule (dpi_x = dpi_y = 500 in the
// result).  True with *out filled and *warning set to a one-line note when
// a stated value was ignored (empty otherwise); false with *problem set
// when the result would exceed kMaxSide / kMaxPixels or the resampling
// fails.  Neither text names the file: the caller does.
bool to_library_resolution(const GreyImage &image, const ResolutionRule &rule, GreyImage *out,
                           std::string *warning, std::string *problem);

// The print centre (row, col) of the accuracy yardsticks: the mean centre
// (+8) of the 16 x 16 blocks, tiled from (0, 0), whole blocks only, whose
// population grey variance exceeds 400, truncated; the image centre (rows
// / 2, cols / 2) when no block qualifies.  print_centre (the mean of the
// dark pixels) is another rule, kept for the tools that use it.
void foreground_centre(const GreyImage &image, int *row, int *col);

// The rows x cols window centred on the foreground centre moved by (dy,
// dx), kept inside the image where the image is larger than the window
// (white outside where it is not).
GreyImage foreground_window(const GreyImage &image, int rows, int cols, int dy = 0, int dx = 0);

}  // namespace imageio

#endif  // TOOLS_IMAGEIO_RESOLUTION_H
