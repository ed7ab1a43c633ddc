#!/usr/bin/env bash
# Measures tervane-cli watch under load: a writer puts files into the watched
# tree at 100, 1,000 and 10,000 files a second (half of them infected), and the
# table gives, per backend (fanotify as root, inotify always), the infected
# files missed, the latency from each file's close to its report (the report's
# own time), the watcher's CPU while writing and while idle, and its peak
# memory. Then what an intruder tries (bench/watchintruder.py), with the same
# columns: pages written through their other names outside the tree, new and
# renamed folders during an overflow, and writers that never close. Then the
# start-up walk over 100,000 folders: its time and memory with inotify and,
# as root, with fanotify.
#
#   bench/watch.sh            (the full run, for a quiet machine)
#   bench/watch.sh --short    (a minute or two: that it runs, no figures)
#
# Environment: TERVANE_BENCH_DIR (default /tmp/tervane-watch-bench),
# TERVANE_WATCH_SECONDS (seconds of writing per rate; default 30),
# TERVANE_WATCH_RATES (default "100 1000 10000"), TERVANE_WATCH_FOLDERS
# (default 100000), TERVANE_BENCH_BUILD (build folder; default build).
# Prints the table and writes it to bench/watch-results.md, for RESULTS.md.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
source tools/deps.sh
tervane_install_deps python3
build=${TERVANE_BENCH_BUILD:-build}
dir=${TERVANE_BENCH_DIR:-/tmp/tervane-watch-bench}
seconds=${TERVANE_WATCH_SECONDS:-30}
rates=${TERVANE_WATCH_RATES:-100 1000 10000}
folders=${TERVANE_WATCH_FOLDERS:-100000}
intruders=200  # pages per intruder's row
results=$repo/bench/watch-results.md
if [ "${1:-}" = --short ]; then
  seconds=2 rates=100 folders=2000 intruders=10
  results=$dir-short-results.md
fi
sig='<iframe src=http://bench.example/ width=0 height=0></iframe>'

cmake --build "$build" --target tervane-cli tervane-bench-watchload >/dev/null
cli=$repo/$build/cli/tervane-cli
load=$repo/$build/bench/tervane-bench-watchload
ticks=$(getconf CLK_TCK)

rm -rf "$dir"
mkdir -p "$dir"
export XDG_DATA_HOME=$dir/data

# CPU seconds (user + system) a process has used.
cpu() { awk -v t="$ticks" '{ print ($14 + $15) / t }' "/proc/$1/stat"; }
hwm() { awk '/^VmHWM/ { print $2 }' "/proc/$1/status"; }
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }

# Starts a watch; sets $pid. $1: extra options, $2: folder, $3: output prefix.
start_watch() {
  # shellcheck disable=SC2086
  "$cli" watch --json $1 --signature "$sig" --filter '*.php' "$2" >"$3.out" 2>"$3.err" &
  pid=$!
  for _ in $(seq 6000); do
    grep -q 'tervane-cli: watching' "$3.err" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$3.err" >&2
  echo "the watch did not start" >&2
  exit 1
}
stop_watch() {
  kill -TERM "$pid"
  wait "$pid" || true
}

# "missed | overflows | p50 | p99 | max" of a row: $1 the infected files
# written (path, tab, ns), $2 the watch's JSON Lines.
analyse() {
  python3 - "$1" "$2" <<'PY'
import json, sys, datetime
closed = {}
for line in open(sys.argv[1]):
    path, ns = line.rstrip("\n").split("\t")
    closed[path] = int(ns)
found = {}
overflows = 0
for line in open(sys.argv[2]):
    o = json.loads(line)
    if o.get("type") == "overflow":
        overflows += 1
    if o.get("type") != "detection" or o["path"] in found:
        continue
    t = o["time"]
    secs = datetime.datetime.strptime(t[:19], "%Y-%m-%dT%H:%M:%S").replace(
        tzinfo=datetime.timezone.utc).timestamp()
    found[o["path"]] = int(secs) * 10**9 + int(t[20:29])
lat = sorted((found[p] - closed[p]) / 1e6 for p in closed if p in found)
missed = sum(1 for p in closed if p not in found)
def pct(q):
    return lat[min(len(lat) - 1, int(q * len(lat)))] if lat else float("nan")
print(f"{missed} | {overflows} | {pct(0.5):.0f} | {pct(0.99):.0f} | {lat[-1] if lat else float('nan'):.0f}")
PY
}

