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
# echo 3 > /proc/sys/vm/drop_caches), and the programs are started once on an
# empty folder so that loading their libraries is not timed; otherwise every
# file of the tree is evicted with posix_fadvise(DONTNEED) (folders and inodes
# stay cached). The table says which was done. The cold rows include a reader
# that reads through io_uring (tervane-bench-readlimit --uring).
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
tervane_install_deps ripgrep time yara liburing-dev

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
  tervane-bench-gui tervane-bench-setcompile
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
# The same for grep -P and rg -P: literal pieces, each CR LF as any line break
# (CR LF, CR or LF), as Tervane matches it.
pcre=
rest=$sig
while [[ $rest == *$'\r\n'* ]]; do
  pcre+="\\Q${rest%%$'\r\n'*}\\E(?:\\r\\n|\\r|\\n)"
  rest=${rest#*$'\r\n'}
done
[ -n "$rest" ] && pcre+="\\Q${rest}\\E"

# The default filter "*.ASP|*.PHP|*.JS": a fragment anywhere in the path, in
# lower case, directory names included.
run_rg() {
  rg -l -i -P -U -uuu --no-unicode --glob-case-insensitive -g '*.asp*' -g '*.php*' -g '*.js*' \
    -g '**/*.asp*/**' -g '**/*.php*/**' -g '**/*.js*/**' -e "$pcre" "$tree"
}
run_grep() {
  find "$tree" -type f \( -ipath '*.asp*' -o -ipath '*.php*' -o -ipath '*.js*' \) -print0 |
    LC_ALL=C xargs -0 grep -lizP "$pcre"
}
# The tree scanned is $tree unless a section points it elsewhere.
run_read() { "$readlimit" "$tree" 2>/dev/null; }
run_read16() { "$readlimit" --threads 16 "$tree" 2>/dev/null; }
run_read64() { "$readlimit" --threads 64 "$tree" 2>/dev/null; }
run_readuring() { "$readlimit" --uring 256 "$tree" 2>/dev/null; }
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
  [readuring]="io_uring reader, 256 files in flight, 1 thread"
  [walk]="the walk alone (list every folder, read no file)"
  [j1]="tervane-cli scan -j 1"
  [jn]="tervane-cli scan (default: -j $cores, all cores)"
  [j16]="tervane-cli scan -j 16"
  [gui]="main window, Scan button (offscreen)"
  [rg]="rg -l -i -P -U -uuu --no-unicode (globs), $cores threads"
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
# The paths' own bytes (-0), as the generator and the peers write them; the log
# quotes names that are not UTF-8.
{ "$cli" scan -0 --signature-file "$dir/sig.txt" -j 1 "$tree" || true; } | tr '\0' '\n' |
  LC_ALL=C sort -u >"$dir/set-tervane.txt"
declare -A same
check() { # name file
  if cmp -s "$2" "$dir/set-tervane.txt"; then same[$1]=yes; else same[$1]=NO; fi
}
same[read]="-"
same[read16]="-"
same[read64]="-"
if cmp -s "$dir/out-j16.txt" "$dir/out-j1.txt"; then same[j16]="yes (same bytes as -j 1)"; else same[j16]=NO; fi
if cmp -s "$dir/set-tervane.txt" "$expected"; then same[j1]="yes (= generator's list)"; else same[j1]="NO: differs from the generator's list"; fi
if cmp -s "$dir/out-jn.txt" "$dir/out-j1.txt"; then same[jn]="yes (same bytes as -j 1)"; else same[jn]=NO; fi
if cmp -s "$dir/out-gui.txt" "$dir/out-j1.txt"; then same[gui]="yes (same log as -j 1)"; else same[gui]=NO; fi
LC_ALL=C sort -u "$dir/out-rg.txt" >"$dir/set-rg.txt"
check rg "$dir/set-rg.txt"
LC_ALL=C sort -u "$dir/out-grep.txt" >"$dir/set-grep.txt"
check grep "$dir/set-grep.txt"

# A cold page cache before each cold run: dropped as root, else the tree's files
# evicted one by one (folders and inodes then stay cached).
if [ "$(id -u)" -eq 0 ] && [ -w /proc/sys/vm/drop_caches ]; then
  # The programs' own files are read back before each run: loading the
  # scan's libraries from disk (0.06-0.08 s) is no part of reading the tree,
  # and the readers are a small program of their own.
  cold_how="page cache dropped before each run (sync; echo 3 > /proc/sys/vm/drop_caches), then the programs started once on an empty folder"
  make_cold() {
    sync
    echo 3 >/proc/sys/vm/drop_caches
    mkdir -p "$dir/empty"
    "$cli" scan --signature-file "$dir/sig.txt" "$dir/empty" >/dev/null 2>&1 || true
    "$readlimit" --walk "$dir/empty" 2>/dev/null
  }
else
  cold_how="files evicted before each run (posix_fadvise DONTNEED; folders and inodes stay cached)"
  make_cold() { "$readlimit" --evict "$tree" 2>/dev/null; }
fi

# Times the named commands `cold_runs` times each, round robin, with a cold cache
# before every run; medians into cmed[prefix-name].
declare -A cmed
time_cold() { # prefix names...
  local prefix=$1 n i rc t0 t1 out
  shift
  declare -A ct=()
  for ((i = 1; i <= cold_runs; i++)); do
    for n in "$@"; do
      out=$dir/out-$prefix-$n.txt
      make_cold
      t0=$EPOCHREALTIME
      rc=0
      "run_$n" >"$out" || rc=$?
      t1=$EPOCHREALTIME
      if [ "$rc" -gt 1 ]; then
        echo "$n failed with status $rc" >&2
        exit 1
      fi
      if [ "$n" = gui ]; then
        ct[$n]+="$(cat "$out") "
        cp "$dir/out-gui.txt" "$out"
      else
        ct[$n]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }') "
      fi
    done
    echo "$prefix cold run $i/$cold_runs done"
  done
  for n in "$@"; do
    cmed[$prefix-$n]=$(echo "${ct[$n]}" | median)
  done
}

