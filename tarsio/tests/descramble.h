// The image channel's scrambling of older module drivers, and its undoing.
//
// Drivers before a certain version scramble the finger image they hand to the
// biometric service: the bytes at the "position list" (every index j that has
// a divisor k with 2 <= k < sqrt(j)) are XORed in two passes with bytes
// derived from a key, and the key is derived from three image bytes that the
// passes leave untouched.  XOR makes the operation its own inverse, so the
// same function scrambles (the virtual module, acting as the driver) and
// descrambles (the scene test).
//
// Which drivers scramble is decided by the configured driver version, as
// text: on USB before "1.0.1.41", on SPI before "1.0.1.13".  SPI drivers
// from "1.0.0.13" on compute the square root of the position rule with the
// fast inverse square root in single precision, the others with the library
// square root; the two disagree next to some perfect squares.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarsio::tests {

inline constexpr const char* kScrambleUsbBefore = "1.0.1.41";
inline constexpr const char* kScrambleSpiBefore = "1.0.1.13";
inline constexpr const char* kFastRootSpiFrom = "1.0.0.13";

enum class RootMethod { kLibrary, kFastInverse };

// True when the driver of this bus (1 USB, 2 SPI) and configured version
// scrambles its images.  Ordinary text ordering: "1.0.1.5" sorts after
// "1.0.1.41".
bool descramble_selected(int device_type, const std::string& configured_version);

// The square-root method of the position rule for a scrambling driver.
RootMethod root_method(int device_type, const std::string& configured_version);

// sqrt(j) by the method: the library square root, or the reciprocal of the
// fast inverse square root (constant 0x5F375A86, three Newton steps, float).
double position_root(uint32_t j, RootMethod method);

// Indices 0 .. count-1 that have a divisor k with 2 <= k < root(j), in
// increasing order (16-bit, as the driver keeps them).
std::vector<uint16_t> build_position_list(std::size_t count, RootMethod method);

// The three bytes the key is taken from (never changed by the passes).
inline constexpr std::array<uint32_t, 3> kKeyPositions = {1030, 2054, 3078};
// A nibble-reversed key below this threshold is replaced by kKeyFallback.
inline constexpr uint16_t kKeyThreshold = 0x1000;
inline constexpr uint16_t kKeyFallback = 0x5A3C;
// Moduli of the first and second pass.
inline constexpr uint32_t kFirstPassModulus = 251;
inline constexpr uint32_t kSecondPassModulus = 241;

// The key of an image: the 16-bit sum of the three key bytes (a position
// outside the image counts 0) with its four nibbles in reverse order, or
// kKeyFallback when that falls below kKeyThreshold.
uint16_t scramble_key(const uint8_t* pixels, std::size_t count);

// The two XOR passes over the list's entries (odd entries first, then even
// ones), skipping the key positions and any index outside the image.  The
// pause runs between the passes (the station waits 1 ms there).
void apply_scramble(uint8_t* pixels, std::size_t count, const std::vector<uint16_t>& positions,
                    void (*between_passes)() = nullptr);

// The position list of one image size and method, built on first use and
// rebuilt when an image of another size (or another method) arrives.
class PositionListCache {
 public:
  const std::vector<uint16_t>& get(std::size_t count, RootMethod method);
  std::size_t builds() const { return builds_; }

 private:
  std::vector<uint16_t> list_;
  std::size_t count_ = 0;
  RootMethod method_ = RootMethod::kLibrary;
  bool valid_ = false;
  std::size_t builds_ = 0;
};

}  // namespace tarsio::tests
