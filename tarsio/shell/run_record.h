// The run record: for every run, what a line needs to trace it afterwards
// (when, which module, each item's verdict with what it measured and the
// limit it was held to, the result file, the exit code).  The items add to
// it as they run; the program writes it beside the design's result files
// (TestResult/runs/ and TestResult/runs.jsonl, see tarsio(1)).
//
// One record per process at a time, shared by the dialog thread and the
// scene-test worker under its own lock.
#pragma once

#include <functional>
#include <string>
#include <variant>
#include <vector>

namespace tarsio::shell {

struct RecordValue {
  std::string key;
  std::variant<long long, std::string> value;
};

struct ItemRecord {
  std::string item;  // int_pin, driver_version, sensor_fw_version, usb_fw_version, bad_pixels, scene
  bool pass = false;
  std::vector<RecordValue> values;
};

struct RunRecord {
  int run = 0;              // the run's number since the program started (1, 2, ...)
  std::string id;           // <yyyy-mm-dd>T<hhmmss>-<run>[-<k>]: the name of its document and folder
  std::string date;         // local date and time of the run's start: 2026-12-10
  std::string time;         // 12:05:31.042
  std::string utc_offset;   // +0100
  std::string hardware_id;  // of the module opened ("" unknown)
  std::string device_path;
  int device_type = 0;      // 1 USB, 2 SPI, 0 none
  int sensor_type = 0;      // from the sensor information (0 not read)
  std::string sensor_id;    // read by the bad-pixel report ("" not read)
  std::vector<ItemRecord> items;
  std::vector<std::string> bitmaps;  // the run's own copies of its raw frames
  bool pass = false;
  std::string reason;       // why a run without a failing item is a fail
  std::string result_file;  // "" when none was written
  int exit_code = 21;
};

// Starts the record of a new run: number, date and time, nothing else.
void record_run_start(int run);
void record_module(const std::string &hardware_id, const std::string &device_path, int device_type);
void record_sensor(int sensor_type);
void record_sensor_id(const std::string &sensor_id);
// Values measured by the item under way, kept until its verdict.
void record_measured(std::vector<RecordValue> values);
// The verdict of an item, with the values measured for it.
void record_item(const std::string &item, bool pass, std::vector<RecordValue> values = {});
// The run's folder under the program's TestResult/runs (the bitmaps the
// run keeps; "" outside a run), and one bitmap kept there.
std::string record_run_folder();
void record_bitmap(const std::string &path);
// A copy of the record so far.
RunRecord record_snapshot();

}  // namespace tarsio::shell
