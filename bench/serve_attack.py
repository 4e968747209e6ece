#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
# The attacks of bench/serve_attack.sh against one running `varnok serve`, one after another.
# For each: the daemon's VmRSS before, at its peak (sampled every 20 ms) and 1 s after the
# attack ended, and, while the attack holds, a /metrics from another connection (limit 2 s) and
# a `varnok check --via SOCKET --no-fallback` of the fixture sshd with a key no session holds yet
# (--timeout 10). The machine's load average is printed with each.
import argparse
import collections
import os
import socket
import struct
import subprocess
import threading
import time

A = None
MIB = 1 << 20


def rss_kib():
    with open(f"/proc/{A.pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def metrics_text():
    with socket.create_connection(("127.0.0.1", A.port), timeout=10) as s:
        s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        out = b""
        while chunk := s.recv(65536):
            out += chunk
    return out.decode(errors="replace")


def counter(text, name):
    return sum(float(line.split()[-1]) for line in text.splitlines()
               if line.startswith(name + " ") or line.startswith(name + "{"))


def legit_metrics():
    start = time.monotonic()
    try:
        ok = metrics_text().startswith("HTTP/1.1 200")
    except OSError as e:
        ok = False
        print(f"  /metrics: {e}")
    return time.monotonic() - start, ok


def param(key):
    e = os.environ
    return (f"#USR={e['VARNOK_SSH_USER']}#KEYF={key}#PORT={e['VARNOK_SSH_PORT_BSD']}"
            "#OS=BSD#COL=5#PRO=sshd#SGN=LT#NUM=1#")


def via_check(key, limit=10):
    start = time.monotonic()
    run = subprocess.run([A.varnok, "check", "--host", "127.0.0.1", "--timeout", str(limit),
                          "--param", param(key), "--via", A.socket, "--no-fallback"],
                         capture_output=True, text=True, timeout=3 * limit)
    return time.monotonic() - start, run.returncode, (run.stdout + run.stderr).strip()


class Peak:
    def __init__(self):
        self.base = rss_kib()
        self.peak = self.base
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.sample)
        self.thread.start()

    def sample(self):
        while not self.stop.wait(0.02):
            self.peak = max(self.peak, rss_kib())

    def end(self):
        time.sleep(1)
        self.stop.set()
        self.thread.join()
        after = rss_kib()
        return self.base, max(self.peak, after), after


keys = iter(range(1, 100))


def legit(label):
    """A /metrics and a --via check with a fresh key, at once, while the attack holds."""
    got = {}
    key = os.path.join(A.keys, f"k{next(keys)}")
    t = threading.Thread(target=lambda: got.update(check=via_check(key)))
    t.start()
    got["metrics"] = legit_metrics()
    t.join()
    m_s, m_ok = got["metrics"]
    c_s, c_rc, c_out = got["check"]
    print(f"  {label}: /metrics {m_s:.3f} s ({'200' if m_ok else 'no answer'}); "
          f"--via check {c_s:.3f} s, exit {c_rc}: {c_out[:160]}")


def report(name, peak):
    base, top, after = peak.end()
    print(f"  RSS {base / 1024:.1f} MiB before, {top / 1024:.1f} MiB peak, {after / 1024:.1f} MiB "
          f"after (growth {(top - base) / 1024:.1f} MiB)")


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def header(name):
    print(f"{name} (load average {load()})", flush=True)


def closed_by_peer(socks, wait):
    """How many of socks the daemon closed or answered within wait seconds; the first answer."""
    deadline = time.monotonic() + wait
    closed, first = 0, b""
    for s in socks:
        s.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            data = s.recv(256)
            closed += 1
            first = first or data
        except socket.timeout:
            pass
        except OSError:
            closed += 1
    return closed, first


def attack_frames():
    header("(a) 300 socket connections announcing a 4 MiB frame, then nothing")
    peak = Peak()
    start = time.monotonic()
    socks = []
    for _ in range(300):
        s = socket.socket(socket.AF_UNIX)
        s.connect(A.socket)
        s.sendall(struct.pack(">I", 4 * MIB))
        socks.append(s)
    print(f"  300 connected in {time.monotonic() - start:.2f} s")
    legit("meanwhile")
    closed, first = closed_by_peer(socks, 8 - (time.monotonic() - start))
    print(f"  within 8 s of the first connect the daemon closed {closed} of 300; first answer "
          f"{first[4:120]!r}")
    for s in socks:
        s.close()
    report("a", peak)


