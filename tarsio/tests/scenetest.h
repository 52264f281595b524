// The scene test: a finger image through the biometric service (libfprint on
// Linux), undone from the driver's scrambling where the driver version asks
// for it, and accepted when it is neither blank white (all 0) nor blank black
// (all 255).  It runs on the scene-test worker thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "tests/item_context.h"

namespace tarsio::tests {

// Capacity of the scene image buffer, one byte per pixel.
inline constexpr std::size_t kSceneImageCapacity = 25600;

struct BlankState {
  bool white;  // every pixel 0
  bool black;  // every pixel 255
};
// Over the pixels that are really there; no pixel at all is both.
BlankState image_blank_state(const uint8_t* pixels, std::size_t count);

// One capture into buffer (capacity bytes): width and height of the image,
// and the number of pixel bytes copied (at most capacity).  0 on success,
// 1 on failure.
int GetImage(ItemContext& ctx, uint8_t* buffer, std::size_t capacity, uint16_t* width, uint16_t* height,
             std::size_t* copied);

// Captures and judges one image.  True when it is valid.
bool ImageValidAlg(ItemContext& ctx);

// Runs ImageValidAlg and shows the verdict; on a fail it releases the
// algorithm library's state and clears the overall pass flag.
bool SceneTestImageValid(ItemContext& ctx);

// The scene item's start: the finger prompt, the running icon, the log
// line, then start_worker (which starts CaptureThread) -- only while
// connected.
void OnBnClickedButton14(ItemContext& ctx, const std::function<void()>& start_worker);

}  // namespace tarsio::tests