# Waits until every infected file of $1 (log) is reported in $2 (output), or
# until no scan of the tree is running 30 s after the writing (5 min at most):
# a file lost in an overflow is found by the scan that follows it, later.
await_reports() {
  local expected i started finished
  expected=$(wc -l <"$1")
  for i in $(seq 600); do
    # Each file once: under load a file can be reported twice (its creation and
    # its close tested apart).
    [ "$(grep -o '"path":"[^"]*","size":[0-9]*,"time"' "$2" | sort -u | wc -l)" -ge "$expected" ] && break
    started=$(grep -c '"state":"started"' "$2" || true)
    finished=$(grep -c '"state":"finished"' "$2" || true)
    ((i > 60 && started == finished)) && break
    sleep 0.5
  done
}

backends=(inotify)
[ "$(id -u)" = 0 ] && backends=(fanotify inotify)

rows=()
for backend in "${backends[@]}"; do
  opts=""
  [ "$backend" = inotify ] && opts="--inotify"
  for rate in $rates; do
    tree=$dir/tree-$backend-$rate
    mkdir -p "$tree"
    start_watch "$opts" "$tree" "$dir/$backend-$rate"
    grep -q "($backend" "$dir/$backend-$rate.err" || {
      echo "the watch did not use $backend: $(head -1 "$dir/$backend-$rate.err")" >&2
      exit 1
    }
    # Idle first: nothing written, nothing to do.
    c0=$(cpu "$pid")
    sleep 5
    c1=$(cpu "$pid")
    idle=$(awk -v a="$c0" -v b="$c1" 'BEGIN { printf "%.3f", (b - a) / 5 * 100 }')
    t0=$(date +%s.%N)
    read -r written reached < <("$load" "$tree" "$rate" "$seconds" "$sig" "$dir/$backend-$rate.log")
    expected=$(wc -l <"$dir/$backend-$rate.log")
    await_reports "$dir/$backend-$rate.log" "$dir/$backend-$rate.out"
    c2=$(cpu "$pid")
    t1=$(date +%s.%N)
    busy=$(awk -v a="$c1" -v b="$c2" -v s="$t0" -v e="$t1" 'BEGIN { printf "%.1f", (b - a) / (e - s) * 100 }')
    mem=$(hwm "$pid")
    stop_watch
    row=$(analyse "$dir/$backend-$rate.log" "$dir/$backend-$rate.out")
    rows+=("| $backend | $rate | $reached | $expected | $row | $busy | $idle | $((mem / 1024)) |")
    echo "${rows[-1]}"
    rm -rf "$tree"
  done
done

# --- What an intruder tries ---------------------------------------------------
intruder=$repo/bench/watchintruder.py
intruder_rows=()
for backend in "${backends[@]}"; do
  opts=""
  [ "$backend" = inotify ] && opts="--inotify"
  for mode in links overflow open; do
    tree=$dir/intruder-$backend-$mode
    outside=$dir/outside-$backend-$mode
    at=$dir/$backend-$mode
    mkdir -p "$tree" "$outside"
    case $mode in
      links) python3 "$intruder" prepare-links "$tree" "$outside" "$intruders" 0 "$sig" /dev/null ;;
      overflow) python3 "$intruder" prepare-overflow "$tree" "$outside" "$intruders" 0 "$sig" /dev/null ;;
    esac
    start_watch "$opts" "$tree" "$at"
    c1=$(cpu "$pid")
    t0=$(date +%s.%N)
    # The overflow's writer runs while the watch is stopped (SIGSTOP), so that
    # the queue overflows however fast the watch reads: its latency counts the
    # pause.
    [ "$mode" = overflow ] && kill -STOP "$pid"
    python3 "$intruder" "$mode" "$tree" "$outside" "$intruders" 100 "$sig" "$at.log" &
    writer=$!
    [ "$mode" = open ] || wait "$writer"
    [ "$mode" = overflow ] && kill -CONT "$pid"
    # The open writer holds its pages: its log is whole once it has written them all.
    while [ "$mode" = open ] && [ "$(wc -l 2>/dev/null <"$at.log" || echo 0)" -lt $((2 * intruders)) ]; do
      sleep 0.2
    done
    await_reports "$at.log" "$at.out"
    c2=$(cpu "$pid")
    t1=$(date +%s.%N)
    [ "$mode" = open ] && { kill "$writer"; wait "$writer" || true; }
    busy=$(awk -v a="$c1" -v b="$c2" -v s="$t0" -v e="$t1" 'BEGIN { printf "%.1f", (b - a) / (e - s) * 100 }')
    mem=$(hwm "$pid")
    stop_watch
    intruder_rows+=("| $backend | $mode | $(wc -l <"$at.log") | $(analyse "$at.log" "$at.out") | $busy | $((mem / 1024)) |")
    echo "${intruder_rows[-1]}"
    rm -rf "$tree" "$outside"
  done
