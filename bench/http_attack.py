#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
# The HTTP listener of `varnok serve` under two attacks, for each daemon program given (to set
# builds side by side in one run): one connection sending 256 MiB of headers, then 100
# connections sending a header byte every 3 s. For each: the daemon's resident memory before,
# at its peak and after, and how long a /metrics from another connection takes meanwhile.
#   bench/http_attack.py NAME=PATH/varnok-serve [NAME=PATH ...]
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

ATTACK_BYTES = 256 << 20
SLOW_CLIENTS = 100


def rss_kib(pid, field="VmRSS"):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def metrics_seconds(port, limit=120):
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=limit) as s:
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            first = s.recv(64)
        ok = first.startswith(b"HTTP/1.1 200")
    except OSError:
        ok = False
    return time.monotonic() - start, ok


def header_flood(port, sent):
    line = b"X-Pad: " + b"a" * 4000 + b"\r\n"
    try:
        with socket.create_connection(("127.0.0.1", port)) as s:
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n")
            while sent[0] < ATTACK_BYTES:
                s.sendall(line * 64)
                sent[0] += len(line) * 64
            s.sendall(b"\r\n")
            s.settimeout(30)
            s.recv(64)
    except OSError:
        pass


def slow_client(port, stop):
    try:
        with socket.create_connection(("127.0.0.1", port)) as s:
            s.sendall(b"GET /metrics HTTP/1.1\r\n")
            while not stop.is_set():
                s.sendall(b"X")
                stop.wait(3)
    except OSError:
        pass


def run(name, program):
    work = tempfile.mkdtemp(prefix="varnok-attack-")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    config = os.path.join(work, "serve.yml")
    with open(config, "w") as f:
        f.write(f"socket: {work}/varnok.sock\nhttp_listen: 127.0.0.1:{port}\n")
    daemon = subprocess.Popen([program, "serve", "--config", config], stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            if metrics_seconds(port, 1)[1]:
                break
            time.sleep(0.1)
        base = rss_kib(daemon.pid)

        sent = [0]
        flood = threading.Thread(target=header_flood, args=(port, sent))
        flood.start()
        while sent[0] < ATTACK_BYTES // 8 and flood.is_alive():
            time.sleep(0.05)
        during, ok = metrics_seconds(port)
        peak = base
        while flood.is_alive():
            peak = max(peak, rss_kib(daemon.pid))
            time.sleep(0.05)
        flood.join()
        time.sleep(1)
        after = rss_kib(daemon.pid)
        print(f"{name}: 256 MiB of headers: {sent[0] >> 20} MiB taken, RSS {base >> 10} MiB "
              f"before, {max(peak, after) >> 10} MiB peak, {after >> 10} MiB after; /metrics "
              f"meanwhile {during:.3f} s ({'200' if ok else 'no answer'})")

        stop = threading.Event()
        slow = [threading.Thread(target=slow_client, args=(port, stop)) for _ in range(SLOW_CLIENTS)]
        base = rss_kib(daemon.pid)
        for t in slow:
            t.start()
        time.sleep(2)
        during, ok = metrics_seconds(port, 60)
        peak = rss_kib(daemon.pid)
        stop.set()
        for t in slow:
            t.join()
        print(f"{name}: {SLOW_CLIENTS} slow clients: /metrics meanwhile {during:.3f} s "
              f"({'200' if ok else 'no answer'}), RSS {base >> 10} MiB before, {peak >> 10} MiB "
              f"during")
    finally:
        daemon.terminate()
        daemon.wait()


if __name__ == "__main__":
    for arg in sys.argv[1:]:
        run(*arg.split("=", 1))
