#!/usr/bin/env bash
# The layers, each above the ones it uses: text, platform, then the scan and the
# clean engines side by side, the commands (app), then the windows (ui) and the
# command line (cli) side by side. A source file includes project headers of its
# own layer and of layers below only; Qt Widgets only in the windows; and no
# chain of includes comes back to where it started.
#   layering.sh SOURCE_DIR [QT_WIDGETS_HEADER_DIR]
set -uo pipefail
cd "${1:?source folder}" || exit 2
widgets=${2:-}

declare -A rank=([text]=0 [platform]=1 [scan]=2 [clean]=2 [app]=3 [ui]=4 [cli]=4)

status=0
edges=$(mktemp)
trap 'rm -f "$edges" "$edges.err"' EXIT
files=$(find text platform scan clean app ui cli -maxdepth 1 -name '*.cpp' -o -maxdepth 1 -name '*.h' | sort)
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
# The command line is no window: nothing it includes, directly or through other
# headers, holds the window's state or the window's commands over it.
window_state=" app/windowstate.h app/windowscan.h app/cleaner.h "
for f in $(grep -o '^cli/[^ ]*' "$edges" | sort -u); do
  seen=" $f "
  todo=("$f")
  while ((${#todo[@]})); do
    from=${todo[0]}
    todo=("${todo[@]:1}")
    while read -r inc; do
      [[ $seen == *" $inc "* ]] && continue
      seen+="$inc "
      todo+=("$inc")
      if [[ $window_state == *" $inc "* ]]; then
        echo "$f reaches $inc (through $from): the command line holds no window state"
        status=1
      fi
    done < <(awk -v from="$from" '$1 == from { print $2 }' "$edges")
  done
done
if ! tsort "$edges" >/dev/null 2>"$edges.err"; then
  echo "an include cycle:"
  cat "$edges.err"
  status=1
fi
exit $status
