#define TARSIO_LOG_SOURCE "keeping"

#include "shell/keeping.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <system_error>
#include <tuple>

#include "shell/config.h"
#include "shell/log.h"
#include "shell/result_paths.h"

namespace tarsio::shell {
namespace {

namespace fs = std::filesystem;

// <yyyy-mm-dd>T<hhmmss>-<run>[-<k>], with ".json" for the document.
const std::regex kRunName(R"(^(\d{4}-\d{2}-\d{2})T(\d{6})-(\d+)(?:-(\d+))?(\.json)?$)");

using RunKey = std::tuple<std::string, std::string, long long, long long>;

}  // namespace

bool rotate_if_larger(const std::string &path, long long limit_bytes, int keep) {
  static constexpr const char *op = "KeepFiles";
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec || !fs::is_regular_file(st)) return false;
  const auto size = fs::file_size(path, ec);
  if (ec || static_cast<long long>(size) <= limit_bytes || keep < 1) return false;
  fs::remove(path + "." + std::to_string(keep), ec);
  for (int k = keep - 1; k >= 1; --k) {
    const std::string from = path + "." + std::to_string(k);
    if (fs::exists(from, ec)) fs::rename(from, path + "." + std::to_string(k + 1), ec);
  }
  fs::rename(path, path + ".1", ec);
  if (ec) {
    TLOG_E(op, "%s passed %lld bytes but could not be kept as %s.1: %s", path.c_str(), limit_bytes,
           path.c_str(), ec.message().c_str());
    return false;
  }
  TLOG_I(op, "%s passed %lld bytes (%llu): kept as %s.1, %d older copies at most", path.c_str(), limit_bytes,
         static_cast<unsigned long long>(size), path.c_str(), keep);
  return true;
}

void rotate_appended_files() {
  const int mib = config_get_checked("common", "RotateSizeMiB", kRotateSizeMiBDefault, 0, 4096);
  const int keep = config_get_checked("common", "RotateKeep", kRotateKeepDefault, 1, 99);
  if (mib == 0) return;
  const long long limit = static_cast<long long>(mib) * 1024 * 1024;
  rotate_if_larger("log/app.log", limit, keep);
  rotate_if_larger(result_path("/SensorBadtest.txt"), limit, keep);
  static const std::regex report(R"(^Sensorbadtest_[^/]*\.(csv|txt)$)");
  for (const char *verdict : {"/Pass", "/Fail"}) {
    std::error_code ec;
    std::vector<std::string> reports;
    for (fs::directory_iterator it(result_path(verdict), ec), end; !ec && it != end; it.increment(ec))
      if (std::regex_match(it->path().filename().string(), report)) reports.push_back(it->path().string());
    std::sort(reports.begin(), reports.end());
    for (const std::string &path : reports) rotate_if_larger(path, limit, keep);
  }
}

std::vector<std::string> run_ids_oldest_first(const std::string &runs_dir) {
  std::map<RunKey, std::string> ids;
  std::error_code ec;
  for (fs::directory_iterator it(runs_dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::smatch m;
    if (!std::regex_match(name, m, kRunName)) continue;
    const bool document = m[5].matched;
    if (document ? !it->is_regular_file(ec) : !it->is_directory(ec)) continue;
    const RunKey key{m[1].str(), m[2].str(), std::stoll(m[3].str()), m[4].matched ? std::stoll(m[4].str()) : 1};
    ids.emplace(key, document ? name.substr(0, name.size() - 5) : name);
  }
  std::vector<std::string> out;
  for (auto &[key, id] : ids) out.push_back(id);
  return out;
}

void prune_run_folders() {
  static constexpr const char *op = "KeepFiles";
  const int keep_runs = config_get_checked("common", "KeepRuns", kKeepRunsDefault, 0, 1000000);
  if (keep_runs == 0) return;
  const std::string dir = result_path("/runs");
  const std::vector<std::string> ids = run_ids_oldest_first(dir);
  // The run about to start makes its own folder: room is left for it.
  const std::size_t room = static_cast<std::size_t>(keep_runs - 1);
  if (ids.size() <= room) return;
  const std::size_t drop = ids.size() - room;
  std::size_t removed = 0;
  for (std::size_t i = 0; i < drop; ++i) {
    std::error_code ec_doc, ec_dir;
    fs::remove(dir + "/" + ids[i] + ".json", ec_doc);
    fs::remove_all(dir + "/" + ids[i], ec_dir);
    if (ec_doc || ec_dir) TLOG_E(op, "run %s in %s could not be removed", ids[i].c_str(), dir.c_str());
    else ++removed;
  }
  TLOG_I(op, "%zu oldest runs removed from %s (KeepRuns %d; runs.jsonl keeps their records), from %s to %s",
         removed, dir.c_str(), keep_runs, ids.front().c_str(), ids[drop - 1].c_str());
}

}  // namespace tarsio::shell
