#!/usr/bin/env bash
# tervane-cli report --html opened in Debian's chromium, headless: the page of
# three servers' real scans (an infected tree, with a second variant and a
# file of a hostile name; a clean one; one with a file it could not read)
# loads with no console error and no request but its own file, opens no
# dialog, and its table sorts and filters (cdp_page.py). Skipped, with the
# reason, where chromium or python3 is missing.
#
# report_browser.sh TERVANE_CLI [SCREENSHOT.png]
set -euo pipefail
cli=$(readlink -f "$1")
shot=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
tools_fail() {
  echo "FAIL: $*" >&2
  exit 1
}
source "$here/../tools.sh"
if ! need chromium chromium || ! need python3 python3; then
  tools_status || exit $?
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cat >"$tmp/set.jsonl" <<'SET'
{"name": "frame", "text": "<iframe src=\"http://bad.example.net/x.php\" width=0 height=0></iframe>"}
{"name": "script", "text": "<script src=\"//bad.example.org/s.js\"></script>"}
SET
frame='<iframe src="http://bad.example.net/x.php" width=0 height=0></iframe>'
script='<script src="//bad.example.org/s.js"></script>'
mkdir -p "$tmp/web1/wp-content/sub" "$tmp/web1/<img src=x onerror=alert(1)>" "$tmp/web2" "$tmp/web3/locked"
printf '<?php echo 1; ?>%s\n' "$frame" >"$tmp/web1/index.php"
printf '<html>%s%s</html>\n' "$frame" "$script" >"$tmp/web1/wp-content/sub/page.php"
printf '%s\n' "$script" >"$tmp/web1/wp-content/sub/a.js"
printf '%s\n' "$script" >"$tmp/web1/<img src=x onerror=alert(1)>/<script>alert(2)<"
printf '<?php echo 2; ?>\n' >"$tmp/web2/index.php"
printf '%s\n' "$frame" >"$tmp/web3/locked/x.php"
printf '%s padding\n' "$frame" >"$tmp/web3/index.php"
mkdir -p "$tmp/reports/web1" "$tmp/reports/web2" "$tmp/reports/web3"
for h in web1 web2; do
  "$cli" scan --json --filter '全部文件' --signatures "$tmp/set.jsonl" "$tmp/$h" \
    >"$tmp/reports/$h/scan.jsonl" 2>/dev/null || true
done
# As root the folder is readable all the same; its report says so either way.
chmod 000 "$tmp/web3/locked"
"$cli" scan --json --filter '全部文件' --signatures "$tmp/set.jsonl" "$tmp/web3" \
  >"$tmp/reports/web3/scan.jsonl" 2>/dev/null || true
chmod 755 "$tmp/web3/locked"

"$cli" report --html --title 'Tervane 感染报告：三台服务器' "$tmp"/reports/*/scan.jsonl >"$tmp/page.html"
grep -q '<td class="server">web3</td>' "$tmp/page.html" || tools_fail "web3 is not on the page"
python3 "$here/cdp_page.py" "$(command -v chromium)" "$tmp/page.html" ${shot:+--screenshot "$shot"}
echo "report page in chromium: loads clean, sorts, filters"
