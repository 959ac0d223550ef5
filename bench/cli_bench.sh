#!/bin/sh
# End-to-end figures of the tool tarnwick-wikitext, run as a process:
#  1. peak memory (maximum resident set) of -s --toc on all.wiki repeated to
#     100 MB, against the goal input + 3 x output;
#  2. time of -o FILE on all.wiki against cat all.wiki all.wiki > FILE on the
#     same disk, goal at most 2.5 x; the best of RUNS runs of each
#     (default 15).
#   bench/cli_bench.sh [TOOL] [CORPUS_DIR]
# Needs GNU time (/usr/bin/time, Debian: time). Writes into a temporary folder
# beside the build (BENCH_DIR, default build/cli-bench) and removes it after.
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
tool=${1:-$src/build/default/cli/tarnwick-wikitext}
corpus=${2:-${WTCORE_CORPUS:-$src/../shared/corpus}}
runs=${RUNS:-15}
dir=${BENCH_DIR:-$src/build/cli-bench}
[ -x "$tool" ] || { echo "no tool at $tool (cmake --workflow --preset default)"; exit 1; }
[ -f "$corpus/all.wiki" ] || { echo "no corpus at $corpus"; exit 1; }
[ -x /usr/bin/time ] || { echo "needs GNU time at /usr/bin/time (Debian: time)"; exit 1; }
mkdir -p "$dir"
trap 'rm -rf "$dir"' EXIT
all=$corpus/all.wiki
echo "load: $(uptime)"

# 1. Peak memory of -s --toc on 100 MB.
big=$dir/big.wiki
: >"$big"
while [ "$(stat -c %s "$big")" -lt 100000000 ]; do cat "$all" >>"$big"; done
in_bytes=$(stat -c %s "$big")
/usr/bin/time -f %M -o "$dir/rss" "$tool" -s --toc -o "$dir/big.html" "$big"
out_bytes=$(stat -c %s "$dir/big.html")
rss_kb=$(cat "$dir/rss")
awk -v i="$in_bytes" -v o="$out_bytes" -v r="$rss_kb" 'BEGIN {
    peak = r * 1024; goal = i + 3 * o
    printf "-s --toc on %.1f MB: output %.1f MB, peak RSS %.1f MB, goal input + 3 x output = %.1f MB: %s (%.2f x input + output)\n",
        i / 1e6, o / 1e6, peak / 1e6, goal / 1e6, peak <= goal ? "met" : "NOT met", peak / (i + o) }'
rm -f "$big" "$dir/big.html"

# 2. Time of -o FILE against cat of the input twice: wall-clock time of each
# process in milliseconds, alternating the two, best and median of $runs.
ms() {
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    echo $(((end - start) / 1000))
}
: >"$dir/t-tool"
: >"$dir/t-cat"
i=0
while [ $i -lt "$runs" ]; do
    ms "$tool" -o "$dir/out.html" "$all" >>"$dir/t-tool"
    ms sh -c 'cat "$1" "$1" >"$2"' sh "$all" "$dir/cat.out" >>"$dir/t-cat"
    i=$((i + 1))
done
stats() { sort -n "$1" | awk '{ v[NR] = $1 } END { printf "%.1f %.1f", v[1] / 1000, v[int((NR + 1) / 2)] / 1000 }'; }
set -- $(stats "$dir/t-tool") $(stats "$dir/t-cat")
awk -v tb="$1" -v tm="$2" -v cb="$3" -v cm="$4" -v n="$runs" 'BEGIN {
    printf "-o FILE on all.wiki: best %.1f ms, median %.1f ms; cat all.wiki all.wiki > FILE: best %.1f ms, median %.1f ms (%d runs)\n", tb, tm, cb, cm, n
    printf "ratio of best times %.2f, of medians %.2f; goal <= 2.5: %s\n", tb / cb, tm / cm, tb / cb <= 2.5 ? "met" : "NOT met" }'
