#!/usr/bin/env bash
# Long fuzzing runs, beyond CI's 20 seconds per target:
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
#
# builds every libFuzzer target with clang (into build-fuzz/, or BUILD_DIR)
# and runs each (or the named ones: stored_record or fuzz_stored_record)
# for SECONDS seconds (default 600).  Each target keeps its corpus across
# runs in ${FUZZ_CORPUS_DIR:-$HOME/.cache/lumetra-fuzz}/TARGET, outside the
# repository, and starts from it plus the seeds CI uses (test/fuzz/corpus/
# TARGET, and the seeds the build generates in build-fuzz/test/fuzz/
# TARGET.seeds).  A crash or a failed check is saved as
# .../TARGET.crashes/crash-* (its log beside it in TARGET.log); the script
# goes on with the other targets and exits 1 when any failed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
[ $# -gt 0 ] && shift
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: scripts/fuzz.sh [SECONDS] [TARGET...]" >&2
  exit 2
fi
build=${BUILD_DIR:-build-fuzz}
corpora=${FUZZ_CORPUS_DIR:-$HOME/.cache/lumetra-fuzz}

CC=${CC:-clang-14} CXX=${CXX:-clang++-14} cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARSIO_FUZZ=ON -DBUILD_TESTING=OFF -DTARSIO_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_all -j "${JOBS:-$(nproc)}"

targets=()
if [ $# -gt 0 ]; then
  for t in "$@"; do targets+=("${t#fuzz_}"); done
else
  for exe in "$build"/test/fuzz/fuzz_*; do
    [ -x "$exe" ] && [ -f "$exe" ] && targets+=("$(basename "$exe" | sed 's/^fuzz_//')")
  done
fi

failed=()
for t in "${targets[@]}"; do
  exe=$build/test/fuzz/fuzz_$t
  if [ ! -x "$exe" ]; then
    echo "fuzz.sh: no fuzz target $t" >&2
    failed+=("$t")
    continue
  fi
  corpus=$corpora/$t
  crashes=$corpora/$t.crashes
  mkdir -p "$corpus" "$crashes"
  seeds=()
  [ -d "test/fuzz/corpus/$t" ] && seeds+=("test/fuzz/corpus/$t")
  [ -d "$build/test/fuzz/$t.seeds" ] && seeds+=("$build/test/fuzz/$t.seeds")
  echo "== $t: ${seconds} s, corpus $corpus ($(ls "$corpus" | wc -l) inputs)"
  if "$exe" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$crashes/" "$corpus" "${seeds[@]}" >"$corpora/$t.log" 2>&1; then
    echo "   $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$corpora/$t.log" | awk '{print $2}') runs, corpus now $(ls "$corpus" | wc -l) inputs"
  else
    echo "   FAILED: see $corpora/$t.log and $crashes/" >&2
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz.sh: ${#targets[@]} targets ran ${seconds} s each without a failure"
