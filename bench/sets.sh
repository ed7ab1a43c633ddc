#!/usr/bin/env bash
# Signature sets on the generated tree of bench/ (hot cache): the scan with 1,
# 100, 1,000 and 10,000 signatures against the scan with the one signature, with
# the set cache warm (the set read back) and cold (emptied before each run, so
# the set is built and kept), and
# `yara -r` with the same sets as `nocase` strings on the same tree in the same
# run; the size of the compiled set at 10,000. Writes the section "Signature
# sets" of bench/RESULTS.md (run.sh calls it last; it can also run alone on a
# tree that run.sh generated).
#
#   bench/sets.sh
#
# Member 1 of every set is the main window's sample; the others are made-up
# injections of the kinds an incident collects (frames, scripts, PHP eval lines,
# document.write), none of them in the tree, so every set finds the same files.
# YARA cannot take any line break for a line break, so its sets begin with the
# sample's first line instead, and Tervane is run once more with that set: where
# byte matching gives the same answer, the two lists must be equal.
#
# Environment: as run.sh (TERVANE_BENCH_DIR, TERVANE_BENCH_FILES,
# TERVANE_BENCH_BUILD); TERVANE_BENCH_SET_RUNS (timed runs per command; default 5).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
source tools/deps.sh
tervane_install_deps time yara python3

dir=${TERVANE_BENCH_DIR:-/tmp/tervane-bench}
files=${TERVANE_BENCH_FILES:-100000}
runs=${TERVANE_BENCH_SET_RUNS:-5}
build=${TERVANE_BENCH_BUILD:-build-bench}
cores=$(nproc)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTERVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target tervane-cli tervane-bench-gentree tervane-bench-setcompile \
  tervane-bench-readlimit >/dev/null
cli=$repo/$build/cli/tervane-cli
tree=$dir/tree
stamp="files=$files generator=$(sha1sum bench/gentree.cpp | cut -c1-12)"
if [ "$(cat "$dir/generated" 2>/dev/null)" != "$stamp" ]; then
  echo "== Generating $files files in $tree"
  mkdir -p "$dir"
  rm -rf "$tree" "$dir/generated"
  "$repo/$build/bench/tervane-bench-gentree" "$dir" "$files" | tee "$dir/summary.txt"
  echo "$stamp" >"$dir/generated"
fi
sets=$dir/sets
mkdir -p "$sets"
printf -v sig '<iframe src="http://bad.example.net/index.php" width=0 \r\nheight=0></iframe>\r\n'
printf '%s' "$sig" >"$sets/sig.txt"

# The sets: JSON Lines for Tervane, rules for YARA (a rule per 1,000 strings).
python3 - "$sets" <<'EOF'
import json, random, sys
out = sys.argv[1]
sample = '<iframe src="http://bad.example.net/index.php" width=0 \r\nheight=0></iframe>\r\n'
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
    with open('%s/yara%d.yar' % (out, n), 'w') as f:
        texts = [first] + others[:n - 1]
        for r in range(0, n, 1000):
            f.write('rule set_%d {\n  strings:\n' % r)
            for i, t in enumerate(texts[r:r + 1000]):
                f.write('    $s%d = "%s" nocase\n' % (i, yara_string(t)))
            f.write('  condition:\n    any of them\n}\n')
EOF

# A set cache of the benchmark's own.
export XDG_DATA_HOME=$dir/data
cache=$XDG_DATA_HOME/tervane/sets

median() { tr ' ' '\n' | grep . | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
declare -A times
run_one() { "$cli" scan --signature-file "$sets/sig.txt" "$tree"; }
run_set1() { "$cli" scan --signatures "$sets/set1.jsonl" "$tree"; }
run_set100() { "$cli" scan --signatures "$sets/set100.jsonl" "$tree"; }
run_set1000() { "$cli" scan --signatures "$sets/set1000.jsonl" "$tree"; }
run_set10000() { "$cli" scan --signatures "$sets/set10000.jsonl" "$tree"; }
run_cold() { rm -rf "$cache" && "$cli" scan --signatures "$sets/set$1.jsonl" "$tree"; }
run_cold100() { run_cold 100; }
run_cold1000() { run_cold 1000; }
run_cold10000() { run_cold 10000; }
# Every file, as YARA reads every file: the filter "/" is in every path.
# Raw names (-0), as YARA prints them; the tree's names hold no line break.
run_all1() { "$cli" scan -0 --filter / --signatures "$sets/byteset1.jsonl" "$tree"; }
run_all10000() { "$cli" scan -0 --filter / --signatures "$sets/byteset10000.jsonl" "$tree"; }
run_yara() { yara -w -r -p "$cores" "$sets/yara$1.yar" "$tree" | cut -d' ' -f2- | LC_ALL=C sort -u; }
run_yara1() { run_yara 1; }
run_yara100() { run_yara 100; }
run_yara1000() { run_yara 1000; }
run_yara10000() { run_yara 10000; }
names=(one set1 set100 set1000 set10000 cold100 cold1000 cold10000 all1 all10000 yara1 yara100
  yara1000 yara10000)

"$repo/$build/bench/tervane-bench-readlimit" --all "$tree" >/dev/null 2>&1 || true
load=$(cut -d' ' -f1-3 /proc/loadavg)
for ((i = 1; i <= runs; i++)); do
  for n in "${names[@]}"; do
    # The warm runs after a cold one find the cache as a cold run left it.
    case $n in set*) "run_$n" >/dev/null || true ;; esac
    t0=$EPOCHREALTIME
    rc=0
    "run_$n" >"$sets/out-$n.txt" || rc=$?
    t1=$EPOCHREALTIME
    if [ "$rc" -gt 1 ]; then
      echo "$n failed with status $rc" >&2
      exit 1
    fi
    times[$n]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }') "
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
declare -A med
for n in "${names[@]}"; do
  med[$n]=$(echo "${times[$n]}" | median)