def header_flood(sent, total):
    line = b"X-Pad: " + b"a" * 4000 + b"\r\n"
    try:
        with socket.create_connection(("127.0.0.1", A.port)) as s:
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n")
            while sent[0] < total:
                s.sendall(line * 64)
                sent[0] += len(line) * 64
            s.sendall(b"\r\n")
            s.settimeout(30)
            sent.append(s.recv(64))
    except OSError as e:
        sent.append(repr(e).encode())


def attack_flood():
    header("(b) one HTTP connection sending 256 MiB of headers")
    peak = Peak()
    sent = [0]
    flood = threading.Thread(target=header_flood, args=(sent, 256 * MIB))
    flood.start()
    while sent[0] < 32 * MIB and flood.is_alive():
        time.sleep(0.02)
    legit("once 32 MiB were sent or the sender was cut off")
    flood.join()
    print(f"  the daemon took {sent[0] / MIB:.0f} MiB before the end: {sent[1][:60]!r}")
    report("b", peak)


def big_headers(ready, answers, stop, i):
    start = time.monotonic()
    lines = b"".join(b"X-Pad-%d: " % n + b"a" * 4000 + b"\r\n" for n in range(256))
    try:
        with socket.create_connection(("127.0.0.1", A.port)) as s:
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n" + lines[:1000 * 1024])
            ready[i] = True
            s.settimeout(0.2)
            while not stop.is_set():
                try:
                    answers[i] = (s.recv(64)[:12] or b"closed", round(time.monotonic() - start))
                    return
                except socket.timeout:
                    pass
    except OSError as e:
        answers[i] = (type(e).__name__.encode(), round(time.monotonic() - start))
    finally:
        ready[i] = True


def attack_big_headers():
    header("(c) 100 HTTP connections each sending 1,000 KiB of headers, then waiting")
    peak = Peak()
    ready, answers, stop = [False] * 100, [b"no answer"] * 100, threading.Event()
    threads = [threading.Thread(target=big_headers, args=(ready, answers, stop, i))
               for i in range(100)]
    start = time.monotonic()
    for t in threads:
        t.start()
    while not all(ready) and time.monotonic() - start < 10:
        time.sleep(0.02)
    print(f"  all 100 sent (or were cut off) in {time.monotonic() - start:.2f} s")
    legit("meanwhile")
    time.sleep(max(0, 7 - (time.monotonic() - start)))
    stop.set()
    for t in threads:
        t.join()
    kinds = dict(collections.Counter(answers))
    print(f"  what the 100 got within 7 s (answer, whole seconds after they connected): {kinds}")
    report("c", peak)


def slow_client(stop, answers, i):
    try:
        with socket.create_connection(("127.0.0.1", A.port)) as s:
            s.sendall(b"GET /metrics HTTP/1.1\r\n")
            s.settimeout(0)
            while not stop.is_set():
                s.sendall(b"X")
                try:
                    answers[i] = s.recv(64)[:12] or b"closed"
                    return
                except BlockingIOError:
                    pass
                stop.wait(3)
    except OSError as e:
        answers[i] = type(e).__name__.encode()


def attack_slow():
    header("(d) 100 slow HTTP connections, a header byte every 3 s")
    peak = Peak()
    stop, answers = threading.Event(), [b"still open"] * 100
    threads = [threading.Thread(target=slow_client, args=(stop, answers, i)) for i in range(100)]
    for t in threads:
        t.start()
    time.sleep(2)
    legit("2 s after they opened")
    time.sleep(8)
    stop.set()
    for t in threads:
        t.join()
    kinds = dict(collections.Counter(answers))
    print(f"  the 100 after 10 s: {kinds}")
    report("d", peak)


