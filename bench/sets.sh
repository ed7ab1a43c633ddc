#!/usr/bin/env bash
# Signature sets on the generated trees of bench/ (hot cache): the scan with 1,
# 100, 1,000 and 10,000 signatures against the scan with the one signature, with
# the set cache warm (the set read back) and cold (emptied before each run, so
# the set is built and kept), and `yara -r` and `rg -F -f` with the same sets on
# the same tree in the same run; then the set's build without a cache entry at
# 10,000 and 100,000 members of 300 characters (time and peak memory), and the
# scan of an empty folder with those sets, cold and warm. Writes the section
# "Signature sets" of bench/RESULTS.md (run.sh calls it last; it can also run
# alone, on a tree that run.sh generated or on trees of its own).
#
#   bench/sets.sh
#   TERVANE_BENCH_FILES="20000 100000" bench/sets.sh    # both trees, one run
#   TERVANE_BENCH_SHORT=1 bench/sets.sh                 # a check that it works
#
# Member 1 of every set is the main window's sample without its last line
# break (as the one signature, see below); the others are made-up
# injections of the kinds an incident collects (frames, scripts, PHP eval lines,
# document.write), none of them in the tree, so every set finds the same files.
# YARA and ripgrep cannot take any line break for a line break, so their sets
# begin with the sample's first line instead, and Tervane is run once more with
# that set on every file (they have no filter): where byte matching gives the
# same answer, the lists must be equal. ripgrep runs as `rg -l -i -F -a -uuu -f`
# (every file, binary ones as text, no ignore files): it reads UTF-8 only and
# folds case by Unicode's simple folding, where Tervane also reads GBK and
# lower-cases as the page's reader does.
#
# Environment: as run.sh (TERVANE_BENCH_DIR, TERVANE_BENCH_BUILD);
# TERVANE_BENCH_FILES (one or more tree sizes, each a tree of its own unless it
# is run.sh's; default 100000), TERVANE_BENCH_SET_RUNS (timed runs per command;
# default 5), TERVANE_BENCH_SHORT=1 (a tree of 2,000 files, one run, the build
# at 1,000 and 10,000 members; prints, does not write RESULTS.md).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
source tools/deps.sh
tervane_install_deps time yara ripgrep python3

dir=${TERVANE_BENCH_DIR:-/tmp/tervane-bench}
short=${TERVANE_BENCH_SHORT:-}
if [ -n "$short" ]; then
  tree_sizes=${TERVANE_BENCH_FILES:-2000}
  runs=1
  build_sizes="1000 10000"
else
  tree_sizes=${TERVANE_BENCH_FILES:-100000}
  runs=${TERVANE_BENCH_SET_RUNS:-5}
  build_sizes="10000 100000"
fi
build=${TERVANE_BENCH_BUILD:-build-bench}
cores=$(nproc)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTERVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target tervane-cli tervane-bench-gentree tervane-bench-setcompile \
  tervane-bench-readlimit >/dev/null
cli=$repo/$build/cli/tervane-cli
generator=$(sha1sum bench/gentree.cpp | cut -c1-12)

# run.sh's tree where it has this many files, else one of the benchmark's own.
tree_of() {
  local files=$1 at=$dir
  if [ "$(cat "$dir/generated" 2>/dev/null)" != "files=$files generator=$generator" ]; then
    at=$dir/sets-tree-$files
    if [ "$(cat "$at/generated" 2>/dev/null)" != "files=$files generator=$generator" ]; then
      echo "== Generating $files files in $at/tree" >&2
      mkdir -p "$at"
      rm -rf "$at/tree" "$at/generated"
      "$repo/$build/bench/tervane-bench-gentree" "$at" "$files" >"$at/summary.txt"
      echo "files=$files generator=$generator" >"$at/generated"
    fi
  fi
  echo "$at"
}

sets=$dir/sets
mkdir -p "$sets"
# Without the sample's last line break: a signature with blanks at an end
# makes the one-signature scan walk the tree twice (the near-miss count), which
# a set's scan does not, and the rows would compare two walks with one.
printf -v sig '<iframe src="http://bad.example.net/index.php" width=0 \r\nheight=0></iframe>'
printf '%s' "$sig" >"$sets/sig.txt"

