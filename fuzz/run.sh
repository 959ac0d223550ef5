#!/usr/bin/env bash
# Builds the libFuzzer targets, makes a seed corpus from the golden-case inputs
# and the shared wikitext corpus, and runs each target for a bounded time.
# Exits non-zero on any finding (crash, sanitizer report, leak, invariant
# failure, timeout, out-of-memory) or when the checks' own self-test fails.
#
#   fuzz/run.sh [BUILD_DIR]
#
# Without BUILD_DIR it configures and builds the fuzz preset (build/fuzz).
# With BUILD_DIR it builds the fuzz targets in that already configured
# WTCORE_FUZZ=ON build. Environment:
#   FUZZ_SECONDS  seconds per target (default 60)
#   FUZZ_TARGETS  targets to run (default "html links headings reentrant options extended")
#   FUZZ_MAX_LEN  longest input in bytes; longer documents are split (default 65536)
#   FUZZ_CORPUS   wikitext corpus directory (default ../shared/corpus beside the repository)
# Crashing inputs go to BUILD_DIR/fuzz-artifacts, each target's log to
# BUILD_DIR/fuzz-logs; the inputs each target found interesting are kept in
# BUILD_DIR/fuzz-corpus and reused by the next run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-html links headings reentrant options extended}
max_len=${FUZZ_MAX_LEN:-65536}
corpus=${FUZZ_CORPUS:-$root/../shared/corpus}

if [ $# -ge 1 ]; then
  build=$(cd "$1" && pwd)
else
  (cd "$root" && cmake --preset fuzz >/dev/null)
  build=$root/build/fuzz
fi
build_targets=(make_seeds fuzz_invariants_test)
for t in $targets; do build_targets+=("fuzz_$t"); done
cmake --build "$build" -j2 --target "${build_targets[@]}"

"$build/fuzz/fuzz_invariants_test"

# Seeds: every golden input, then every corpus document (all.wiki is only the
# article folders concatenated, so the folders are taken, not it).
seeds=$build/fuzz-seeds
rm -rf "$seeds"
sources=("$root"/tests/cases/*.txt)
[ -e "${sources[0]}" ] || sources=()
if [ -d "$corpus" ]; then
  for d in "$corpus"/*/; do sources+=("$d"); done
else
  echo "fuzz/run.sh: no corpus at $corpus; seeding from the golden cases only" >&2
fi
"$build/fuzz/make_seeds" "$seeds" "$max_len" "${sources[@]}"

mkdir -p "$build/fuzz-artifacts" "$build/fuzz-logs"
failed=()
for t in $targets; do
  mkdir -p "$build/fuzz-corpus/$t"
  log=$build/fuzz-logs/$t.log
  echo "== fuzz_$t: ${seconds}s"
  if "$build/fuzz/fuzz_$t" "$build/fuzz-corpus/$t" "$seeds" \
       -dict="$root/fuzz/wikitext.dict" -max_len="$max_len" -max_total_time="$seconds" \
       -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$build/fuzz-artifacts/$t-" >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true
    grep -E 'stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true
  else
    echo "fuzz_$t: FINDING (log: $log)"
    grep -E -A 30 '==== invariant failed|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error|SUMMARY' "$log" | head -n 60 || tail -n 40 "$log"
    grep -E 'Test unit written to' "$log" || true
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz/run.sh: findings in: ${failed[*]}" >&2
  echo "reproduce: $build/fuzz/fuzz_<target> <artifact>; minimise: add -minimize_crash=1 -runs=10000" >&2
  exit 1
fi
echo "fuzz/run.sh: no findings in ${targets}"
