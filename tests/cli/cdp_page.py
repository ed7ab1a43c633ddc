#!/usr/bin/env python3
"""Opens an incident page in headless Chromium over its DevTools pipe and
checks it as a person would use it: it loads with no console error and no
request but its own file, no dialog opens, and the table sorts and filters by
its own script. With --screenshot FILE it also saves the page as a PNG.

cdp_page.py CHROMIUM PAGE.html [--screenshot FILE]
Exit status 0 when every check passed, 1 otherwise (each failure printed)."""
import base64
import json
import os
import subprocess
import sys
import tempfile

chromium, page = sys.argv[1], os.path.abspath(sys.argv[2])
shot = sys.argv[4] if len(sys.argv) > 4 and sys.argv[3] == "--screenshot" else None
url = "file://" + page

profile = tempfile.mkdtemp(prefix="tervane-chromium-")
to_browser_r, to_browser_w = os.pipe()
from_browser_r, from_browser_w = os.pipe()


def wire():  # the browser reads commands on fd 3 and writes on fd 4
    os.dup2(to_browser_r, 3)
    os.dup2(from_browser_w, 4)


browser = subprocess.Popen(
    [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
     "--disable-background-networking", "--disable-component-update", "--disable-sync",
     "--disable-extensions", "--remote-debugging-pipe", "--window-size=1280,1400",
     "--user-data-dir=" + profile, "about:blank"],
    pass_fds=(3, 4), preexec_fn=wire, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
os.close(to_browser_r)
os.close(from_browser_w)
out = os.fdopen(to_browser_w, "wb")
inp = os.fdopen(from_browser_r, "rb")

failures = []
events = []
pending = b""
next_id = 0


def receive():
    global pending
    while b"\0" not in pending:
        chunk = inp.read1(65536)
        if not chunk:
            raise SystemExit("the browser closed its pipe")
        pending += chunk
    message, pending = pending.split(b"\0", 1)
    return json.loads(message)


def call(method, params=None, session=None):
    global next_id
    next_id += 1
    message = {"id": next_id, "method": method, "params": params or {}}
    if session:
        message["sessionId"] = session
    out.write(json.dumps(message).encode() + b"\0")
    out.flush()
    while True:
        m = receive()
        if m.get("id") == next_id:
            if "error" in m:
                raise SystemExit(f"{method}: {m['error']}")
            return m.get("result", {})
        events.append(m)


def wait_for(method):
    for m in events:
        if m.get("method") == method:
            return
    while True:
        m = receive()
        events.append(m)
        if m.get("method") == method:
            return


try:
    target = next(t for t in call("Target.getTargets")["targetInfos"] if t["type"] == "page")
    session = call("Target.attachToTarget", {"targetId": target["targetId"], "flatten": True})["sessionId"]
    for domain in ("Runtime", "Log", "Network", "Page"):
        call(domain + ".enable", session=session)
    events.clear()
    call("Page.navigate", {"url": url}, session)
    wait_for("Page.loadEventFired")

    def js(expression):
        r = call("Runtime.evaluate", {"expression": expression, "returnByValue": True}, session)
        if "exceptionDetails" in r:
            failures.append(f"script error in {expression!r}: {r['exceptionDetails']}")
            return None
        return r["result"].get("value")

    # Sort by size (a number), then again for the other way; then by path.
    column = "(i) => Array.from(document.querySelectorAll('#files tbody tr')).map(r => r.cells[i].getAttribute('data-v') ?? r.cells[i].textContent)"
    click = "(i) => document.querySelectorAll('#files thead th button')[i].click()"
    rows = js(f"({column})(4).length")
    if not rows or rows < 2:
        failures.append(f"the table has {rows} rows, too few to sort")
    js(f"({click})(4)")
    up = js(f"({column})(4).map(Number)")
    js(f"({click})(4)")
    down = js(f"({column})(4).map(Number)")
    if up != sorted(up or [0, -1]) or down != sorted(up or [], reverse=True):
        failures.append(f"sizes not sorted by the header: {up} then {down}")
    js(f"({click})(1)")
    paths = js(f"({column})(1)")
    if paths != sorted(paths or [1, 0]):
        failures.append(f"paths not sorted: {paths}")
    # The filter keeps the rows that hold its text.
    # (the last part of the first row's path, in upper case: the filter ignores case)
    kept = js("""(() => { const f = document.getElementById('filter');
        f.value = document.querySelector('#files tbody tr').cells[1].textContent.split('/').pop().toUpperCase();
        f.dispatchEvent(new Event('input'));
        return [document.getElementById('shown').textContent,
                Array.from(document.querySelectorAll('#files tbody tr')).filter(r => !r.hidden).map(r => r.cells[1].textContent)]; })()""")
    if not kept or kept[0] != str(len(kept[1])) or not kept[1] or len(kept[1]) == rows:
        failures.append(f"the filter kept {kept}")
    js("(() => { const f = document.getElementById('filter'); f.value = ''; f.dispatchEvent(new Event('input')); })()")
    # Nothing from a report became markup.
    counts = js("[document.scripts.length, document.images.length, document.querySelectorAll('iframe,object,embed,b,i').length]")
    if counts != [1, 0, 0]:
        failures.append(f"scripts, images, frames on the page: {counts}")

    if shot:
        js("document.getElementById('filter').blur()")
        png = call("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True,
                                              "clip": {"x": 0, "y": 0, "width": 1280,
                                                       "height": min(1400, js("document.documentElement.scrollHeight") or 1400),
                                                       "scale": 1}}, session)
        with open(shot, "wb") as f:
            f.write(base64.b64decode(png["data"]))

    for m in events:
        method, p = m.get("method"), m.get("params", {})
        if method == "Network.requestWillBeSent" and p["request"]["url"] != url:
            failures.append("a request: " + p["request"]["url"])
        elif method == "Runtime.consoleAPICalled" and p.get("type") in ("error", "warning", "assert"):
            failures.append("console: " + json.dumps(p.get("args")))
        elif method == "Runtime.exceptionThrown":
            failures.append("exception: " + json.dumps(p.get("exceptionDetails")))
        elif method == "Log.entryAdded" and p["entry"].get("level") in ("error", "warning"):
            failures.append("log: " + p["entry"].get("text", ""))
        elif method == "Page.javascriptDialogOpening":
            failures.append("a dialog opened: " + p.get("message", ""))
finally:
    browser.kill()
    browser.wait()
    subprocess.run(["rm", "-rf", profile])

for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)
