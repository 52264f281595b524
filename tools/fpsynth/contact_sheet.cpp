// Contact sheets: many captures tiled into one image for people to look at.
#include <algorithm>

#include "fpsynth/fpsynth.h"

namespace fpsynth {

Image contact_sheet(const std::vector<Image>& tiles, int columns, int gap, uint8_t background) {
    if (tiles.empty() || columns <= 0) return Image();
    int cell_r = 0, cell_c = 0;
    for (const Image& t : tiles) {
        cell_r = std::max(cell_r, t.rows);
        cell_c = std::max(cell_c, t.cols);
    }
    columns = std::min<int>(columns, static_cast<int>(tiles.size()));
    const int grid_rows = (static_cast<int>(tiles.size()) + columns - 1) / columns;
    Image sheet(gap + grid_rows * (cell_r + gap), gap + columns * (cell_c + gap), background);
    for (size_t i = 0; i < tiles.size(); ++i) {
        const int r0 = gap + static_cast<int>(i) / columns * (cell_r + gap);
        const int c0 = gap + static_cast<int>(i) % columns * (cell_c + gap);
        const Image& t = tiles[i];
        for (int r = 0; r < t.rows; ++r)
            std::copy_n(&t.pixels[static_cast<size_t>(r) * t.cols], t.cols, &sheet.at(r0 + r, c0));
    }
    return sheet;
}

}  // namespace fpsynth
