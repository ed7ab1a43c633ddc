#!/usr/bin/env bash
# Times Tervane's scan on a generated web-site tree with a hot page cache, next
# to the read limit (reading every in-scope file and nothing else), ripgrep and
# grep with flags that give the same answers, and the main window's Scan button;
# then the same tree with a cold cache next to plain parallel readers, a tree
# with many detections (window against -j 1), a tree that is mostly folders
# (cold), and peak memory at several thread counts. Checks that every list
# equals Tervane's, prints the tables and writes them to bench/RESULTS.md.
#
#   bench/run.sh
#
# Cold cache: as root the page cache is dropped before each cold run (sync, then
# echo 3 > /proc/sys/vm/drop_caches); otherwise every file of the tree is evicted
# with posix_fadvise(DONTNEED) (folders and inodes stay cached). The table says
# which was done.
#
# Environment: TERVANE_BENCH_DIR (where the trees go; default /tmp/tervane-bench,
# about 2.3 GB plus a sparse 4 GB file and two small-file trees),
# TERVANE_BENCH_FILES (default 100000), TERVANE_BENCH_RUNS (timed hot runs per
# command; default 7), TERVANE_BENCH_COLD_RUNS (cold runs per command; default
# 3), TERVANE_BENCH_MANY_FILES (files of the many-detections tree, half of them
# infected; default 100000), TERVANE_BENCH_FOLDER_FILES and
# TERVANE_BENCH_FOLDERS (the mostly-folders tree; default 300000 in 30000),
# TERVANE_BENCH_BUILD (build folder; default build-bench). A quick try:
#   TERVANE_BENCH_FILES=20000 TERVANE_BENCH_RUNS=3 TERVANE_BENCH_COLD_RUNS=1 \
#   TERVANE_BENCH_MANY_FILES=20000 TERVANE_BENCH_FOLDER_FILES=30000 \
#   TERVANE_BENCH_FOLDERS=3000 bench/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
source tools/deps.sh
tervane_install_deps ripgrep time

dir=${TERVANE_BENCH_DIR:-/tmp/tervane-bench}
files=${TERVANE_BENCH_FILES:-100000}
runs=${TERVANE_BENCH_RUNS:-7}
cold_runs=${TERVANE_BENCH_COLD_RUNS:-3}
many_files=${TERVANE_BENCH_MANY_FILES:-100000}
folder_files=${TERVANE_BENCH_FOLDER_FILES:-300000}
folders=${TERVANE_BENCH_FOLDERS:-30000}
build=${TERVANE_BENCH_BUILD:-build-bench}
cores=$(nproc)

echo "== Building (Release) in $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTERVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target tervane-cli tervane-bench-gentree tervane-bench-readlimit \
  tervane-bench-gui
cli=$repo/$build/cli/tervane-cli
gentree=$repo/$build/bench/tervane-bench-gentree
readlimit=$repo/$build/bench/tervane-bench-readlimit
gui=$repo/$build/bench/tervane-bench-gui

mkdir -p "$dir"
tree=$dir/tree
stamp="files=$files generator=$(sha1sum bench/gentree.cpp | cut -c1-12)"
if [ "$(cat "$dir/generated" 2>/dev/null)" != "$stamp" ]; then
  echo "== Generating $files files in $tree"
  rm -rf "$tree" "$dir/generated"
  "$gentree" "$dir" "$files" | tee "$dir/summary.txt"
  echo "$stamp" >"$dir/generated"
fi
summary=$(cat "$dir/summary.txt")

