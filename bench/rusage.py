#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Runs a command and prints "wall_ms cpu_ms" for it alone (wait4's resource usage, in
microseconds, where the shell's `time` and /usr/bin/time round to 10 ms):
bench/rusage.py COMMAND [ARGS...]"""
import os
import subprocess
import sys
import time

start = time.monotonic()
child = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
_, _, usage = os.wait4(child.pid, 0)
wall = (time.monotonic() - start) * 1000
print(f"{wall:.0f} {(usage.ru_utime + usage.ru_stime) * 1000:.1f}")
