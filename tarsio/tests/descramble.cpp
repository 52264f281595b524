#include "tests/descramble.h"

#include <cmath>
#include <cstring>

namespace tarsio::tests {

bool descramble_selected(int device_type, const std::string& configured_version) {
  if (device_type == 1) return configured_version < kScrambleUsbBefore;
  if (device_type == 2) return configured_version < kScrambleSpiBefore;
  return false;
}

RootMethod root_method(int device_type, const std::string& configured_version) {
  if (device_type == 2 && !(configured_version < kFastRootSpiFrom)) return RootMethod::kFastInverse;
  return RootMethod::kLibrary;
}

double position_root(uint32_t j, RootMethod method) {
  if (method == RootMethod::kLibrary) return std::sqrt(static_cast<double>(j));
  const float x = static_cast<float>(j);
  const float half = x * 0.5f;
  float y = x;
  uint32_t bits;
  std::memcpy(&bits, &y, sizeof bits);
  bits = 0x5F375A86u - (bits >> 1);
  std::memcpy(&y, &bits, sizeof y);
  for (int step = 0; step < 3; ++step) y = y * (1.5f - half * y * y);
  return static_cast<double>(1.0f / y);
}

std::vector<uint16_t> build_position_list(std::size_t count, RootMethod method) {
  std::vector<uint16_t> list;
  // Indices are 16-bit in the driver; images never exceed 25600 pixels.
  if (count > 65536) count = 65536;
  for (uint32_t j = 0; j < count; ++j) {
    const double root = position_root(j, method);
    for (uint32_t k = 2; static_cast<double>(k) < root; ++k) {
      if (j % k == 0) {
        list.push_back(static_cast<uint16_t>(j));
        break;
      }
    }
  }
  return list;
}

uint16_t scramble_key(const uint8_t* pixels, std::size_t count) {
  uint16_t sum = 0;
  for (uint32_t p : kKeyPositions)
    if (pixels != nullptr && p < count) sum = static_cast<uint16_t>(sum + pixels[p]);
  const uint16_t reversed = static_cast<uint16_t>((sum & 0x000F) << 12 | (sum & 0x00F0) << 4 | (sum & 0x0F00) >> 4 |
                                                  (sum & 0xF000) >> 12);
  return reversed < kKeyThreshold ? kKeyFallback : reversed;
}

namespace {

bool is_key_position(uint32_t index) {
  for (uint32_t p : kKeyPositions)
    if (p == index) return true;
  return false;
}

}  // namespace

void apply_scramble(uint8_t* pixels, std::size_t count, const std::vector<uint16_t>& positions,
                    void (*between_passes)()) {
  if (pixels == nullptr) return;
  const uint16_t key = scramble_key(pixels, count);
  for (std::size_t n = 1; n < positions.size(); n += 2) {
    const uint32_t at = positions[n];
    if (at >= count || is_key_position(at)) continue;
    pixels[at] ^= static_cast<uint8_t>((key + n) % kFirstPassModulus);
  }
  if (between_passes != nullptr) between_passes();
  for (std::size_t n = 0; n < positions.size(); n += 2) {
    const uint32_t at = positions[n];
    if (at >= count || is_key_position(at)) continue;
    pixels[at] ^= static_cast<uint8_t>(((key >> 2) + n) % kSecondPassModulus);
  }
}

const std::vector<uint16_t>& PositionListCache::get(std::size_t count, RootMethod method) {
  if (!valid_ || count != count_ || method != method_) {
    list_ = build_position_list(count, method);
    count_ = count;
    method_ = method;
    valid_ = true;
    ++builds_;
  }
  return list_;
}

}  // namespace tarsio::tests