# The sets: JSON Lines for Tervane, rules for YARA (a rule per 1,000 strings),
# one pattern a line for ripgrep, and the long members of the build's rows.
python3 - "$sets" $build_sizes <<'EOF'
import json, random, sys
out = sys.argv[1]
sample = '<iframe src="http://bad.example.net/index.php" width=0 \r\nheight=0></iframe>'
first = sample.split('\r\n')[0]
random.seed(26)
words = ['evil', 'cdn', 'stat', 'count', 'js', 'ads', 'track', 'xn', 'mal', 'click']
def made_up(i):
    d = ''.join(random.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(8))
    k = i % 4
    if k == 0:
        return '<iframe src="http://%s.%s.example/%d" width=0 height=0></iframe>' % (d, random.choice(words), i)
    if k == 1:
        return '<script src="//%s.example/%s.js"></script>' % (d, random.choice(words))
    if k == 2:
        return '<?php @eval(base64_decode("%s%d")); ?>' % (d, i)
    return 'document.write(unescape("%%3C%s%d"));' % (d, i)
others = [made_up(i) for i in range(1, 10000)]
def yara_string(t):
    return ''.join(c if c.isalnum() or c == ' ' else '\\x%02x' % ord(c) for c in t)
for n in (1, 100, 1000, 10000):
    for name, head in (('set', sample), ('byteset', first)):
        with open('%s/%s%d.jsonl' % (out, name, n), 'w') as f:
            for i, t in enumerate([head] + others[:n - 1]):
                f.write(json.dumps({'name': 's%d' % i, 'text': t}) + '\n')
    texts = [first] + others[:n - 1]
    with open('%s/yara%d.yar' % (out, n), 'w') as f:
        for r in range(0, n, 1000):
            f.write('rule set_%d {\n  strings:\n' % r)
            for i, t in enumerate(texts[r:r + 1000]):
                f.write('    $s%d = "%s" nocase\n' % (i, yara_string(t)))
            f.write('  condition:\n    any of them\n}\n')
    with open('%s/rg%d.txt' % (out, n), 'w') as f:
        f.write(''.join(t + '\n' for t in texts))
# Members of 300 characters: a made-up injection, then a comment of random
# letters and digits, as long obfuscated lines are.
alnum = 'abcdefghijklmnopqrstuvwxyz0123456789'
def long_member(i):
    t = made_up(i) + '<!-- '
    return t + ''.join(random.choice(alnum) for _ in range(300 - len(t) - 4)) + ' -->'
for n in map(int, sys.argv[2:]):
    with open('%s/long%d.jsonl' % (out, n), 'w') as f:
        for i in range(n):
            f.write(json.dumps({'name': 'm%d' % i, 'text': long_member(i)}, separators=(',', ':')) + '\n')
EOF

# A set cache of the benchmark's own.
export XDG_DATA_HOME=$dir/data
cache=$XDG_DATA_HOME/tervane/sets