def silent_listener(port, stop, held):
    with socket.socket() as server:
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        server.bind(("127.0.0.1", port))
        server.listen(64)
        server.settimeout(0.2)
        while not stop.is_set():
            try:
                held.append(server.accept()[0])
            except socket.timeout:
                pass


def probe(i, results):
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", A.port), timeout=60) as s:
            s.sendall(b"GET /probe?target=127.0.0.1&module=silent%d HTTP/1.1\r\nHost: x\r\n"
                      b"Connection: close\r\n\r\n" % i)
            out = b""
            while chunk := s.recv(65536):
                out += chunk
        text = out.decode(errors="replace")
        reason = [l for l in text.splitlines() if l.startswith("varnok_failure{") and l.endswith(" 1")]
        results[i] = (time.monotonic() - start, text.split("\r\n", 1)[0],
                      reason[0] if reason else "probe_success 1" in text)
    except OSError as e:
        results[i] = (time.monotonic() - start, repr(e), None)


def attack_silent():
    ports = [int(p) for p in A.silent.split()]
    header(f"(e) {len(ports)} /probe of targets that accept TCP and never speak")
    stop, held = threading.Event(), []
    listeners = [threading.Thread(target=silent_listener, args=(p, stop, held)) for p in ports]
    for t in listeners:
        t.start()
    time.sleep(0.5)
    before = metrics_text()
    peak = Peak()
    results = [None] * len(ports)
    probes = [threading.Thread(target=probe, args=(i, results)) for i in range(len(ports))]
    start = time.monotonic()
    for t in probes:
        t.start()
    time.sleep(1)
    print(f"  connections the silent listeners hold after 1 s: {len(held)}")
    legit("1 s after the probes were sent")
    time.sleep(4)
    print(f"  after 5 s: {len(held)}")
    for t in probes:
        t.join()
    print(f"  all {len(ports)} probes answered within {time.monotonic() - start:.1f} s; the silent "
          f"listeners got {len(held)} connections")
    kinds = {}
    for seconds, status, reason in results:
        kinds.setdefault((status, reason), []).append(seconds)
    for (status, reason), times in sorted(kinds.items(), key=str):
        print(f"  {len(times)} x {status} {reason}: {min(times):.1f}-{max(times):.1f} s")
    after = metrics_text()
    for name in ("varnok_logins_total", "varnok_probes_total"):
        print(f"  {name}: +{counter(after, name) - counter(before, name):.0f}")
    stop.set()
    for t in listeners:
        t.join()
    for s in held:
        s.close()
    report("e", peak)


def attack_keyfiles():
    header("(f) --via checks whose KEYF is /dev/zero, then a FIFO")
    fifo = os.path.join(A.work, "key.fifo")
    os.mkfifo(fifo, 0o600)
    peak = Peak()
    before = metrics_text()
    for key in ("/dev/zero", fifo):
        seconds, rc, out = via_check(key)
        print(f"  KEYF={key}: answered in {seconds:.3f} s, exit {rc}: {out[:200]}")
    after = metrics_text()
    print(f"  the daemon's requests_total: +"
          f"{counter(after, 'varnok_requests_total') - counter(before, 'varnok_requests_total'):.0f}")
    legit("after them")
    report("f", peak)


def main():
    global A
    p = argparse.ArgumentParser()
    for name in ("pid", "port"):
        p.add_argument("--" + name, type=int, required=True)
    for name in ("socket", "varnok", "keys", "work", "silent"):
        p.add_argument("--" + name, required=True)
    A = p.parse_args()
    header("no attack")
    peak = Peak()
    legit("baseline")
    report("-", peak)
    for attack in (attack_frames, attack_flood, attack_big_headers, attack_slow, attack_silent,
                   attack_keyfiles):
        attack()
    text = metrics_text()
    ok = counter(text, 'varnok_logins_total{result="ok"}')
    threads = len(os.listdir(f"/proc/{A.pid}/task"))
    print(f"at the end: logins {counter(text, 'varnok_logins_total'):.0f} (ok {ok:.0f}), "
          f"sessions open {counter(text, 'varnok_sessions_open'):.0f}, threads {threads}")


if __name__ == "__main__":
    main()
