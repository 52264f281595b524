// The first four factory test items: the interrupt pin (the driver's SPI
// self-test), the driver version, the sensor firmware version and the USB
// bridge firmware version.  Each writes its block of text into the log pane,
// sets its status icon and clears the run's overall pass flag on failure;
// none does anything while the module is disconnected.
#pragma once

#include "tests/item_context.h"

namespace tarsio::tests {

void OnBnClickedButton8(ItemContext& ctx);   // interrupt pin
void OnBnClickedButton11(ItemContext& ctx);  // driver version
void OnBnClickedButton12(ItemContext& ctx);  // sensor firmware version
void OnBnClickedButton9(ItemContext& ctx);   // USB firmware version

// The driver version passes when the device's text occurs anywhere in the
// configured text (so an empty device text always passes).
bool driver_version_matches(const std::string& configured, const std::string& device);

}  // namespace tarsio::tests