median() { tr ' ' '\n' | grep . | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
run_one() { "$cli" scan --signature-file "$sets/sig.txt" "$tree"; }
run_set() { "$cli" scan --signatures "$sets/set$1.jsonl" "$tree"; }
run_set1() { run_set 1; }
run_set100() { run_set 100; }
run_set1000() { run_set 1000; }
run_set10000() { run_set 10000; }
# The cache is emptied before the clock starts (below): removing it is not the scan's.
run_cold() { "$cli" scan --signatures "$sets/set$1.jsonl" "$tree"; }
run_cold100() { run_cold 100; }
run_cold1000() { run_cold 1000; }
run_cold10000() { run_cold 10000; }
# Every file, as YARA and ripgrep read every file: the filter "/" is in every
# path. Raw names (-0), as YARA prints them; the tree's names hold no line break.
run_all() { "$cli" scan -0 --filter / --signatures "$sets/byteset$1.jsonl" "$tree"; }
run_all1() { run_all 1; }
run_all10000() { run_all 10000; }
run_yara() { yara -w -r -p "$cores" "$sets/yara$1.yar" "$tree" | cut -d' ' -f2- | LC_ALL=C sort -u; }
run_yara1() { run_yara 1; }
run_yara100() { run_yara 100; }
run_yara1000() { run_yara 1000; }
run_yara10000() { run_yara 10000; }
run_rg() {
  rg -l -0 -i -F -a -uuu -j "$cores" -f "$sets/rg$1.txt" "$tree" | tr '\0' '\n' | LC_ALL=C sort
}
run_rg1() { run_rg 1; }
run_rg100() { run_rg 100; }
run_rg1000() { run_rg 1000; }
run_rg10000() { run_rg 10000; }
names=(one set1 set100 set1000 set10000 cold100 cold1000 cold10000 all1 all10000 yara1 yara100
  yara1000 yara10000 rg1 rg100 rg1000 rg10000)

# One tree's table: medians of interleaved runs.
tree_table() {
  local files=$1 at n i t0 t1 rc
  at=$(tree_of "$files")
  tree=$at/tree
  local -A times med
  "$repo/$build/bench/tervane-bench-readlimit" --all "$tree" >/dev/null 2>&1 || true
  local load
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  for ((i = 1; i <= runs; i++)); do
    for n in "${names[@]}"; do
      # The warm runs after a cold one find the cache as a cold run left it.
      case $n in
        set*) "run_$n" >/dev/null || true ;;
        cold*) rm -rf "$cache" ;;
      esac
      t0=$EPOCHREALTIME
      rc=0
      "run_$n" >"$sets/out-$n.txt" || rc=$?
      t1=$EPOCHREALTIME
      # 1 is "found nothing" for rg and "found something" for the scan.
      if [ "$rc" -gt 1 ]; then
        echo "$n failed with status $rc" >&2
        exit 1
      fi
      times[$n]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }') "
    done
  done
  for n in "${names[@]}"; do
    med[$n]=$(echo "${times[$n]}" | median)
  done
  same() { if cmp -s "$sets/out-$1.txt" "$sets/out-$2.txt"; then echo yes; else echo NO; fi; }
  for n in 1 10000; do
    tr '\0' '\n' <"$sets/out-all$n.txt" | LC_ALL=C sort >"$sets/out-sorted$n.txt"
  done
  ratio() { awk -v a="$1" -v b="${med[one]}" 'BEGIN { printf "%.2f", a / b }'; }
  verdict() { awk -v a="$1" -v b="$2" 'BEGIN { print (a <= b) ? "met" : "NOT met" }'; }
  echo "### $files files

Load average $load before, $(cut -d' ' -f1-3 /proc/loadavg) after. Tree: $files files
($(head -1 "$at/summary.txt")).

| Command | Seconds | × one signature | Same files |
|---|---:|---:|---|
| tervane-cli scan, one signature (--signature-file) | ${med[one]} | 1.00 | - |"
  for n in 1 100 1000 10000; do
    echo "| tervane-cli scan --signatures, $n, set cache warm | ${med[set$n]} | $(ratio "${med[set$n]}") | one signature's: $(same one "set$n") |"
  done
  for n in 100 1000 10000; do
    echo "| tervane-cli scan --signatures, $n, set cache cold | ${med[cold$n]} | $(ratio "${med[cold$n]}") | one signature's: $(same one "cold$n") |"
  done
  for n in 1 10000; do
    echo "| tervane-cli scan --filter /, the byte set of $n (every file) | ${med[all$n]} | $(ratio "${med[all$n]}") | - |"
  done
  for n in 1 100 1000 10000; do
    echo "| yara -r -p $cores, $n nocase strings (every file) | ${med[yara$n]} | $(ratio "${med[yara$n]}") | $([ "$n" = 1 ] || [ "$n" = 10000 ] && echo "byte set's: $(same "sorted$n" "yara$n")" || echo -) |"
  done
  for n in 1 100 1000 10000; do
    echo "| rg -l -i -F -a -uuu -j $cores -f, $n strings (every file) | ${med[rg$n]} | $(ratio "${med[rg$n]}") | $([ "$n" = 1 ] || [ "$n" = 10000 ] && echo "byte set's: $(same "sorted$n" "rg$n")" || echo -) |"
  done
  local r
  echo
  r=$(ratio "${med[set1]}")
  echo "- 1 signature as a set: $r × (no regression: $(verdict "$r" 1.05))"
  for n in 100:1.1 1000:1.3 10000:2; do
    local w c
    w=$(ratio "${med[set${n%:*}]}")
    c=$(ratio "${med[cold${n%:*}]}")
    echo "- ${n%:*}: $w × warm, $c × cold (target ≤ ${n#*:}: $(verdict "$w" "${n#*:}") warm, $(verdict "$c" "${n#*:}") cold)"
  done
}

