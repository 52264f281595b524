// The bad-pixel analysis of one raw frame, without any device: statistics of
// the measured region, classification of every pixel (bad, average-bad or
// good), local groups of bad pixels, the verdict against the model's limits,
// and the texts the station writes about it (pixel matrix, position list,
// summary line, summary record, report block).
//
// The frame is given as the values the analysis sees, that is after the
// per-model scaling (see analysis_values()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "shell/config.h"

namespace tarsio::tests {

// Capacity of the two bad-pixel position tables.  Further bad pixels are
// still counted and appear in the texts, but only the first kBadTableSize
// take part in the local-group computation.
inline constexpr std::size_t kBadTableSize = 9216;

// The statistics start values: the reported minimum never exceeds 1024.
inline constexpr uint16_t kMinimumStart = 1024;

struct BadPixelPosition {
  uint16_t row;  // 0-based
  uint16_t col;  // 0-based
};

struct BadPixelAnalysis {
  // Region actually measured (0-based, inclusive), and its pixel count.
  int first_row = 0, last_row = -1, first_col = 0, last_col = -1;
  long measured = 0;

  float sum = 0.0f;
  float average = 0.0f;
  uint16_t minimum = kMinimumStart;
  uint16_t maximum = 0;

  int all_bad = 0;        // every bad pixel, also beyond the table
  int avg_bad = 0;
  int largest_group = 0;  // 0 without bad pixels
  std::vector<BadPixelPosition> positions;  // at most kBadTableSize, scan order

  bool pass = false;

  std::string matrix;         // header line, column header and one line per row
  std::string position_list;  // "\r\nRnn,\t" and the row's entries, per marked row
  std::string summary;        // "\r\nSensorBadTest all bad is: ..."
  std::string report;         // matrix + summary (+ position list on a fail)
};

// The values the analysis sees: on sensor types 2 and 3 every value is
// halved (with the acquisition's shift by 4 a raw byte v becomes 8 v).
std::vector<uint16_t> analysis_values(const uint16_t* frame, std::size_t count, int sensor_type);

// Analyses the W x H frame (row by row, W values per row) against the limits
// and borders of `limits`.  `frame` must hold at least width * height values;
// with fewer, only the values present are measured.
//
// Borders that reach outside the frame are clamped to it.  A region without
// any pixel measures nothing: average 0, no bad pixel, and the verdict is a
// fail, because nothing was shown to be good.
BadPixelAnalysis SensorVoidScanBadAnalyse(const uint16_t* frame, std::size_t count, int width, int height,
                                         const shell::BadTestConfig& limits);

// The largest local group over the given positions: for every bad pixel, 1
// plus the other bad pixels closer than row_limit rows and col_limit columns.
int largest_local_group(const std::vector<BadPixelPosition>& positions, int row_limit, int col_limit);

// One line of TestResult/SensorBadtest.txt: "%d,%d,%0.2f,%d,%d,%d\n".
std::string summary_record(const BadPixelAnalysis& a);

// Name of the model in report file names: "NONE", "KM3101W" .. "KM3107W" for
// types 0..7, "NONE" for any type outside the table.
const char* sensor_type_name(int32_t sensor_type);

// "Sensorbadtest_<model>.csv" (format 1) or ".txt" (format 2); empty for any
// other format.
std::string report_file_name(int format, int32_t sensor_type);

// Header line of a report block: type 1 stamps the local time
// ("TestTime:2026_03_04_05_06_07\n"), every other type the sensor id
// ("\nSensorID:<id>\n").
std::string report_time_header(int year, int month, int day, int hour, int minute, int second);
std::string report_id_header(const std::string& sensor_id);

// The block appended to a report file: header, report text, verdict line.
std::string report_block(const std::string& header, const BadPixelAnalysis& a);

}  // namespace tarsio::tests
