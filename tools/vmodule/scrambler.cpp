#include "scrambler.h"

#include "tests/descramble.h"

namespace vmodule {

bool apply_driver_scrambler(const Profile& profile, FingerImage* image) {
  const int bus = profile.bus == "spi" ? 2 : 1;
  if (!tarsio::tests::descramble_selected(bus, profile.driver_version) || image->pixels.empty()) return false;
  const auto positions =
      tarsio::tests::build_position_list(image->pixels.size(), tarsio::tests::root_method(bus, profile.driver_version));
  tarsio::tests::apply_scramble(image->pixels.data(), image->pixels.size(), positions);
  return true;
}

}  // namespace vmodule
