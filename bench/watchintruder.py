#!/usr/bin/env python3
"""What an intruder who knows the watch tries, for bench/watch.sh.

  watchintruder.py MODE TREE OUTSIDE COUNT RATE SIGNATURE LOG

MODE "prepare-links" makes COUNT pages in TREE/pages with a second name each in
OUTSIDE (before the watch starts); "links" then appends the signature through
those outside names, RATE a second. "prepare-overflow" makes TREE/burst and COUNT
folders TREE/old<i>; "overflow" writes a burst of 30,000 files that overflows the
kernel's queue, makes TREE/new<i>, renames TREE/old<i> to TREE/moved<i>, and
writes an infected page into each. "open" writes infected pages that are
never closed (COUNT kept open, COUNT written through a mapping after their
close) and holds them until it is killed. LOG gets one line per infected
page: its path in TREE, a tab, and the CLOCK_REALTIME of its write in
nanoseconds.
"""
import mmap
import os
import sys
import time

mode, tree, outside, count, rate, sig, log = sys.argv[1:8]
count, rate = int(count), float(rate)
line = ("<p>x</p>" + sig + "\n").encode()
out = open(log, "w")


def logged(path):
    out.write(f"{path}\t{time.clock_gettime_ns(time.CLOCK_REALTIME)}\n")
    out.flush()


def write(path, data, flags=os.O_WRONLY | os.O_CREAT | os.O_TRUNC):
    fd = os.open(path, flags, 0o644)
    os.write(fd, data)
    os.close(fd)


if mode == "prepare-links":
    os.makedirs(f"{tree}/pages", exist_ok=True)
    for i in range(count):
        write(f"{tree}/pages/p{i}.php", b"<p>page</p>\n")
        os.link(f"{tree}/pages/p{i}.php", f"{outside}/l{i}")
elif mode == "links":
    for i in range(count):
        write(f"{outside}/l{i}", line, os.O_WRONLY | os.O_APPEND)
        logged(f"{tree}/pages/p{i}.php")
        time.sleep(1 / rate)
elif mode == "prepare-overflow":
    # Watched from the start, so that the burst's events fill the queue.
    os.makedirs(f"{tree}/burst", exist_ok=True)
    for i in range(count):
        os.makedirs(f"{tree}/old{i}/inner", exist_ok=True)
elif mode == "overflow":
    os.makedirs(f"{tree}/burst", exist_ok=True)
    for i in range(30000):
        write(f"{tree}/burst/{i}.txt", b"x")
    for i in range(count):
        os.mkdir(f"{tree}/new{i}")
        os.rename(f"{tree}/old{i}", f"{tree}/moved{i}")
    for i in range(count):
        write(f"{tree}/new{i}/x.php", line)
        logged(f"{tree}/new{i}/x.php")
        write(f"{tree}/moved{i}/inner/y.php", line)
        logged(f"{tree}/moved{i}/inner/y.php")
elif mode == "open":
    held = []
    for i in range(count):
        fd = os.open(f"{tree}/open{i}.php", os.O_WRONLY | os.O_CREAT, 0o644)
        os.write(fd, line)
        logged(f"{tree}/open{i}.php")
        held.append(fd)
        time.sleep(1 / rate)
    for i in range(count):
        fd = os.open(f"{tree}/map{i}.php", os.O_RDWR | os.O_CREAT, 0o644)
        os.ftruncate(fd, len(line))
        m = mmap.mmap(fd, len(line))
        os.close(fd)
        m[:] = line
        logged(f"{tree}/map{i}.php")
        held.append(m)
        time.sleep(1 / rate)
    time.sleep(3600)
else:
    sys.exit(f"unknown mode {mode}")
