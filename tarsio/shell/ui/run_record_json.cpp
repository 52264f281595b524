#define TARSIO_LOG_SOURCE "runrecord"

#include "shell/ui/run_record_json.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "shell/log.h"
#include "shell/result_paths.h"

namespace tarsio::shell::ui {
namespace {

// The items in the order of the sequence.
constexpr const char *kItems[] = {"int_pin", "driver_version", "sensor_fw_version",
                                  "usb_fw_version", "bad_pixels", "scene"};

QJsonValue text_or_null(const std::string &text) {
  return text.empty() ? QJsonValue(QJsonValue::Null) : QJsonValue(QString::fromStdString(text));
}

// The record's paths are relative to the station directory (the program's).
std::string station_relative(const std::string &path) {
  const std::string base = program_dir() + "/";
  return path.rfind(base, 0) == 0 ? path.substr(base.size()) : path;
}

void print(const QString &text) { std::fputs(text.toUtf8().constData(), stdout); }

QString percent(int part, int whole) {
  return whole == 0 ? QStringLiteral("-") : QString::number(100.0 * part / whole, 'f', 1) + QStringLiteral(" %");
}

}  // namespace

QJsonObject run_record_json(const RunRecord &r) {
  QJsonObject module;
  module["hardware_id"] = text_or_null(r.hardware_id);
  module["device_path"] = text_or_null(r.device_path);
  module["bus"] = r.device_type == 1 ? QJsonValue("USB") : r.device_type == 2 ? QJsonValue("SPI") : QJsonValue();
  module["sensor_type"] = r.sensor_type == 0 ? QJsonValue() : QJsonValue(r.sensor_type);
  module["sensor_id"] = text_or_null(r.sensor_id);
  QJsonArray items;
  for (const ItemRecord &item : r.items) {
    QJsonObject o;
    o["item"] = QString::fromStdString(item.item);
    o["verdict"] = item.pass ? "pass" : "fail";
    for (const RecordValue &v : item.values) {
      const QString key = QString::fromStdString(v.key);
      if (const auto *n = std::get_if<long long>(&v.value)) o[key] = static_cast<qint64>(*n);
      else o[key] = QString::fromStdString(std::get<std::string>(v.value));
    }
    items.append(o);
  }
  QJsonObject o;
  o["schema"] = kRunRecordSchema;
  o["program"] = "tarsio";
  o["version"] = TARSIO_VERSION;
  o["run"] = r.run;
  o["run_id"] = text_or_null(r.id);
  o["date"] = QString::fromStdString(r.date);
  o["time"] = QString::fromStdString(r.time);
  o["utc_offset"] = QString::fromStdString(r.utc_offset);
  o["module"] = module;
  o["items"] = items;
  QJsonArray bitmaps;
  for (const std::string &b : r.bitmaps) bitmaps.append(QString::fromStdString(station_relative(b)));
  o["bitmaps"] = bitmaps;
  o["verdict"] = r.pass ? "pass" : "fail";
  o["reason"] = text_or_null(r.reason);
  o["result_file"] = text_or_null(r.result_file.empty() ? r.result_file : station_relative(r.result_file));
  o["exit_code"] = r.exit_code;
  return o;
}

std::string write_run_record(const RunRecord &record) {
  static constexpr const char *op = "WriteRunRecord";
  const QJsonObject o = run_record_json(record);
  const std::string dir = result_path("/runs");
  // The run's name was made unique when it started; its folder holds its
  // bitmaps.
  const std::string id = record.id.empty() ? std::string("run-") + std::to_string(record.run) : record.id;
  std::string path = dir + "/" + id + ".json";
  for (int k = 2; QFileInfo::exists(QString::fromStdString(path)); ++k)
    path = dir + "/" + id + "-" + std::to_string(k) + ".json";
  const QByteArray doc = QJsonDocument(o).toJson(QJsonDocument::Indented);
  const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact) + "\n";
  bool written = ensure_directory(dir) && replace_file(path, doc.toStdString());
  if (!written) {
    TLOG_E(op, "run record %s not written", path.c_str());
    path.clear();
  }
  const std::string journal = result_path("/runs.jsonl");
  if (!append_text_file(journal, line.toStdString())) TLOG_E(op, "run record not added to %s", journal.c_str());
  if (written) TLOG_I(op, "run record %s", station_relative(path).c_str());
  return path;
}

