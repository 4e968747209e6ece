#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# `varnok serve` holding a fleet's sessions, on the test sshd on 127.0.0.1 (needs root, for the
# fixture's user). The fixture listens on one address, so N "hosts" are N modules whose logins
# differ in their credentials: the fixture's RSA key, which has no pass phrase, with a pass
# phrase of its own per module (ignored by the key, but part of what a session is keyed on).
# The daemon starts under a soft open-file limit of 1024, as under systemd's default.
#   1. N probes (32 at a time): logins, wall time.
#   2. The daemon's RSS per held session (against its RSS before), the sshd's PSS per session
#      (every process below the listener, /proc/PID/smaps_rollup).
#   3. 60 s idle (keepalives every 30 s): the daemon's CPU.
#   4. N probes again: logins (0 expected), wall time.
#   5. A module with a wrong password probed every second for 30 s: failed logins at the sshd.
#   6. 12 checks at once through the socket of the port whose sshd allows 2 channels per
#      connection: answered, logins.
#   bench/fleet.sh [BUILD_DIR] [N]
set -euo pipefail
build=${1:-build} n=${2:-2000}
# shellcheck source=bench/fixture.sh
. "$(dirname "$0")/fixture.sh"
mkdir "$dir/bin"
for program in varnok varnok-core varnok-serve; do
  if [ -e "$build/$program" ]; then cp "$build/$program" "$dir/bin/"; fi
done
build=$dir/bin
sshd_pid=$(cat "$dir/fx/sshd.pid")
http_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
b64() { printf %s "$1" | base64; }
rule="#PORT=$VARNOK_SSH_PORT_BSD#OS=BSD#COL=5#PRO=sshd#SGN=LT#NUM=1#"
{
  echo "socket: $dir/varnok.sock"
  echo "http_listen: 127.0.0.1:$http_port"
  echo "max_concurrent_logins: 16"
  echo "http_logins: 16"
  echo "login_backoff: 60s"
  echo "host_keys: {known_hosts: $dir/known_hosts, check: accept-new}"
  echo "modules:"
  echo "  wrong: {allowed_targets: [127.0.0.1], rules: [{name: sshd, param: \"#USR=$VARNOK_SSH_USER#PWD=$(b64 wrong)$rule\"}]}"
  for i in $(seq "$n"); do
    echo "  m$i: {allowed_targets: [127.0.0.1], rules: [{name: sshd, param: \"#USR=$VARNOK_SSH_USER#KEYF=$VARNOK_SSH_RSA_KEY#PWD=$(b64 "p$i")$rule\"}]}"
  done
} > "$dir/serve.yaml"
(ulimit -Sn 1024; exec "$build/varnok" serve --config "$dir/serve.yaml" > "$dir/serve.log" 2>&1) &
serve=$!
bench_pids+=("$serve")
for _ in $(seq 300); do [ -S "$dir/varnok.sock" ] && break; sleep 0.1; done
daemon=$(pgrep -P "$serve" || echo "$serve")  # the launcher execs: usually the same PID

logins() { grep -c 'Accepted publickey' "$dir/fx/sshd.log" || true; }
failed() { grep -c 'Failed password' "$dir/fx/sshd.log" || true; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
cpu_ticks() { awk '{sub(/.*\) /, ""); print $12 + $13}' "/proc/$1/stat"; }
sshd_pss_kib() {  # every process below the listener
  local todo=("$sshd_pid") total=0 p c
  while [ ${#todo[@]} -gt 0 ]; do
    p=${todo[-1]}
    unset 'todo[-1]'
    [ "$p" != "$sshd_pid" ] && total=$((total + $(awk '/^Pss:/ {print $2}' "/proc/$p/smaps_rollup" 2>/dev/null || echo 0)))
    for c in /proc/"$p"/task/*/children; do
      # shellcheck disable=SC2207
      [ -r "$c" ] && todo+=($(cat "$c" 2>/dev/null))
    done
  done
  echo "$total"
}
probe_all() {  # prints "ok wall_s"
  python3 - "$http_port" "$n" <<'PY'
import concurrent.futures, sys, time, urllib.request
port, n = sys.argv[1], int(sys.argv[2])
def probe(i):
    url = f"http://127.0.0.1:{port}/probe?target=127.0.0.1&module=m{i}"
    with urllib.request.urlopen(url, timeout=120) as r:
        return b"\nprobe_success 1\n" in r.read()
start = time.monotonic()
with concurrent.futures.ThreadPoolExecutor(32) as pool:
    ok = sum(pool.map(probe, range(1, n + 1)))
print(ok, round(time.monotonic() - start, 1))
PY
}
metric() { curl -s "http://127.0.0.1:$http_port/metrics" | awk -v m="$1" '$1 == m {print $2}'; }

rss0=$(rss_kib "$daemon")
before=$(logins)
read -r ok wall < <(probe_all)
echo "round 1: $ok of $n probes OK in ${wall}s, $(( $(logins) - before )) logins, sessions open $(metric varnok_sessions_open)"
rss1=$(rss_kib "$daemon")
pss=$(sshd_pss_kib)
echo "daemon RSS $rss0 -> $rss1 KiB: $(( (rss1 - rss0) / n )) KiB per session; sshd PSS $pss KiB: $(( pss / n )) KiB per session"
echo "open files: $(ls "/proc/$daemon/fd" | wc -l), limit $(awk '/Max open files/ {print $4}' "/proc/$daemon/limits")"
t0=$(cpu_ticks "$daemon")
sleep 60
t1=$(cpu_ticks "$daemon")
echo "idle 60 s: daemon CPU $(python3 -c "print(round(($t1 - $t0) / $(getconf CLK_TCK), 2))") s, $(python3 -c "print(round(($t1 - $t0) / $(getconf CLK_TCK) * 1000 / $n, 2))") s per 1,000 sessions"
before=$(logins)
read -r ok wall < <(probe_all)
echo "round 2: $ok of $n probes OK in ${wall}s, $(( $(logins) - before )) logins"
before=$(failed)
for _ in $(seq 30); do
  curl -s "http://127.0.0.1:$http_port/probe?target=127.0.0.1&module=wrong" > /dev/null &
  sleep 1
done
wait "${!}" 2>/dev/null || true
echo "wrong password probed every second for 30 s: $(( $(failed) - before )) failed logins at the sshd"
before=$(grep -c 'Accepted password' "$dir/fx/sshd.log" || true)
param="#USR=$VARNOK_SSH_USER#PWD=$(b64 "$VARNOK_SSH_PASSWORD")#PORT=$VARNOK_SSH_PORT_SLOW#OS=BSD#COL=5#PRO=sshd#SGN=LT#NUM=1#"
start=$(date +%s.%N)
pids=()
for i in $(seq 12); do
  "$build/varnok" check -H 127.0.0.1 -t 60 --no-fallback --via "$dir/varnok.sock" --param "$param" > "$dir/slow$i" 2>&1 &
  pids+=($!)
done
answered=0
for p in "${pids[@]}"; do wait "$p" && answered=$((answered + 1)); done
echo "12 checks at once, sshd MaxSessions 2 (3 s listings): $answered OK in $(python3 -c "import time; print(round(time.time() - $start, 1))") s, $(( $(grep -c 'Accepted password' "$dir/fx/sshd.log" || true) - before )) logins"