echo "== Cold cache: $cold_how"
cold_names=(read16 read64 readuring jn j1 j16 gui)
time_cold main "${cold_names[@]}"
cold_same=yes
for n in jn j16; do
  cmp -s "$dir/out-main-$n.txt" "$dir/out-j1.txt" || cold_same=NO
done
cmp -s "$dir/out-main-gui.txt" "$dir/out-j1.txt" || cold_same=NO

echo "== Peak memory (cold cache)"
# The maximum resident set in KiB; the program's output goes to $dir/peak-out.txt.
# tervane-cli's status 1 (found) is no failure here.
peak() { { /usr/bin/time -f %M "$@" 2>&1 >"$dir/peak-out.txt" || true; } | tail -1; }
declare -A mem
for j in 1 "$cores" 16 64; do
  make_cold
  mem[$j]=$(peak "$cli" scan --signature-file "$dir/sig.txt" -j "$j" "$tree")
done
mkdir -p "$dir/huge"
if [ ! -f "$dir/huge/huge.php" ]; then
  # 4 GiB of holes and the signature at the end: the holes are not read.
  truncate -s 4G "$dir/huge/huge.php"
  printf '%s' "$sig" >>"$dir/huge/huge.php"
fi
mem_huge=$(peak "$cli" scan --signature-file "$dir/sig.txt" -j "$cores" "$dir/huge")
huge_found=$(wc -l <"$dir/peak-out.txt")
huge_times=()
for _ in 1 2 3 4 5; do
  start=$(date +%s.%N)
  "$cli" scan --signature-file "$dir/sig.txt" "$dir/huge" >/dev/null || true
  huge_times+=("$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }')")
done
huge_secs=$(printf '%s\n' "${huge_times[@]}" | median)

# A tree of small .php files of which every other one is infected: the cost of
# logging (hot cache, as the window's log is what is measured).
plain_tree() { # folder files folders every
  local stamp="plain $2 $3 $4 generator=$(sha1sum bench/gentree.cpp | cut -c1-12)"
  if [ "$(cat "$1/generated" 2>/dev/null)" != "$stamp" ]; then
    echo "== Generating $2 files in $3 folders in $1/tree"
    rm -rf "$1/tree" "$1/generated"
    mkdir -p "$1"
    "$gentree" --plain "$1" "$2" "$3" "$4" >"$1/summary.txt"
    echo "$stamp" >"$1/generated"
  fi
}
main_tree=$tree
tree=$dir/many/tree
plain_tree "$dir/many" "$many_files" $(((many_files + 99) / 100)) 2
many_summary=$(cat "$dir/many/summary.txt")
"$readlimit" --all "$tree" 2>/dev/null
declare -A mt=()
for ((i = 1; i <= runs; i++)); do
  for n in j1 gui; do
    t0=$EPOCHREALTIME
    rc=0
    "run_$n" >"$dir/out-many-$n.txt" || rc=$?
    t1=$EPOCHREALTIME
    if [ "$n" = gui ]; then
      mt[$n]+="$(cat "$dir/out-many-$n.txt") "
      cp "$dir/out-gui.txt" "$dir/out-many-gui-log.txt"
    else
      mt[$n]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }') "
    fi
  done
done
many_j1=$(echo "${mt[j1]}" | median)
many_gui=$(echo "${mt[gui]}" | median)
many_found=$(wc -l <"$dir/out-many-j1.txt")
if cmp -s "$dir/out-many-gui-log.txt" "$dir/out-many-j1.txt"; then many_same=yes; else many_same=NO; fi

# A tree that is mostly folders, cold: does the single walk become the limit?
tree=$dir/folders/tree
plain_tree "$dir/folders" "$folder_files" "$folders" 0
folders_summary=$(cat "$dir/folders/summary.txt")
time_cold folders walk read16 jn j16 gui
tree=$main_tree

