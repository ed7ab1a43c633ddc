#!/usr/bin/env bash
# The layers, each above the ones it uses: text, platform, then the scan and the
# clean side by side, the engine that assumes no window, then the window's
# commands (window) and the command line (cli) side by side, and the windows
# (ui) on top. A source file includes project headers of its own layer and of
# layers below only; Qt Widgets only in the windows; the window's own names
# (Command1_Click, Text1, ScanFlag, ...) only in the window's two rooms; and no
# chain of includes comes back to where it started.
#   layering.sh SOURCE_DIR [QT_WIDGETS_HEADER_DIR]
set -uo pipefail
cd "${1:?source folder}" || exit 2
widgets=${2:-}

declare -A rank=([text]=0 [platform]=1 [scan]=2 [clean]=2 [engine]=3 [window]=4 [cli]=4 [ui]=5)

status=0
# Every layer is a folder, and every folder of program sources is a layer.
for d in "${!rank[@]}"; do
  [[ -d $d ]] || { echo "no folder $d/ for its layer"; status=1; }
done
for d in */; do
  d=${d%/}
  case $d in tests | fuzz | bench | tools | packaging | docs | build*) continue ;; esac
  if [[ -z ${rank[$d]:-} ]] && compgen -G "$d/*.cpp" >/dev/null; then
    echo "$d/ holds sources but is no layer"
    status=1
  fi
done
edges=$(mktemp)
trap 'rm -f "$edges" "$edges.err"' EXIT
files=$(find text platform scan clean engine window ui cli -maxdepth 1 2>/dev/null -name '*.cpp' -o -maxdepth 1 -name '*.h' | sort)
[[ -n $files ]] || { echo "no sources under $PWD"; exit 2; }
for f in $files; do
  layer=${f%%/*}
  r=${rank[$layer]}
  while read -r inc; do
    to=${inc%%/*}
    [[ -n ${rank[$to]:-} ]] || continue
    t=${rank[$to]}
    if [[ $to != "$layer" ]] && ((t >= r)); then
      echo "$f includes $inc: $to is not below $layer"
      status=1
    fi
    echo "$f $inc" >>"$edges"
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$f")
  if [[ -n $widgets && $layer != ui ]]; then
    while read -r q; do
      if [[ -e $widgets/$q ]]; then
        echo "$f includes <$q>, a Qt Widgets header"
        status=1
      fi
    done < <(sed -n 's/^#include <\(Q[A-Za-z]*\)>.*/\1/p' "$f")
  fi
done
# The window's controls, handlers and values keep their numbered names in the
# window's rooms only; everywhere else names say what they are.
window_names='\b(Command[0-9]+_Click|Form_Load|Text[0-9]+_[A-Za-z]+|ToFRM2|ScanFlag|FileTypes|SonMuLu|OpenFiles|LabelTxt|GJZ|ApPath|NameX|Text[0-9]|Combo[0-9]|Drive1|Form[12])\b'
for f in $files; do
  case ${f%%/*} in window | ui) continue ;; esac
  if grep -nE "$window_names" "$f" | sed "s#^#$f:#" | grep .; then
    echo "$f: a window's name outside the window"
    status=1
  fi
done
if ! tsort "$edges" >/dev/null 2>"$edges.err"; then
  echo "an include cycle:"
  cat "$edges.err"
  status=1
fi
exit $status
