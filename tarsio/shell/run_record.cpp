#include "shell/run_record.h"

#include <cstdio>
#include <ctime>
#include <mutex>

#include <sys/stat.h>

#include "shell/result_paths.h"

namespace tarsio::shell {
namespace {

std::mutex g_lock;
RunRecord g_record;
std::vector<RecordValue> g_measured;

}  // namespace

void record_run_start(int run) {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm local;
  ::localtime_r(&now.tv_sec, &local);
  char date[32], time[32], offset[8];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  std::snprintf(time, sizeof time, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(now.tv_nsec / 1000000));
  std::strftime(offset, sizeof offset, "%z", &local);
  // The run's name: its start to the second and its number, made unique
  // against what an earlier process left in the folder.
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d%02d%02d-%d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, run);
  const std::string runs = result_path("/runs/");
  std::string id = stamp;
  struct stat st;
  for (int k = 2; ::stat((runs + id).c_str(), &st) == 0 || ::stat((runs + id + ".json").c_str(), &st) == 0; ++k)
    id = std::string(stamp) + "-" + std::to_string(k);
  std::lock_guard<std::mutex> guard(g_lock);
  RunRecord fresh;
  fresh.run = run;
  fresh.id = id;
  fresh.date = date;
  fresh.time = time;
  fresh.utc_offset = offset;
  // The module stays what it was: it was opened before the run.
  fresh.hardware_id = g_record.hardware_id;
  fresh.device_path = g_record.device_path;
  fresh.device_type = g_record.device_type;
  g_record = std::move(fresh);
  g_measured.clear();
}

void record_module(const std::string &hardware_id, const std::string &device_path, int device_type) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_record.hardware_id = hardware_id;
  g_record.device_path = device_path;
  g_record.device_type = device_type;
}

void record_sensor(int sensor_type) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_record.sensor_type = sensor_type;
}

void record_sensor_id(const std::string &sensor_id) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_record.sensor_id = sensor_id;
}

void record_measured(std::vector<RecordValue> values) {
  std::lock_guard<std::mutex> guard(g_lock);
  for (auto &v : values) g_measured.push_back(std::move(v));
}

void record_item(const std::string &item, bool pass, std::vector<RecordValue> values) {
  std::lock_guard<std::mutex> guard(g_lock);
  ItemRecord r{item, pass, std::move(g_measured)};
  g_measured.clear();
  for (auto &v : values) r.values.push_back(std::move(v));
  g_record.items.push_back(std::move(r));
}

std::string record_run_folder() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_record.id.empty() ? std::string() : result_path("/runs/" + g_record.id);
}

void record_bitmap(const std::string &path) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_record.bitmaps.push_back(path);
}

RunRecord record_snapshot() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_record;
}

}  // namespace tarsio::shell
