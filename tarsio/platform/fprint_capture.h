// One finger image through libfprint, the Linux stand-in for the platform's
// biometric service: open the first fingerprint device, capture one image
// (blocking until a finger is read), close the device.
//
// With FP_VIRTUAL_IMAGE set in the environment before the first capture,
// libfprint offers its virtual image device on that socket; the virtual
// sensor module then plays the finger.  libfprint runs its own minutiae
// detection on every image, so a blank image or a print too small to hold
// minutiae comes back as a failed capture ("retry" errors), never as an
// image.
//
// Failures carry a result code in the shape the scene test reports:
//   kHrBadCapture      libfprint asked for a retry; the detail is its retry
//                      reason (0 general, 1 too short, 2 centre finger,
//                      3 remove finger)
//   kHrNoDevice        no fingerprint device is present
//   kHrOpenFailed      the device could not be opened
//   kHrCaptureFailed   any other capture error
//   kHrCanceled        the capture was let go (module removed or gone, program
//                      closing)
//   kHrTimeout         no finger within the time limit
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarsio::platform {

inline constexpr uint32_t kHrBadCapture = 0x80098008;
inline constexpr uint32_t kHrNoDevice = 0x80099001;
inline constexpr uint32_t kHrOpenFailed = 0x80099002;
inline constexpr uint32_t kHrCaptureFailed = 0x80099003;
inline constexpr uint32_t kHrCanceled = 0x80098004;
inline constexpr uint32_t kHrTimeout = 0x800705B4;

struct FingerCapture {
  enum class Status { kOk, kOpenFailed, kCaptureFailed };
  Status status = Status::kCaptureFailed;
  uint32_t hr = 0;           // result code of a failure
  int reject_detail = 0;     // for kHrBadCapture
  std::string message;       // libfprint's own text of the failure
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // width x height grey bytes, row by row
};

// Blocks until an image was captured, the capture failed, timeout_ms passed
// without a finger (0: no limit), presence_fd (a module's PresenceWatch, -1
// for none) reported the module gone, or cancel_finger_capture() let it go;
// the last two end as kHrCanceled.  May
// run on any thread, one capture at a time: libfprint finishes its work on
// GLib's global default main context, which this call iterates until done.
// The limit and the cancellation go through libfprint's own cancellable,
// so the device is closed properly and the thread returns normally.
FingerCapture capture_finger_image(int timeout_ms = 0, int presence_fd = -1);

// Lets a capture under way (on any thread) end at once as kHrCanceled.
// Safe to call from any thread, also when no capture is under way.
void cancel_finger_capture();

// Leaves GLib's global default main context to the captures: asks the GUI
// toolkit (Qt) to use its own event dispatcher instead of GLib's.  Call
// before the toolkit starts; an explicit QT_NO_GLIB setting is kept.
void prepare_finger_capture();

}  // namespace tarsio::platform