limit=${med[read]}
ratio() { awk -v a="$1" -v b="$limit" 'BEGIN { printf "%.2f", a / b }'; }
ratio2() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { awk -v a="$1" -v b="$2" 'BEGIN { print (a <= b) ? "met" : "NOT met" }'; }
best_reader=$(awk -v a="${cmed[main-read16]}" -v b="${cmed[main-read64]}" 'BEGIN { print (a < b) ? a : b }')

# Hot and cold side by side.
table="| Command | Hot (s) | × read limit | Cold (s) | × best plain reader | Same answers (hot) |
|---|---:|---:|---:|---:|---|"
for n in read read16 read64 readuring jn j16 j1 gui rg grep; do
  hot=${med[$n]:-}
  cold=${cmed[main-$n]:-}
  table+="
| ${label[$n]} | ${hot:--} | $([ -n "$hot" ] && ratio "$hot" || echo -) | ${cold:--} | $([ -n "$cold" ] && ratio2 "$cold" "$best_reader" || echo -) | ${same[$n]:--} |"
done

ftable="| Command (cold) | Seconds |
|---|---:|"
for n in walk read16 jn j16 gui; do
  ftable+="
| ${label[$n]} | ${cmed[folders-$n]} |"
done

j1r=$(ratio "${med[j1]}")
jnr=$(ratio "${med[jn]}")
guir=$(ratio2 "${med[gui]}" "${med[j1]}")
cjn=$(ratio2 "${cmed[main-jn]}" "$best_reader")
cgui=$(ratio2 "${cmed[main-gui]}" "$best_reader")
manyr=$(ratio2 "$many_gui" "$many_j1")
walkr=$(ratio2 "${cmed[folders-jn]}" "${cmed[folders-walk]}")
peers="faster than every peer with the same answers:"
for p in rg grep; do
  if [ "${same[$p]}" = yes ]; then
    peers+=" ${p} $(awk -v a="${med[$p]}" -v b="${med[jn]}" 'BEGIN { printf "%.1f", a / b }')× slower;"
  else
    peers+=" ${p} (different answers, not compared);"
  fi
done
mib() { echo $(($1 / 1024)); }
memmax=0
for j in "${!mem[@]}"; do
  [ "${mem[$j]}" -gt "$memmax" ] && memmax=${mem[$j]}
done
targets="- cold, default: $cjn × the better plain reader (target ≤ 1.1): $(verdict "$cjn" 1.1)
- cold, main window: $cgui × the better plain reader (target ≤ 1.2): $(verdict "$cgui" 1.2)
- cold answers (default, -j 16, window) the same bytes as -j 1 hot: $cold_same
- hot, \`-j 1\`: $j1r × the read limit (target ≤ 1.2): $(verdict "$j1r" 1.2)
- hot, default (all cores): $jnr × the read limit (target ≤ 0.75): $(verdict "$jnr" 0.75)
- hot, main window: $guir × \`-j 1\`
- many detections ($many_found logged, hot): window $many_gui s, \`-j 1\` $many_j1 s: $manyr × (target ≤ 1.5): $(verdict "$manyr" 1.5); same log: $many_same
- mostly folders (cold): the default scan takes $walkr × the walk alone
- $peers
- peak memory (maximum resident set, cold cache): $(mib "${mem[1]}") MiB with -j 1, $(mib "${mem[$cores]}") MiB by default (-j $cores), $(mib "${mem[16]}") MiB with -j 16, $(mib "${mem[64]}") MiB with -j 64 (target < 32 MiB: $(verdict "$memmax" 32767))
- a 4 GiB file: $(mib "$mem_huge") MiB peak, $huge_found detection (the signature at its end) (target < 32 MiB: $(verdict "$mem_huge" 32767))
- the same file, sparse ($(du -k "$dir/huge/huge.php" | cut -f1) KiB of data): scanned in $huge_secs s, the whole command (median of 5; its holes are not read)"

machine="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $cores cores, $(free -g | awk '/Mem:/ { print $2 }') GiB, Linux $(uname -r)"
report="# Benchmark results

Last run: $(date -u '+%Y-%m-%d %H:%M UTC'), \`bench/run.sh\`, medians of $runs hot and $cold_runs cold
runs per command, nice $(nice). Machine: $machine. Load average before timing: $load.
Cold cache: $cold_how.

Tree: $summary
Signature: the main window's sample (two lines, CR LF). Filter: \"*.ASP|*.PHP|*.JS\".

$table

Many detections: $many_summary.
Mostly folders: $folders_summary.

$ftable

$targets
"
echo
echo "$report"
printf '%s' "$report" >bench/RESULTS.md
echo "Written to bench/RESULTS.md"

# Signature sets, on the same tree; adds its own section to bench/RESULTS.md.
TERVANE_BENCH_DIR=$dir TERVANE_BENCH_FILES=$files TERVANE_BENCH_BUILD=$build bench/sets.sh