# The main window's sample signature, CR LF line ends included.
printf -v sig '<iframe src="http://bad.example.net/index.php" width=0 \r\nheight=0></iframe>\r\n'
printf '%s' "$sig" >"$dir/sig.txt"
# The same for grep -P: literal pieces, each CR LF as \r\n.
pcre=
rest=$sig
while [[ $rest == *$'\r\n'* ]]; do
  pcre+="\\Q${rest%%$'\r\n'*}\\E\\r\\n"
  rest=${rest#*$'\r\n'}
done
[ -n "$rest" ] && pcre+="\\Q${rest}\\E"

# The default filter "*.ASP|*.PHP|*.JS": a fragment anywhere in the path, as
# spelled, directory names included.
run_rg() {
  rg -l -i -F -U -uuu --no-unicode -g '*.asp*' -g '*.php*' -g '*.js*' \
    -g '**/*.asp*/**' -g '**/*.php*/**' -g '**/*.js*/**' -e "$sig" "$tree"
}
run_grep() {
  find "$tree" -type f \( -path '*.asp*' -o -path '*.php*' -o -path '*.js*' \) -print0 |
    LC_ALL=C xargs -0 grep -lizP "$pcre"
}
# The tree scanned is $tree unless a section points it elsewhere.
run_read() { "$readlimit" "$tree" 2>/dev/null; }
run_read16() { "$readlimit" --threads 16 "$tree" 2>/dev/null; }
run_read64() { "$readlimit" --threads 64 "$tree" 2>/dev/null; }
run_walk() { "$readlimit" --walk "$tree" 2>/dev/null; }
run_j1() { "$cli" scan --signature-file "$dir/sig.txt" -j 1 "$tree"; }
run_jn() { "$cli" scan --signature-file "$dir/sig.txt" "$tree"; }
run_j16() { "$cli" scan --signature-file "$dir/sig.txt" -j 16 "$tree"; }
# The window measures the click itself; its start-up is not part of the scan.
run_gui() {
  QT_QPA_PLATFORM=offscreen "$gui" "$dir/sig.txt" "$tree" "$dir/out-gui.txt" 2>/dev/null
}

names=(read j1 jn gui rg grep read16 read64 j16)
declare -A label=(
  [read]="read limit: read every in-scope file, 1 thread"
  [read16]="plain parallel reader, 16 threads"
  [read64]="plain parallel reader, 64 threads"
  [walk]="the walk alone (list every folder, read no file)"
  [j1]="tervane-cli scan -j 1"
  [jn]="tervane-cli scan (default: -j $cores, all cores)"
  [j16]="tervane-cli scan -j 16"
  [gui]="main window, Scan button (offscreen)"
  [rg]="rg -l -i -F -U -uuu --no-unicode (globs), $cores threads"
  [grep]="find | xargs grep -lizP"
)

# Other work on the same cores disturbs the timings; as root, everything from
# here on runs at the highest priority, so that it gets the cores when it wants
# them (every command alike, so the comparison stays fair).
if [ "$(id -u)" -eq 0 ]; then
  renice -n -20 -p $$ >/dev/null
fi

echo "== Warming the page cache"
"$readlimit" --all "$tree" 2>/dev/null
"$readlimit" --all "$tree" 2>/dev/null
load=$(cut -d' ' -f1-3 /proc/loadavg)
echo "load average before timing: $load"

declare -A times
for ((i = 1; i <= runs; i++)); do
  # Round robin, so that a change in the machine's load spreads over all commands.
  for n in "${names[@]}"; do
    out=$dir/out-$n.txt
    [ "$n" = gui ] && out=$dir/gui-seconds.txt
    t0=$EPOCHREALTIME
    rc=0
    "run_$n" >"$out" || rc=$?
    t1=$EPOCHREALTIME
    if [ "$rc" -gt 1 ]; then
      echo "$n failed with status $rc" >&2
      exit 1
    fi
    if [ "$n" = gui ]; then
      times[$n]+="$(cat "$out") "
    else
      times[$n]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }') "
    fi
  done
  echo "run $i/$runs done"
done

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
declare -A med
for n in "${names[@]}"; do
  med[$n]=$(echo "${times[$n]}" | median)
done

