// The print centre of the shared small-sensor yardsticks (far_eval and
// small_sensor_eval): the mean position of the 16 x 16 blocks whose grey
// levels vary (ridges), or the image centre when none does.  The impostor
// grid places its windows around it, so that its windows, and therefore
// its counts, are those of the yardstick; the other protocols use the
// tools' print centre (imageio::print_centre).  The rule itself is the
// image layer's (imageio::foreground_centre), which the lumetra command's
// --window uses too.
#ifndef TOOLS_EVALUATE_FOREGROUND_CENTRE_H
#define TOOLS_EVALUATE_FOREGROUND_CENTRE_H

#include "imageio.h"
#include "resolution.h"

namespace evaluate {

inline void foreground_centre(const imageio::GreyImage &im, int *cy, int *cx) {
  imageio::foreground_centre(im, cy, cx);
}

}  // namespace evaluate

#endif  // TOOLS_EVALUATE_FOREGROUND_CENTRE_H
