#include "tests/badpixel_analysis.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace tarsio::tests {
namespace {

void append_format(std::string* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void append_format(std::string* out, const char* fmt, ...) {
  char buffer[256];
  va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(buffer, sizeof buffer, fmt, args);
  va_end(args);
  if (n > 0) out->append(buffer, static_cast<std::size_t>(std::min<int>(n, sizeof buffer - 1)));
}

constexpr const char* kTypeNames[8] = {"NONE",    "KM3101W", "KM3102W", "KM3103W",
                                       "KM3104W", "KM3105W", "KM3106W", "KM3107W"};

}  // namespace

std::vector<uint16_t> analysis_values(const uint16_t* frame, std::size_t count, int sensor_type) {
  std::vector<uint16_t> values(frame, frame + count);
  if (sensor_type == 2 || sensor_type == 3)
    for (auto& v : values) v = static_cast<uint16_t>(v >> 1);
  return values;
}

int largest_local_group(const std::vector<BadPixelPosition>& positions, int row_limit, int col_limit) {
  int largest = 0;
  for (std::size_t k = 0; k < positions.size(); ++k) {
    int group = 1;
    for (std::size_t l = 0; l < positions.size(); ++l) {
      if (l == k) continue;
      if (std::abs(positions[k].row - positions[l].row) < row_limit &&
          std::abs(positions[k].col - positions[l].col) < col_limit)
        ++group;
    }
    if (group > largest) largest = group;
  }
  return largest;
}

BadPixelAnalysis SensorVoidScanBadAnalyse(const uint16_t* frame, std::size_t count, int width, int height,
                                         const shell::BadTestConfig& limits) {
  BadPixelAnalysis a;
  if (frame == nullptr || width < 0 || height < 0) count = 0;
  // The measured region, kept inside the frame and inside the values given:
  // a border that is negative or larger than the frame can never send the
  // scan outside the buffer.
  const long rows_present = width > 0 ? static_cast<long>(std::min<std::size_t>(count / static_cast<std::size_t>(width),
                                                                                static_cast<std::size_t>(height)))
                                      : 0;
  a.first_row = std::max(limits.screen_t, 0);
  a.last_row = static_cast<int>(std::min<long>(static_cast<long>(height) - limits.screen_b - 1, rows_present - 1));
  a.first_col = std::max(limits.screen_l, 0);
  a.last_col = std::min(width - limits.screen_r - 1, width - 1);
  const bool empty = a.last_row < a.first_row || a.last_col < a.first_col;
  if (empty) {
    a.last_row = a.first_row - 1;
    a.last_col = a.first_col - 1;
  }
  auto at = [&](int r, int c) { return frame[static_cast<std::size_t>(r) * static_cast<std::size_t>(width) + c]; };

  // Statistics pass.
  for (int r = a.first_row; r <= a.last_row; ++r)
    for (int c = a.first_col; c <= a.last_col; ++c) {
      const uint16_t v = at(r, c);
      a.sum += v;
      if (v < a.minimum) a.minimum = v;
      if (v > a.maximum) a.maximum = v;
    }
  // With borders inside the frame this is (W - R - L) x (H - B - T).
  a.measured = empty ? 0 : static_cast<long>(a.last_row - a.first_row + 1) * (a.last_col - a.first_col + 1);
  a.average = a.measured > 0 ? a.sum / static_cast<float>(a.measured) : 0.0f;

  append_format(&a.matrix, "虚拟触摸平均值：%0.2f,最大值是:%d 最小值是:%d", a.average, a.maximum, a.minimum);
  append_format(&a.matrix, "R-C%s\t", "");
  for (int c = a.first_col; c <= a.last_col; ++c) append_format(&a.matrix, "%03d,  ", c + 1);

  // Classification pass.
  const int standard = limits.bad_standard;
  const int offset = limits.standard_offset;
  const float high = static_cast<float>(limits.bad_avg_ratio + 100) * a.average;
  const float low = static_cast<float>(100 - limits.bad_avg_ratio) * a.average;
  for (int r = a.first_row; r <= a.last_row; ++r) {
    append_format(&a.matrix, "\nR%02d,\t", r + 1);
    std::string row_text;
    bool marked = false;
    for (int c = a.first_col; c <= a.last_col; ++c) {
      const int v = at(r, c);
      if (std::abs(v - standard) > offset) {
        ++a.all_bad;
        if (a.positions.size() < kBadTableSize)
          a.positions.push_back({static_cast<uint16_t>(r), static_cast<uint16_t>(c)});
        append_format(&a.matrix, "[%d],  ", v);
        append_format(&row_text, "[%d, %d],  ", c + 1, v);
        marked = true;
      } else if (static_cast<float>(v * 100) > high || low > static_cast<float>(v * 100)) {
        ++a.avg_bad;
        append_format(&a.matrix, "[a%d],  ", v);
        append_format(&row_text, "[a%d, a%d],  ", c + 1, v);
        marked = true;
      } else {
        append_format(&a.matrix, "%d,  ", v);
      }
    }
    if (marked) {
      append_format(&a.position_list, "\r\nR%02d,\t", r + 1);
      a.position_list += row_text;
    }
  }

  a.largest_group = largest_local_group(a.positions, limits.bad_local_row, limits.bad_local_col);
  append_format(&a.summary, "\r\nSensorBadTest all bad is: %d, Local Bad is: %d, avg bad is: %d ", a.all_bad,
                a.largest_group, a.avg_bad);

  a.pass = !empty && a.all_bad <= limits.bad_max_count && a.avg_bad <= limits.bad_avg_control_cnt &&
           a.largest_group <= limits.small_bad_max_count;
  a.report = a.matrix + a.summary;
  if (!a.pass) a.report += "SensorBadTest Bad Position:" + a.position_list;
  return a;
}

std::string summary_record(const BadPixelAnalysis& a) {
  std::string line;
  append_format(&line, "%d,%d,%0.2f,%d,%d,%d\n", a.all_bad, a.largest_group, a.average, a.avg_bad, a.maximum,
                a.minimum);
  return line;
}

const char* sensor_type_name(int32_t sensor_type) {
  return sensor_type >= 0 && sensor_type < 8 ? kTypeNames[sensor_type] : kTypeNames[0];
}

std::string report_file_name(int format, int32_t sensor_type) {
  std::string name;
  if (format == 1)
    append_format(&name, "Sensorbadtest_%s.csv", sensor_type_name(sensor_type));
  else if (format == 2)
    append_format(&name, "Sensorbadtest_%s.txt", sensor_type_name(sensor_type));
  return name;
}

std::string report_time_header(int year, int month, int day, int hour, int minute, int second) {
  std::string stamp, header;
  append_format(&stamp, "%d_%02d_%02d_%02d_%02d_%02d", year, month, day, hour, minute, second);
  append_format(&header, "TestTime:%s\n", stamp.c_str());
  return header;
}

std::string report_id_header(const std::string& sensor_id) { return "\nSensorID:" + sensor_id + "\n"; }

std::string report_block(const std::string& header, const BadPixelAnalysis& a) {
  return header + a.report + (a.pass ? "\r\nTest Result OK\r\n" : "\r\nTest Result NG\r\n");
}

}  // namespace tarsio::tests
