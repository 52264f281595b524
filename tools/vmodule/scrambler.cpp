#include "scrambler.h"

#include "tests/descramble.h"

namespace vmodule {

bool apply_driver_scrambler(const Profile& profile, FingerImage* image) {
  const int bus = profile.bus == "spi" ? 2 : 1;
  if (!tarsio::descramble_selected(bus, profile.driver_version) || image->pixels.empty()) return false;
  const auto positions =
      tarsio::build_position_list(image->pixels.size(), tarsio::root_method(bus, profile.driver_version));
  tarsio::apply_scramble(image->pixels.data(), image->pixels.size(), positions);
  return true;
}

}  // namespace vmodule