# The build without a cache entry (tervane-bench-setcompile: the set's
# matcher alone), and the whole scan of an empty folder, cold and warm (user
# and system seconds, peak resident memory).
build_rows() {
  local n compiled empty=$dir/empty
  mkdir -p "$empty"
  echo "| Members of 300 characters | Build (s) | Peak after reading (MiB) | Peak of the build (MiB) | Empty folder, cold: s user+sys, MiB | warm: s user+sys, MiB |"
  echo "|---:|---:|---:|---:|---:|---:|"
  for n in $build_sizes; do
    compiled=$("$repo/$build/bench/tervane-bench-setcompile" "$sets/long$n.jsonl")
    local secs read peak cold warm
    secs=$(echo "$compiled" | sed -n 's/.*build_seconds=\([0-9.]*\).*/\1/p')
    read=$(echo "$compiled" | sed -n 's/.*peak_kib_after_reading=\([0-9]*\).*/\1/p')
    peak=$(echo "$compiled" | sed -n 's/.* peak_kib=\([0-9]*\).*/\1/p')
    rm -rf "$cache"
    cold=$({ /usr/bin/time -f '%U %S %M' "$cli" scan --signatures "$sets/long$n.jsonl" "$empty" 2>&1 >/dev/null || true; } | tail -1 |
      awk '{ printf "%.2f, %d", $1 + $2, $3 / 1024 }')
    warm=$({ /usr/bin/time -f '%U %S %M' "$cli" scan --signatures "$sets/long$n.jsonl" "$empty" 2>&1 >/dev/null || true; } | tail -1 |
      awk '{ printf "%.2f, %d", $1 + $2, $3 / 1024 }')
    echo "| $n | $secs | $((read / 1024)) | $((peak / 1024)) | $cold | $warm |"
  done
}

tables=""
for files in $tree_sizes; do
  tables+="$(tree_table "$files")

"
done
builds=$(build_rows)
section="## Signature sets

Last run: $(date -u '+%Y-%m-%d %H:%M UTC'), \`bench/sets.sh\` (TERVANE_BENCH_FILES=\"$tree_sizes\"),
medians of $runs hot runs per command, interleaved. Filter \"*.ASP|*.PHP|*.JS\" unless said;
\"every file\" rows compare the lists of the byte set (the sample's first line) on every file.

${tables}### The build, without a cache entry

Load average $(cut -d' ' -f1-3 /proc/loadavg). Targets: 10,000 members in under 0.25 s
and under 64 MiB for the whole process; 100,000 in under 5 s and under 512 MiB.

$builds
"
echo "$section"
if [ -n "$short" ]; then
  echo "(short mode: bench/RESULTS.md left as it is)"
  exit 0
fi
# Replaces the section, or adds it at the end.
python3 - "$section" <<'EOF'
import re, sys
path = 'bench/RESULTS.md'
text = open(path).read()
section = sys.argv[1].rstrip('\n') + '\n'
start = text.find('## Signature sets\n')
if start < 0:
    text = text.rstrip('\n') + '\n\n' + section
else:
    end = text.find('\n## ', start + 1)
    text = text[:start] + section + ('\n' + text[end + 1:] if end >= 0 else '')
open(path, 'w').write(text)
EOF
echo "Written to bench/RESULTS.md"
