#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# End-to-end figures against the test sshd on 127.0.0.1 (needs root, for the fixture's user):
# RUNS checks with `varnok check` and the same key login and command with the OpenSSH client
# (with curve25519-sha256, the key exchange libssh negotiates, and with the client's default),
# interleaved; medians of wall time, client CPU and client peak memory (maximum resident set),
# the server's CPU per connection, ratios; then the CPU of one check whose remote listing takes 3 s.
#   bench/e2e.sh [BUILD_DIR] [RUNS]
set -euo pipefail
build=${1:-build} runs=${2:-30}
# shellcheck source=bench/fixture.sh
. "$(dirname "$0")/fixture.sh"
sshd_pid=$(cat "$dir/fx/sshd.pid")
ticks=$(getconf CLK_TCK)
param="#USR=$VARNOK_SSH_USER#KEYF=$VARNOK_SSH_RSA_KEY#PORT=$VARNOK_SSH_PORT#OS=LINUX#COL=5#PRO=sshd#SGN=LT#NUM=1#"
ssh_base=(ssh -q -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null
          -i "$VARNOK_SSH_RSA_KEY" -p "$VARNOK_SSH_PORT")

server_ticks() {  # CPU of every connection process the listener has reaped so far
  awk '{print $16 + $17}' "/proc/$sshd_pid/stat"
}

run_one() {  # name command...: appends "wall_ms client_cpu_ms server_cpu_ms peak_kib" to $dir/name
  local name=$1; shift
  local before after w c m
  before=$(server_ticks)
  read -r w c < <("$top/bench/rusage.py" "$@")
  sleep 0.1  # let the listener reap the connection's processes
  after=$(server_ticks)
  # Peak memory from a run of its own: the forked interpreter's pages would count in wait4's.
  m=$(/usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -1)
  sleep 0.1
  echo "$w $c $(( (after - before) * 1000 / ticks )) $m" >> "$dir/$name"
}

for _ in $(seq "$runs"); do
  run_one varnok "$build/varnok" check --host 127.0.0.1 --timeout 10 --param "$param"
  run_one ssh_curve "${ssh_base[@]}" -o KexAlgorithms=curve25519-sha256 "$VARNOK_SSH_USER@127.0.0.1" 'ps -awx;exit'
  run_one ssh_default "${ssh_base[@]}" "$VARNOK_SSH_USER@127.0.0.1" 'ps -awx;exit'
done

mean() { awk '{s+=$1} END{printf "%.0f", s/NR}'; }
declare -A wall cpu server
for name in varnok ssh_curve ssh_default; do
  wall[$name]=$(cut -d' ' -f1 "$dir/$name" | median)
  cpu[$name]=$(cut -d' ' -f2 "$dir/$name" | median)
  server[$name]=$(cut -d' ' -f3 "$dir/$name" | mean)
  peak=$(cut -d' ' -f4 "$dir/$name" | median)
  printf '%-34s wall %4d ms   client CPU %5.1f ms   peak memory %5.1f MiB   server CPU %3d ms per connection\n' \
    "$name (median of $runs)" "${wall[$name]}" "${cpu[$name]}" "$(awk -v k="$peak" 'BEGIN{print k / 1024}')" "${server[$name]}"
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", (b > 0 ? a / b : 0)}'; }
echo "varnok / OpenSSH (curve25519): wall $(ratio "${wall[varnok]}" "${wall[ssh_curve]}"), client CPU $(ratio "${cpu[varnok]}" "${cpu[ssh_curve]}"), server CPU $(ratio "${server[varnok]}" "${server[ssh_curve]}")"
echo "varnok / OpenSSH (default kex):  wall $(ratio "${wall[varnok]}" "${wall[ssh_default]}"), client CPU $(ratio "${cpu[varnok]}" "${cpu[ssh_default]}"), server CPU $(ratio "${server[varnok]}" "${server[ssh_default]}")"

slow="#USR=$VARNOK_SSH_USER#KEYF=$VARNOK_SSH_RSA_KEY#PORT=$VARNOK_SSH_PORT_SLOW#OS=BSD#COL=5#PRO=sshd#SGN=LT#NUM=1#"
for _ in 1 2 3; do run_one slow "$build/varnok" check --host 127.0.0.1 --timeout 10 --param "$slow"; done
printf 'check whose listing takes 3 s: wall %d ms, CPU (user + system) %.1f ms (median of 3)\n' \
  "$(cut -d' ' -f1 "$dir/slow" | median)" "$(cut -d' ' -f2 "$dir/slow" | median)"
