// Process-wide state of the library interface.
//
// Everything the exported functions keep between calls lives in g_state:
// the host-visible parameters, the values the sensor-side entry points
// store, and (as the engine grows) the algorithm, the enrollment session
// and the template slots.  The object is constant-initialised, so every
// parameter holds its default from the moment the library is mapped,
// before any code of the host or the library runs.  There is no lock: the
// host calls the library from one thread at a time.
#ifndef LUMETRA_API_STATE_H
#define LUMETRA_API_STATE_H

#include <cstdint>

#include "engine/qx_sensor.h"

// Engine objects the library holds between calls (opaque here).
struct qx_algorithm;
struct qx_template;
struct qx_image;
struct qx_multitemplate_enroll;

namespace lumetra::api {

// Capacity of the stored base frame, in 16-bit values.
inline constexpr int kBaseFrameValues = 25600;
// Size of the stored sensor parameter block, in bytes.
inline constexpr int kSensorParamBytes = 48;
// Number of stored correction factors.
inline constexpr int kFactorCount = 7;

// Host-visible parameters, with their widths and defaults at load.
struct Parameters {
  std::int32_t sensor_col = 88;
  std::int32_t sensor_row = 88;
  std::int32_t image_col = 88;
  std::int32_t image_row = 88;
  std::uint8_t alg_max_tpl_count = 0;
  std::uint8_t sensor_max_tpl_count = 8;
  std::uint32_t far_val = 12;           // FAR index, 0..255
  std::int32_t dyn_update_flg = 0;      // init_nerio_algorithm sets it to 1
  std::uint32_t dyn_update_far_val = 18;
  std::int32_t max_nbr_subtemplate = 0; // read by init_nerio_algorithm
  std::int32_t transfer_bytes_max = 1014;
  std::uint8_t enroll_progress = 0;
  std::uint8_t enroll_event = 0;
};

// What the sensor-side entry points store.  Nothing reads it back through
// the exports; it is kept so that hosts driving those names keep working.
struct SensorSideStore {
  std::uint8_t sensor_param[kSensorParamBytes] = {};
  std::int32_t factors[kFactorCount] = {};
  std::uint16_t base_frame[kBaseFrameValues] = {};
};

// Every image the library builds from a host's pixels: the library's 500
// dpi both ways (engine/qx_sensor.h), impression type 0.
inline constexpr int kResolutionDpi = QX_LIBRARY_DPI;
inline constexpr std::int32_t kImpressionType = 0;

// Number of template slots.
inline constexpr int kSlotCount = 5;

// The working-image sizes a slot's template records in its dimension
// blocks (every subtemplate's, for a multi-template), summarised so that
// a verification can tell a template of another sensor without decoding
// it.  Found when the template is loaded, dropped when it is released;
// `of` names the template they were found for (none: not known yet).
struct SlotSizes {
  enum Kind : std::uint8_t {
    kNoSize,   // no dimension block could be read: cannot be told apart
    kOneSize,  // every block that could be read records rows x cols
    kSeveral,  // blocks record different sizes
  };
  const qx_template *of = nullptr;
  Kind kind = kNoSize;
  std::int32_t rows = 0, cols = 0;
};

// Engine objects owned by the library from init_nerio_algorithm until
// uninit_nerio_algorithm (the enrollment session until it is saved or
// cancelled).  Each is present or absent (nullptr); the library holds one
// reference to each present object.
struct EngineObjects {
  qx_algorithm *algorithm = nullptr;
  qx_multitemplate_enroll *enroll_session = nullptr;
  qx_template *slot_template[kSlotCount] = {};
  // What verification needs of each slot's template (api/slots.cpp).
  SlotSizes slot_sizes[kSlotCount] = {};
  // The enrollment canvas: the library never makes one, but uninit
  // releases it all the same.
  qx_image *enroll_canvas = nullptr;
};

// The slot store: one flash-like sector per slot.  All bytes are 0 at
// load; the sector rules (erase to 0xFF, program without setting bits)
// live in api/slots.cpp.
inline constexpr int kSectorBytes = 0x8000;
struct SlotStore {
  std::uint8_t sector[kSlotCount][kSectorBytes] = {};
};

// State of verification kept between calls.
struct VerifyState {
  // Consecutive calls whose acceptance came only from the looser second
  // try (whole-set modes); never reset by init or uninit.
  std::uint8_t retry_accept_count = 0;
};

struct State {
  Parameters params;
  SensorSideStore sensor;
  EngineObjects engine;
  SlotStore slots;
  VerifyState verify;
};

extern constinit State g_state;

// Longest sensor side the library takes (LUMETRA_MAX_SENSOR_SIDE).
inline constexpr int kMaxSensorSide = 2048;

// A new engine image of the sensor's geometry (sensor_row x sensor_col,
// 500 dpi, impression type 0) holding a copy of the host's pixels; none
// when pixels is null, the geometry is unusable (a side outside
// 1..kMaxSensorSide) or memory runs out.
qx_image *create_sensor_image(const unsigned char *pixels);

// rows x cols of the current sensor geometry, or -1 when the product is
// negative or does not fit a 32-bit int (the base frame's count).
int sensor_pixel_count();

// Bytes of a sensor image of the current geometry, or -1 when a side is
// negative or longer than kMaxSensorSide (0 when a side is 0).
int sensor_image_bytes();

// Sensor-size code of the current sensor geometry, or -1 when no image of
// that geometry can be made (a side outside 1..kMaxSensorSide).
int sensor_size_code();

// Whether images of the current sensor geometry are ones the algorithm's
// configuration serves: a usable geometry of the configuration's sensor-
// size code.  False without an algorithm.
bool sensor_served();

}  // namespace lumetra::api

#endif  // LUMETRA_API_STATE_H
