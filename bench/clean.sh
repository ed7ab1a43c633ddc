#!/usr/bin/env bash
# Times `tervane-cli clean` of many infected pages next to what copying the same
# files costs: `cp -a` of the tree followed by one `sync`. Each command starts
# from a fresh copy of a pristine tree that is already on disk, and every clean
# must leave the same files (checked against a reference cleaned with sed).
# Prints a markdown table of medians.
#
#   bench/clean.sh [tervane-cli] [files] [runs]
#
# Environment: TERVANE_CLEANBENCH_DIR (where the trees go; default
# /var/tmp/tervane-cleanbench: on disk, never tmpfs, or the syncs cost nothing).
# Files default to 20000 (1-8 KB .php pages in folders of 100), runs to 3.
set -euo pipefail
cd "$(dirname "$0")/.."
cli=${1:-build/cli/tervane-cli}
files=${2:-20000}
runs=${3:-3}
dir=${TERVANE_CLEANBENCH_DIR:-/var/tmp/tervane-cleanbench}
sig='<iframe src="http://bad.example.net/index.php" width=0 height=0></iframe>'
cli=$(realpath "$cli")
# The same disk work without any of the clean's checks (bench/replacefloor.cpp).
floor=$(dirname "$cli")/../bench/tervane-bench-replacefloor

mkdir -p "$dir"
if [ "$(stat -f -c %T "$dir")" = tmpfs ]; then
  echo "$dir is on tmpfs: the timings would not include the disk" >&2
  exit 2
fi
rm -rf "$dir"
mkdir -p "$dir/pristine"
python3 - "$dir/pristine" "$files" "$sig" <<'PY'
import os, random, sys
root, n, sig = sys.argv[1], int(sys.argv[2]), sys.argv[3]
random.seed(1)
for i in range(n):
    d = os.path.join(root, 'site', 'd%03d' % (i // 100))
    os.makedirs(d, exist_ok=True)
    body = ('<html><body>' + 'lorem ipsum dolor sit amet ' * random.randint(40, 300) + sig +
            '</body></html>\n')
    with open(os.path.join(d, 'p%05d.php' % i), 'w') as f:
        f.write(body)
PY
# What every clean must leave: the same tree with the signature cut out.
cp -a "$dir/pristine" "$dir/expected"
find "$dir/expected" -name '*.php' -print0 | xargs -0 sed -i "s|$sig||"
sync

now() { date +%s.%N; }
seconds() { printf '%.2f' "$(echo "$2 - $1" | bc)"; }
fresh() {
  rm -rf "$dir/work"
  cp -a "$dir/pristine" "$dir/work"
  sync
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

fresh
"$cli" scan --signature "$sig" "$dir/work" >"$dir/log" || [ $? -eq 1 ]
listed=$(wc -l <"$dir/log")
if [ "$listed" -ne "$files" ]; then
  echo "the scan listed $listed files, expected $files" >&2
  exit 1
fi

# One clean with the options given; prints the seconds and checks the result.
timeclean() {
  fresh
  rm -rf "$dir/xdg"
  local s e
  s=$(now)
  XDG_DATA_HOME=$dir/xdg "$cli" clean "$@" --signature "$sig" "$dir/log" >/dev/null
  e=$(now)
  if ! diff -r -q "$dir/expected" "$dir/work" >/dev/null; then
    echo "the clean ($*) left other files than expected" >&2
    exit 1
  fi
  seconds "$s" "$e"
}

# A clean with backups (not timed), then its restore; prints the restore's seconds
# and checks that every file is the pristine one again.
timerestore() {
  fresh
  rm -rf "$dir/xdg"
  XDG_DATA_HOME=$dir/xdg "$cli" clean --signature "$sig" "$dir/log" >/dev/null
  sync
  local s e
  s=$(now)
  XDG_DATA_HOME=$dir/xdg "$cli" restore >/dev/null
  e=$(now)
  if ! diff -r -q "$dir/pristine" "$dir/work" >/dev/null; then
    echo "the restore left other files than the originals" >&2
    exit 1
  fi
  seconds "$s" "$e"
}

# The floor, with copies or without; prints the seconds and checks the files.
timefloor() {
  fresh
  rm -rf "$dir/floorcopies"
  local t
  t=$("$floor" "$@" "$dir/log")
  if ! diff -r -q "$dir/pristine" "$dir/work" >/dev/null; then
    echo "the floor ($*) changed the files" >&2
    exit 1
  fi
  echo "$t"
}

cps=() cleans=() restores=() nobackups=() floors=() floorcopies=()
for ((r = 1; r <= runs; r++)); do
  rm -rf "$dir/copy"
  sync
  s=$(now)
  cp -a "$dir/pristine" "$dir/copy"
  sync
  cps+=("$(seconds "$s" "$(now)")")
  cleans+=("$(timeclean)")
  restores+=("$(timerestore)")
  nobackups+=("$(timeclean --no-backup)")
  floorcopies+=("$(timefloor --copies "$dir/floorcopies")")
  floors+=("$(timefloor)")
  echo "run $r: cp -a + sync ${cps[-1]} s, clean ${cleans[-1]} s, restore ${restores[-1]} s, clean --no-backup ${nobackups[-1]} s, floor ${floorcopies[-1]} / ${floors[-1]} s" >&2
done

cp_med=$(printf '%s\n' "${cps[@]}" | median)
clean_med=$(printf '%s\n' "${cleans[@]}" | median)
restore_med=$(printf '%s\n' "${restores[@]}" | median)
nob_med=$(printf '%s\n' "${nobackups[@]}" | median)
floorc_med=$(printf '%s\n' "${floorcopies[@]}" | median)
floor_med=$(printf '%s\n' "${floors[@]}" | median)
ratio() { printf '%.1f' "$(echo "scale=3; $1 / $cp_med" | bc)"; }
size=$(du -sh "$dir/pristine" | cut -f1)

echo
echo "$files infected .php files of 1-8 KB in folders of 100 ($size) under $dir; $runs runs, medians."
echo
echo "| Command | Median (s) | × cp -a + sync |"
echo "|---|---:|---:|"
echo "| cp -a + sync | $cp_med | 1.0 |"
echo "| tervane-cli clean (with backups) | $clean_med | $(ratio "$clean_med") |"
echo "| tervane-cli restore (of that clean) | $restore_med | $(ratio "$restore_med") |"
echo "| tervane-cli clean --no-backup | $nob_med | $(ratio "$nob_med") |"
echo "| floor: a copy, a new file beside, flushes and rename, no checks (bench/replacefloor.cpp --copies) | $floorc_med | $(ratio "$floorc_med") |"
echo "| floor without the copy (bench/replacefloor.cpp) | $floor_med | $(ratio "$floor_med") |"
rm -rf "$dir"
