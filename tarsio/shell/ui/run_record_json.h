// The run record in JSON (Qt's JSON classes): one document per run in
// TestResult/runs/<date>T<time>-<run>.json and the same record as one line
// of the append-only TestResult/runs.jsonl; and the summary of a station's
// records (tarsio --summary DIR).  The schema is in tarsio(1).
#pragma once

#include <QJsonObject>
#include <QString>

#include "shell/run_record.h"

namespace tarsio::shell::ui {

inline constexpr int kRunRecordSchema = 1;

QJsonObject run_record_json(const RunRecord &record);

// Writes both forms under the program's TestResult folder; a file that
// cannot be written is logged.  The path of the document ("" when it was
// not written).
std::string write_run_record(const RunRecord &record);

// Yield per item and the last failures of the records in DIR's
// TestResult/runs.jsonl (DIR may also be the TestResult folder or the file
// itself), as text or JSON on standard output.  0, or 2 when there is no
// record file to read.
int print_run_summary(const QString &dir, bool json);

}  // namespace tarsio::shell::ui
