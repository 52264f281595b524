// The bad-pixel item in its device layers: the button frame
// (OnBnClickedButton10), the item with its verdict display
// (SensorBadTestItem), the bracket of raw-capture mode and the return to
// sensor mode (SensorBadTest), and the frame measurement with its record
// and report files (SensorVoidScanBad).  The analysis itself is the pure
// SensorVoidScanBadAnalyse of badpixel_analysis.h.
#pragma once

#include <cstdint>

#include "tests/item_context.h"

namespace tarsio::tests {

// Takes one frame into pixels (kFrameCapacity values), analyses it and
// writes the summary record and the report when SaveResultData is set.
// 1 pass, 0 fail (also for a missing array or an invalid handle).
int SensorVoidScanBad(device::DeviceHandle handle, uint16_t* pixels);

// Raw-capture mode, SensorVoidScanBad, return to sensor mode.  1 pass,
// 0 fail, -1 for an invalid handle.
int SensorBadTest(device::DeviceHandle handle);

// Runs SensorBadTest and shows the verdict; sets the overall pass flag on a
// pass and clears it on a fail.
bool SensorBadTestItem(ItemContext& ctx, device::DeviceHandle handle);

// The item as the sequence runs it.
void OnBnClickedButton10(ItemContext& ctx);

}  // namespace tarsio::tests
