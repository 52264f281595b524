// Bounded keeping of what the station leaves behind.  The log and the
// bad-pixel record and reports are appended to for ever, and the raw-frame
// bitmaps are overwritten by every run: beside them the station keeps
//  - older copies of an appended file that passed a size limit, numbered
//    (app.log.1 is the newest older one), taken at start-up only, so that
//    no run is split across two files;
//  - each run's bitmaps in its run record's folder (TestResult/runs/<id>/),
//    of which a bounded number of the newest runs is kept.
// The limits are keys of [common] (see tarsio(1)).
#pragma once

#include <string>
#include <vector>

namespace tarsio::shell {

inline constexpr int kRotateSizeMiBDefault = 10;  // RotateSizeMiB, 0 = never
inline constexpr int kRotateKeepDefault = 5;      // RotateKeep, older copies kept
inline constexpr int kKeepRunsDefault = 1000;     // KeepRuns, 0 = all

// Renames `path` to `path`.1 (and each older copy k to k + 1, dropping the
// copy numbered `keep`) when it is larger than `limit_bytes`; logs the
// rotation.  True when it was rotated.
bool rotate_if_larger(const std::string &path, long long limit_bytes, int keep);

// At start-up, before any run: rotates log/app.log (relative to the current
// directory, as the log itself), TestResult/SensorBadtest.txt and the
// pixel reports TestResult/Pass|Fail/Sensorbadtest_*.csv|txt under the
// program's directory that passed RotateSizeMiB.
void rotate_appended_files();

// The run folders and run documents of TestResult/runs, oldest first (by
// the date, time and numbers of their names; other names are not runs).
std::vector<std::string> run_ids_oldest_first(const std::string &runs_dir);

// Before a run makes its folder: removes the oldest runs (document and
// folder) so that at most KeepRuns - 1 remain; logs how many went.
void prune_run_folders();

}  // namespace tarsio::shell