done

# --- The start-up walk over many folders -----------------------------------------
tree=$dir/folders
mkdir -p "$tree"
python3 - "$tree" "$folders" <<'PY'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
# 100 top folders of n/100 each, a few levels deep like a site's.
for i in range(n - 1 if n > 1 else 0):
    os.makedirs(f"{root}/s{i % 100:02d}/f{i // 100}", exist_ok=True)
PY
count=$(find "$tree" -type d | wc -l)
t0=$(date +%s.%N)
start_watch --inotify "$tree" "$dir/folders"
t1=$(date +%s.%N)
setup=$(awk -v s="$t0" -v e="$t1" 'BEGIN { printf "%.1f", e - s }')
c0=$(cpu "$pid")
sleep 5
c1=$(cpu "$pid")
idle=$(awk -v a="$c0" -v b="$c1" 'BEGIN { printf "%.3f", (b - a) / 5 * 100 }')
folder_rss=$(rss "$pid")
folder_hwm=$(hwm "$pid")
watched=$(sed -n 's/.*inotify, \([0-9]*\) folders.*/\1/p' "$dir/folders.err")
stop_watch
fanotify_walk=""
if [ "$(id -u)" = 0 ]; then
  # The walk that learns the files with other names, before the first event.
  t0=$(date +%s.%N)
  start_watch "" "$tree" "$dir/folders-fanotify"
  t1=$(date +%s.%N)
  fan_setup=$(awk -v s="$t0" -v e="$t1" 'BEGIN { printf "%.1f", e - s }')
  fanotify_walk="fanotify over $count folders: set up in $fan_setup s, RSS $(($(rss "$pid") / 1024)) MiB (peak $(($(hwm "$pid") / 1024)) MiB)"
  stop_watch
fi

{
  echo "| backend | files/s asked | files/s written | infected | missed | overflows | latency p50 ms | p99 ms | max ms | CPU % writing | CPU % idle | peak MiB |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
  echo
  echo
  echo "| backend | intruder | infected | missed | overflows | latency p50 ms | p99 ms | max ms | CPU % | peak MiB |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${intruder_rows[@]}"
  echo
  echo "inotify over $count folders ($watched watched): set up in $setup s, RSS $((folder_rss / 1024)) MiB (peak $((folder_hwm / 1024)) MiB), CPU idle $idle %"
  [ -z "$fanotify_walk" ] || echo "$fanotify_walk"
} | tee "$results"
rm -rf "$dir"