int print_run_summary(const QString &dir, bool json) {
  QString path = dir;
  const QFileInfo info(dir);
  if (info.isDir()) {
    path = QDir(dir).filePath(QStringLiteral("TestResult/runs.jsonl"));
    if (!QFileInfo::exists(path)) path = QDir(dir).filePath(QStringLiteral("runs.jsonl"));
  }
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "tarsio: %s: no run record (%s)\n", path.toUtf8().constData(),
                 file.errorString().toUtf8().constData());
    return 2;
  }
  int runs = 0, passed = 0, unreadable = 0;
  std::map<QString, std::pair<int, int>> per_item;  // tested, passed
  std::vector<QJsonObject> failures;
  while (!file.atEnd()) {
    const QByteArray line = file.readLine().trimmed();
    if (line.isEmpty()) continue;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject() || !doc.object().contains("verdict")) {
      ++unreadable;
      continue;
    }
    const QJsonObject r = doc.object();
    ++runs;
    const bool pass = r["verdict"].toString() == "pass";
    passed += pass;
    QString failed_item;
    for (const QJsonValue &v : r["items"].toArray()) {
      const QJsonObject item = v.toObject();
      const QString name = item["item"].toString();
      auto &counts = per_item[name];
      ++counts.first;
      if (item["verdict"].toString() == "pass") ++counts.second;
      else if (failed_item.isEmpty()) failed_item = name;
    }
    if (!pass) {
      QJsonObject f;
      f["date"] = r["date"];
      f["time"] = r["time"];
      f["hardware_id"] = r["module"].toObject()["hardware_id"];
      f["failed_item"] = failed_item.isEmpty() ? QJsonValue() : QJsonValue(failed_item);
      f["reason"] = r["reason"];
      f["result_file"] = r["result_file"];
      f["exit_code"] = r["exit_code"];
      failures.push_back(f);
    }
  }
  constexpr std::size_t kLastFailures = 10;
  QJsonArray last;
  for (auto it = failures.rbegin(); it != failures.rend() && static_cast<std::size_t>(last.size()) < kLastFailures;
       ++it)
    last.append(*it);
  QJsonArray items;
  std::vector<QString> order(std::begin(kItems), std::end(kItems));
  for (const auto &[name, counts] : per_item)
    if (std::find(order.begin(), order.end(), name) == order.end()) order.push_back(name);
  for (const QString &name : order) {
    const auto it = per_item.find(name);
    if (it == per_item.end()) continue;
    QJsonObject o;
    o["item"] = name;
    o["tested"] = it->second.first;
    o["passed"] = it->second.second;
    o["yield"] = it->second.first == 0 ? 0.0 : static_cast<double>(it->second.second) / it->second.first;
    items.append(o);
  }
  if (json) {
    QJsonObject o;
    o["record_file"] = path;
    o["runs"] = runs;
    o["passed"] = passed;
    o["yield"] = runs == 0 ? 0.0 : static_cast<double>(passed) / runs;
    o["items"] = items;
    o["last_failures"] = last;
    o["unreadable_lines"] = unreadable;
    print(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Indented)));
    return 0;
  }
  print(QStringLiteral("%1: %2 runs, %3 passed (%4)\n").arg(path).arg(runs).arg(passed).arg(percent(passed, runs)));
  print(QStringLiteral("%1 %2 %3  %4\n").arg("item", -18).arg("tested", 7).arg("passed", 7).arg("yield"));
  for (const QJsonValue &v : items) {
    const QJsonObject o = v.toObject();
    print(QStringLiteral("%1 %2 %3  %4\n")
              .arg(o["item"].toString(), -18)
              .arg(o["tested"].toInt(), 7)
              .arg(o["passed"].toInt(), 7)
              .arg(percent(o["passed"].toInt(), o["tested"].toInt())));
  }
  if (!last.isEmpty()) print(QStringLiteral("last failures (newest first):\n"));
  for (const QJsonValue &v : last) {
    const QJsonObject f = v.toObject();
    const QString what = f["failed_item"].isString() ? f["failed_item"].toString() : f["reason"].toString();
    print(QStringLiteral("  %1 %2  %3  %4\n")
              .arg(f["date"].toString(), f["time"].toString(),
                   f["hardware_id"].isString() ? f["hardware_id"].toString() : QStringLiteral("(no module)"), what));
  }
  if (unreadable > 0) print(QStringLiteral("%1 unreadable lines skipped\n").arg(unreadable));
  return 0;
}

}  // namespace tarsio::shell::ui
