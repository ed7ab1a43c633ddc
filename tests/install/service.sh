#!/usr/bin/env bash
# The watch's system service as systemd reads it: the unit verifies (its
# program found, every directive known), it carries the hardening it promises,
# systemd's own exposure score keeps it among the well-confined services, and
# the configuration it ships stops the watch with a clear message until it
# names folders.
#
# service.sh BUILD_DIR
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
gui=0
source "$here/common.sh"

unit=$build/packaging/tervane-watch.service
conf=$here/../../packaging/systemd/watch.conf
cli=$build/cli/tervane-cli
[ -f "$unit" ] || { echo "FAIL: no $unit" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# --- The directives -----------------------------------------------------------
has() { grep -qxF "$1" "$unit" || fail "the unit lacks $1"; }
has 'ExecStart=tervane-cli watch --config /etc/tervane/watch.conf'
has 'ProtectSystem=strict'
has 'ProtectHome=read-only'
has 'PrivateTmp=yes'
has 'NoNewPrivileges=yes'
has 'StateDirectory=tervane'
has 'Environment=XDG_DATA_HOME=/var/lib/tervane'
has 'WantedBy=multi-user.target'
# Write access is the administrator's to give, folder by folder.
grep -q '^ReadWritePaths=' "$unit" && fail "the unit gives write access of its own: $(grep '^ReadWritePaths=' "$unit")"

# --- systemd's own checks -----------------------------------------------------
if need systemd-analyze systemd; then
  # Verified against the program just built: the installed one may be older or
  # missing. The manual page is not installed here.
  sed "s|^ExecStart=tervane-cli |ExecStart=$cli |" "$unit" >"$tmp/tervane-watch.service"
  if ! systemd-analyze verify --man=no "$tmp/tervane-watch.service" >"$tmp/verify.txt" 2>&1; then
    cat "$tmp/verify.txt" >&2
    fail "systemd-analyze verify refuses the unit"
  fi
  [ -s "$tmp/verify.txt" ] && { cat "$tmp/verify.txt" >&2; fail "systemd-analyze verify warns"; }
  score=$(systemd-analyze security --offline=true "$tmp/tervane-watch.service" 2>/dev/null |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
  echo "exposure level: ${score:-unknown}"
  if [ -z "$score" ]; then
    fail "systemd-analyze security gave no exposure level"
  elif awk -v s="$score" 'BEGIN { exit !(s > 4.0) }'; then
    fail "exposure level $score is above 4.0"
  fi
fi

# --- The configuration shipped --------------------------------------------------
# Everything in it is a comment: the watch refuses to start, and says why.
set +e
"$cli" watch --config "$conf" >"$tmp/out" 2>"$tmp/err"
status=$?
set -e
[ "$status" = 2 ] || fail "watch with the shipped configuration exits $status, not 2"
grep -q 'watch takes one or more FOLDERs' "$tmp/err" || fail "no clear message: $(cat "$tmp/err")"

# With a folder and a signature file it watches, and stops on SIGTERM with 0.
mkdir "$tmp/www"
printf '%s' '<iframe width=0 height=0>' >"$tmp/sig"
{ sed 's/^#clean = no/clean = no/' "$conf"; echo "folder = $tmp/www"; echo "signature-file = $tmp/sig"; } >"$tmp/watch.conf"
"$cli" watch --config "$tmp/watch.conf" >"$tmp/out" 2>"$tmp/err" &
pid=$!
for _ in $(seq 600); do
  grep -q 'tervane-cli: watching' "$tmp/err" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
grep -q 'tervane-cli: watching' "$tmp/err" || fail "watch did not start: $(cat "$tmp/err")"
printf '<p><IFRAME width=0 height=0></p>' >"$tmp/www/index.php"
for _ in $(seq 600); do
  grep -q index.php "$tmp/out" && break
  sleep 0.1
done
kill -TERM "$pid"
set +e
wait "$pid"
status=$?
set -e
[ "$status" = 0 ] || fail "watch stopped with status $status, not 0"
[ "$(cat "$tmp/out")" = "$tmp/www/index.php" ] || fail "watch printed '$(cat "$tmp/out")'"

finish