done

same() { if cmp -s "$sets/out-$1.txt" "$sets/out-$2.txt"; then echo yes; else echo NO; fi; }
tr '\0' '\n' <"$sets/out-all10000.txt" | LC_ALL=C sort >"$sets/out-all10000.sorted"
tr '\0' '\n' <"$sets/out-all1.txt" | LC_ALL=C sort >"$sets/out-all1.sorted"
yara_same=$(cmp -s "$sets/out-all10000.sorted" "$sets/out-yara10000.txt" && echo yes || echo NO)
yara1_same=$(cmp -s "$sets/out-all1.sorted" "$sets/out-yara1.txt" && echo yes || echo NO)
# The scan's status is 1 when it finds something.
peak=$({ /usr/bin/time -f %M "$cli" scan --signatures "$sets/set10000.jsonl" "$tree" 2>&1 >/dev/null ||
  true; } | tail -1)
compiled=$("$repo/$build/bench/tervane-bench-setcompile" "$sets/set10000.jsonl")
db=$(echo "$compiled" | sed -n 's/.*database_bytes=\([0-9]*\).*/\1/p')
build_s=$(echo "$compiled" | sed -n 's/.*build_seconds=\([0-9.]*\).*/\1/p')
built_kib=$(echo "$compiled" | sed -n 's/.*resident_kib_built=\([0-9]*\).*/\1/p')
read_kib=$(echo "$compiled" | sed -n 's/.*peak_kib_after_reading=\([0-9]*\).*/\1/p')

ratio() { awk -v a="$1" -v b="${med[one]}" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { awk -v a="$1" -v b="$2" 'BEGIN { print (a <= b) ? "met" : "NOT met" }'; }
table="| Command | Seconds | × one signature | Same files as one signature |
|---|---:|---:|---|
| tervane-cli scan, one signature (--signature-file) | ${med[one]} | 1.00 | - |"
for n in 1 100 1000 10000; do
  table+="
| tervane-cli scan --signatures, $n, set cache warm | ${med[set$n]} | $(ratio "${med[set$n]}") | $(same one "set$n") |"
done
for n in 100 1000 10000; do
  table+="
| tervane-cli scan --signatures, $n, set cache cold | ${med[cold$n]} | $(ratio "${med[cold$n]}") | $(same one "cold$n") |"
done
for n in 1 100 1000 10000; do
  table+="
| yara -r -p $cores, $n nocase strings (every file) | ${med[yara$n]} | $(ratio "${med[yara$n]}") | - |"
done
table+="
| tervane-cli scan --filter /, the byte set of 1 (every file) | ${med[all1]} | $(ratio "${med[all1]}") | yara's: $yara1_same |
| tervane-cli scan --filter /, the byte set of 10,000 (every file) | ${med[all10000]} | $(ratio "${med[all10000]}") | yara's: $yara_same |"

r1=$(ratio "${med[set1]}")
r100=$(ratio "${med[set100]}")
r1000=$(ratio "${med[set1000]}")
r10000=$(ratio "${med[set10000]}")
c100=$(ratio "${med[cold100]}")
c1000=$(ratio "${med[cold1000]}")
c10000=$(ratio "${med[cold10000]}")
section="## Signature sets

Last run: $(date -u '+%Y-%m-%d %H:%M UTC'), \`bench/sets.sh\`, medians of $runs hot runs per
command, interleaved. Load average $load before, $load_after after. Tree: $files files
($(cat "$dir/summary.txt" | head -1)). Filter \"*.ASP|*.PHP|*.JS\" unless said.

$table

- 1 signature as a set: $r1 × (no regression: $(verdict "$r1" 1.05))
- 100: $r100 × warm, $c100 × cold (target ≤ 1.1: $(verdict "$r100" 1.1) warm, $(verdict "$c100" 1.1) cold)
- 1,000: $r1000 × warm, $c1000 × cold (target ≤ 1.3: $(verdict "$r1000" 1.3) warm, $(verdict "$c1000" 1.3) cold)
- 10,000: $r10000 × warm, $c10000 × cold (target ≤ 2: $(verdict "$r10000" 2) warm, $(verdict "$c10000" 2) cold)
- compiled set at 10,000: $((db / 1024)) KiB of Hyperscan database, built in $build_s s; the
  process holds $(((built_kib - read_kib) / 1024)) MiB more once the set is built than after reading
  it (database, expressions, the heap the build leaves); target < 64 MiB:
  $(verdict "$(((built_kib - read_kib) * 1024))" 67108863); peak resident memory of the whole scan
  $((peak / 1024)) MiB
- YARA's answers (every file, the sample's first line and the same made-up members) equal
  Tervane's: $yara_same at 10,000, $yara1_same at 1
"
echo "$section"
# Replaces the section, or adds it at the end.
python3 - "$section" <<'EOF'
import re, sys
path = 'bench/RESULTS.md'
text = open(path).read()
section = sys.argv[1].rstrip('\n') + '\n'
start = text.find('## Signature sets')
if start < 0:
    text = text.rstrip('\n') + '\n\n' + section
else:
    end = text.find('\n## ', start + 1)
    text = text[:start] + section + (text[end + 1:] if end >= 0 else '')
open(path, 'w').write(text)
EOF
echo "Written to bench/RESULTS.md"
