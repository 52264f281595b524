// The image channel of an older module driver: drivers before "1.0.1.41"
// (USB) or "1.0.1.13" (SPI) scramble the finger image they hand to the
// biometric service, and the station undoes it.  The virtual module plays
// such a driver with the station's own scrambling rule (tests/descramble.h).
#pragma once

#include "finger.h"
#include "profile.h"

namespace vmodule {

// True when the profile's driver scrambles; then the image is scrambled.
bool apply_driver_scrambler(const Profile& profile, FingerImage* image);

}  // namespace vmodule
