// Raw frame acquisition for the bad-pixel test: the front-end settings, the
// wait for the module's idle microcontroller, one scan, the block reads of
// frame memory with a bitmap of every frame, the AGC read-back, the sensor
// id, and the two module sequences that bracket a measurement (raw-capture
// mode and the return to sensor mode).
//
// The arithmetic of a frame read (word count, block plan, pixel formation)
// is exposed as pure functions so that it can be checked without a module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/devicecontrol.h"
#include "shell/config.h"

namespace tarsio::device {

// Largest frame the station accepts (W x H values).
inline constexpr std::size_t kFrameCapacity = 25600;
// Memory block buffer: two blocks.
inline constexpr std::size_t kBlockBufferSize = 65532;
inline constexpr uint16_t kBlockBytes = 32766;
// Request addresses of consecutive blocks are this many words apart.
inline constexpr uint16_t kBlockWordStep = 0x3FFF;
// Frame memory: 2 leading bytes, then one byte per pixel, row by row.
inline constexpr uint16_t kFrameWordAddress = 0x3400;
inline constexpr std::size_t kFrameLeadBytes = 2;

// Registers of the module used here.
inline constexpr uint16_t kRegMcuState = 32;  // 2 bytes, A5 5A = idle
inline constexpr int kIdleReads = 52;         // reads before "MCU is working"
inline constexpr int kIdlePollMs = 20;

// ((W x H, modulo 65536) + 2) / 2.
uint16_t frame_word_count(uint16_t width, uint16_t height);

// One data request of a block read.
struct BlockRequest {
  uint16_t address;    // word address
  uint32_t offset;     // into the memory block buffer
  uint16_t length;     // bytes
};

// The block rule: B = 2 x word count (modulo 65536) bytes, B / 32766 + 1
// blocks, block i at start + i x 0x3FFF words and buffer offset i x 32766,
// 32766 bytes while more than that remain, else the remainder modulo 32766.
std::vector<BlockRequest> sram_block_plan(uint16_t start, uint16_t word_count);

// A raw byte as a pixel value: shifted left by 4 on sensor types 2 and 3.
uint16_t form_pixel(uint16_t raw, int32_t sensor_type);

// A frame the station can take: at least one pixel and at most
// kFrameCapacity (the geometry comes from the device).
bool frame_size_acceptable(uint16_t width, uint16_t height);

// The register values written before a scan, by sensor type, in order
// (register, value).
std::vector<std::pair<uint16_t, uint16_t>> scan_start_writes(int32_t sensor_type);

// Pauses of the acquisition (and of the other device sequences).  Tests
// replace them to count and to skip the waiting; null restores real sleep.
using PauseFn = std::function<void(int milliseconds)>;
void set_station_pause_for_testing(PauseFn pause);
void station_pause(int milliseconds);

// Number of memory frame reads since program start (numbers the bitmaps).
int capture_counter();
// program_dir()/TestResult/capture/bad_test_image_<n>.bmp
std::string capture_bitmap_path(int n);

// Writes the front-end settings of the model's configuration record (AGC1..4
// to registers 3..6, DAC1 and DAC2 high and low bytes to 7..10), then 1 to
// register 2.  The caller reads the record once for the whole test.
// False when the handle is invalid or a write failed.
bool FixAGCSetting(DeviceHandle handle, const shell::BadTestConfig& config);

struct AgcState {
  uint8_t agc[4] = {};
  uint16_t dac1 = 0, dac2 = 0, extra = 0;
};
// Reads the front-end registers back.  0 when every read succeeded (also
// for an invalid handle, which reads nothing), 1 otherwise.
int GetAGCState(DeviceHandle handle, AgcState* state);

// Takes one frame into pixels (capacity values; at most W x H are written).
// Returns 0 when every request succeeded, 1 otherwise; a frame that cannot
// be taken leaves pixels as it was.
int GetFpOriImage(DeviceHandle handle, uint16_t* pixels, std::size_t capacity);

// Reads word_count words from module memory in blocks, saves the frame as
// bad_test_image_<n>.bmp and copies the pixel bytes that were really read
// (after the 2 leading bytes, at most capacity) into pixels.  0 on success,
// 3 when a block request fails; 0 for an invalid handle.
int SRamBulkReadData(DeviceHandle handle, uint16_t address, uint16_t* pixels, std::size_t capacity,
                     uint16_t word_count);

// The ten identification bytes in decimal joined by "_"; an empty text
// (and *ok false) when a request failed.
std::string ReadSensorId(DeviceHandle handle, bool* ok = nullptr);

// The bracket of the bad-pixel test (log name SensorBadTest).  False when a
// request failed (logged); the outcome lines are written only after every
// request succeeded.
bool EnterRawCaptureMode(DeviceHandle handle, int bus_type);
bool ReturnToSensorMode(DeviceHandle handle, int32_t sensor_type);

}  // namespace tarsio::device
