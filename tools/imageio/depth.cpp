// imageio: 16-bit grey samples to 8 bits, by a rule that never guesses.
//
// A 16-bit sample spans 0..65535 unless the file says otherwise.  Readers
// often hold fewer significant bits in 16-bit files (12-bit and 14-bit
// scanners); read as full-range, their prints come out nearly black and
// still give the library a (made-up) template.  So: when the file states
// its range (PNG sBIT, TIFF MaxSampleValue), the samples are scaled from
// that range; when it states none and no sample reaches 4096 (the data
// would fit in 12 bits), the image is refused, since its scale is
// unknown; otherwise the full 16-bit range is taken.
#include <algorithm>

#include "imageio_internal.h"

namespace imageio::detail {

bool grey16_to_8(const std::vector<uint16_t> &samples, unsigned stated_max,
                 std::vector<uint8_t> *out, std::string *problem) {
  constexpr unsigned kFullRange = 65535;
  constexpr unsigned kNarrowBelow = 4096;
  const unsigned largest =
      samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
  if (stated_max == 0 && largest < kNarrowBelow) {
    *problem = "16-bit samples that use at most 12 bits (largest " + std::to_string(largest) +
               "), and the file states no range (PNG sBIT, TIFF MaxSampleValue): their scale "
               "is unknown; convert the image to 8 bits";
    return false;
  }
  const unsigned range = stated_max != 0 ? std::min(stated_max, kFullRange) : kFullRange;
  out->resize(samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const unsigned v = std::min<unsigned>(samples[i], range);
    (*out)[i] = static_cast<uint8_t>((v * 255u + range / 2) / range);
  }
  return true;
}

}  // namespace imageio::detail