echo "== Checking the answers"
expected=$dir/expected.txt
LC_ALL=C sort -u "$dir/out-j1.txt" >"$dir/set-tervane.txt"
declare -A same
check() { # name file
  if cmp -s "$2" "$dir/set-tervane.txt"; then same[$1]=yes; else same[$1]=NO; fi
}
same[read]="-"
if cmp -s "$dir/set-tervane.txt" "$expected"; then same[j1]="yes (= generator's list)"; else same[j1]="NO: differs from the generator's list"; fi
if cmp -s "$dir/out-jn.txt" "$dir/out-j1.txt"; then same[jn]="yes (same bytes as -j 1)"; else same[jn]=NO; fi
if cmp -s "$dir/out-gui.txt" "$dir/out-j1.txt"; then same[gui]="yes (same log as -j 1)"; else same[gui]=NO; fi
LC_ALL=C sort -u "$dir/out-rg.txt" >"$dir/set-rg.txt"
check rg "$dir/set-rg.txt"
LC_ALL=C sort -u "$dir/out-grep.txt" >"$dir/set-grep.txt"
check grep "$dir/set-grep.txt"

echo "== Peak memory"
# The maximum resident set in KiB; the program's output goes to $dir/peak-out.txt.
# tervane-cli's status 1 (found) is no failure here.
peak() { { /usr/bin/time -f %M "$@" 2>&1 >"$dir/peak-out.txt" || true; } | tail -1; }
mem_j1=$(peak "$cli" scan --signature-file "$dir/sig.txt" -j 1 "$tree")
mem_jn=$(peak "$cli" scan --signature-file "$dir/sig.txt" -j "$cores" "$tree")
mkdir -p "$dir/huge"
if [ ! -f "$dir/huge/huge.php" ]; then
  # 4 GiB of holes and the signature at the end: read like any other file.
  truncate -s 4G "$dir/huge/huge.php"
  printf '%s' "$sig" >>"$dir/huge/huge.php"
fi
mem_huge=$(peak "$cli" scan --signature-file "$dir/sig.txt" -j "$cores" "$dir/huge")
huge_found=$(wc -l <"$dir/peak-out.txt")

limit=${med[read]}
ratio() { awk -v a="$1" -v b="$limit" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { awk -v a="$1" -v b="$2" 'BEGIN { print (a <= b) ? "met" : "NOT met" }'; }

table="| Command | Median (s) | × read limit | Same answers |
|---|---:|---:|---|"
for n in "${names[@]}"; do
  table+="
| ${label[$n]} | ${med[$n]} | $(ratio "${med[$n]}") | ${same[$n]} |"
done

j1r=$(ratio "${med[j1]}")
jnr=$(ratio "${med[jn]}")
guir=$(awk -v a="${med[gui]}" -v b="${med[j1]}" 'BEGIN { printf "%.2f", a / b }')
peers="faster than every peer with the same answers:"
for p in rg grep; do
  if [ "${same[$p]}" = yes ]; then
    peers+=" ${p} $(awk -v a="${med[$p]}" -v b="${med[jn]}" 'BEGIN { printf "%.1f", a / b }')× slower;"
  else
    peers+=" ${p} (different answers, not compared);"
  fi
done
targets="- \`-j 1\`: $j1r × the read limit (target ≤ 1.2): $(verdict "$j1r" 1.2)
- all cores: $jnr × the read limit (target ≤ 0.75): $(verdict "$jnr" 0.75)
- main window: $guir × \`-j 1\` (target ≤ 1.5): $(verdict "$guir" 1.5)
- $peers
- peak memory (maximum resident set): $((mem_j1 / 1024)) MiB with -j 1, $((mem_jn / 1024)) MiB with -j $cores (target < 32 MiB: $(verdict "$mem_jn" 32767))
- a 4 GiB file: $((mem_huge / 1024)) MiB peak, $huge_found detection (the signature at its end) (target < 32 MiB: $(verdict "$mem_huge" 32767))"

machine="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $cores cores, $(free -g | awk '/Mem:/ { print $2 }') GiB, Linux $(uname -r)"
report="# Benchmark results

Last run: $(date -u '+%Y-%m-%d %H:%M UTC'), \`bench/run.sh\`, $runs timed runs per command (median),
hot page cache, nice $(nice). Machine: $machine. Load average before timing: $load.

Tree: $summary
Signature: the main window's sample (two lines, CR LF). Filter: \"*.ASP|*.PHP|*.JS\".

$table

$targets
"
echo
echo "$report"
printf '%s' "$report" >bench/RESULTS.md
echo "Written to bench/RESULTS.md"
