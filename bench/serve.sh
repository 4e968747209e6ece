#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# `varnok serve` against direct checks and the OpenSSH client, on the test sshd on 127.0.0.1
# (needs root, for the fixture's user). RUNS checks of one host, interleaved, each of:
#   via     `varnok check --via SOCKET --no-fallback` to a daemon started for the run
#   direct  `varnok check` (the launcher, which execs varnok-core)
#   core    `varnok-core check`, the same check without the launcher's exec
#   ssh     `ssh -o BatchMode=yes ... 'ps -awx'` with the same key, curve25519-sha256
# on the fixture port that lists a recorded BSD listing (`cat`), so that the sshd's own work shows.
# Per kind: logins at the sshd (its log's "Accepted publickey" lines), the sshd's CPU per check,
# and the client's median wall time and CPU (wait4, bench/rusage.py). The sshd's CPU is the user
# and system time, own and reaped children's, of the listener and every live process below it
# (/proc/PID/stat fields 14-17, the tree from /proc/PID/task/*/children), read before and after
# each run: a session the daemon holds open is counted while it lives. It includes the listing
# command's processes, which every kind pays alike; their CPU, measured alone, is also taken off
# to show the sshd's own share. Then the daemon's CPU per --via check and per HTTP /probe.
#   bench/serve.sh [BUILD_DIR] [RUNS]
set -euo pipefail
build=${1:-build} runs=${2:-100}
# shellcheck source=bench/fixture.sh
. "$(dirname "$0")/fixture.sh"
# Copies of the programs, side by side as the launcher wants them: a rebuild during the run
# does not change what is measured.
mkdir "$dir/bin"
for program in varnok varnok-core varnok-serve; do
  if [ -e "$build/$program" ]; then cp "$build/$program" "$dir/bin/"; fi
done
build=$dir/bin
sshd_pid=$(cat "$dir/fx/sshd.pid")
ticks=$(getconf CLK_TCK)
http_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
param="#USR=$VARNOK_SSH_USER#KEYF=$VARNOK_SSH_RSA_KEY#PORT=$VARNOK_SSH_PORT_BSD#OS=BSD#COL=5#PRO=sshd#SGN=LT#NUM=1#"
cat > "$dir/serve.yaml" <<CONF
socket: $dir/varnok.sock
http_listen: 127.0.0.1:$http_port
host_keys:
  known_hosts: $dir/known_hosts
  check: accept-new
modules:
  sshd:
    rules:
      - name: sshd
        param: "$param"
CONF
# 64 more modules, each with a key of its own that the sshd accepts: 64 sessions of their own,
# as 64 hosts would have (the fixture listens on 127.0.0.1 alone).
mkdir "$dir/keys"
for i in $(seq 64); do
  ssh-keygen -q -t ed25519 -N '' -f "$dir/keys/k$i"
  cat "$dir/keys/k$i.pub" >> "$dir/fx/authorized_keys"
  printf '  k%d:\n    rules:\n      - name: sshd\n        param: "%s"\n' "$i" \
    "#USR=$VARNOK_SSH_USER#KEYF=$dir/keys/k$i#PORT=$VARNOK_SSH_PORT_BSD#OS=BSD#COL=5#PRO=sshd#SGN=LT#NUM=1#"
done >> "$dir/serve.yaml"
chmod -R a+rX "$dir/keys"
"$build/varnok" serve --config "$dir/serve.yaml" > "$dir/serve.log" 2>&1 &
serve=$!
bench_pids+=("$serve")
for _ in $(seq 100); do [ -S "$dir/varnok.sock" ] && break; sleep 0.1; done

tree_ticks() {  # CPU ticks of a process and every live process below it, with reaped children
  local todo=("$1") total=0 p t
  while [ ${#todo[@]} -gt 0 ]; do
    p=${todo[-1]}
    unset 'todo[-1]'
    [ -r "/proc/$p/stat" ] || continue
    read -r t < <(awk '{sub(/.*\) /, ""); print $12 + $13 + $14 + $15}' "/proc/$p/stat" 2>/dev/null) || continue
    total=$((total + ${t:-0}))
    for t in /proc/"$p"/task/*/children; do
      # shellcheck disable=SC2207
      [ -r "$t" ] && todo+=($(cat "$t" 2>/dev/null))
    done
  done
  echo "$total"
}
logins() { grep -c 'Accepted publickey' "$dir/fx/sshd.log" || true; }
own_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

declare -A server_ticks login_count
run_one() {  # name command...: appends "wall_ms client_cpu_ms" to $dir/name
  local name=$1; shift
  local before_t before_l
  before_t=$(tree_ticks "$sshd_pid") before_l=$(logins)
  "$top/bench/rusage.py" "$@" >> "$dir/$name"
  sleep 0.05  # let the sshd reap what the check leaves
  server_ticks[$name]=$(( ${server_ticks[$name]:-0} + $(tree_ticks "$sshd_pid") - before_t ))
  login_count[$name]=$(( ${login_count[$name]:-0} + $(logins) - before_l ))
}

check=(check --host 127.0.0.1 --timeout 10 --param "$param")
ssh_cmd=(ssh -q -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null
         -o KexAlgorithms=curve25519-sha256 -i "$VARNOK_SSH_RSA_KEY" -p "$VARNOK_SSH_PORT_BSD"
         "$VARNOK_SSH_USER@127.0.0.1" 'ps -awx;exit')
daemon_before=$(own_ticks "$serve")
for _ in $(seq "$runs"); do
  run_one via "$build/varnok" "${check[@]}" --via "$dir/varnok.sock" --no-fallback
  run_one direct "$build/varnok" "${check[@]}"
  run_one core "$build/varnok-core" "${check[@]}"
  run_one ssh "${ssh_cmd[@]}"
  # The listing command's own processes (the forced command's shells and `cat`), which the sshd
  # starts once per check of every kind, run alone the same way (`sh -c` of the forced command),
  # so that the sshd's own share shows.
  SSH_ORIGINAL_COMMAND='ps -awx;' "$top/bench/rusage.py" /bin/sh -c "$dir/fx/fake/bsd/run" >> "$dir/command"
done
daemon_via=$(( $(own_ticks "$serve") - daemon_before ))
command_ms=$(awk '{s += $2} END{printf "%.2f", s / NR}' "$dir/command")
echo "a check through the daemon prints: $("$build/varnok" "${check[@]}" --via "$dir/varnok.sock" --no-fallback || true)"
requests=$(curl -s "http://127.0.0.1:$http_port/metrics" | awk '/^varnok_requests_total /{print $2}')
# Logins attempted, whatever their result (the counter is labelled by it).
daemon_logins=$(curl -s "http://127.0.0.1:$http_port/metrics" | awk '/^varnok_logins_total[{ ]/{s += $2} END{print s + 0}')

# Probes over the open session: the daemon's CPU for RUNS /probe requests.
probe_url="http://127.0.0.1:$http_port/probe?target=127.0.0.1&module=sshd"
curl -s "$probe_url" | grep -q '^probe_success 1' || { echo "the probe failed" >&2; exit 1; }
before=$(own_ticks "$serve") before_l=$(logins) start=$(date +%s%N)
for _ in $(seq "$runs"); do curl -s -o /dev/null "$probe_url"; done
probe_ms=$(( ($(date +%s%N) - start) / 1000000 ))
daemon_probe=$(( $(own_ticks "$serve") - before )) probe_logins=$(( $(logins) - before_l ))

ms() { awk -v t="$1" -v n="$2" -v k="$ticks" 'BEGIN{printf "%.2f", t * 1000 / k / n}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", (b > 0 ? a / b : 0)}'; }
declare -A wall cpu server own
for name in via direct core ssh; do
  wall[$name]=$(cut -d' ' -f1 "$dir/$name" | median)
  cpu[$name]=$(cut -d' ' -f2 "$dir/$name" | median)
  server[$name]=$(ms "${server_ticks[$name]}" "$runs")
  own[$name]=$(awk -v a="${server[$name]}" -v b="$command_ms" 'BEGIN{printf "%.2f", a - b}')
  printf '%-7s %d checks: %3d logins at the sshd, sshd CPU %6s ms per check (%6s without the listing command), client wall %4d ms, client CPU %5.1f ms (medians)\n' \
    "$name" "$runs" "${login_count[$name]}" "${server[$name]}" "${own[$name]}" "${wall[$name]}" "${cpu[$name]}"
done
echo "the listing command alone: $command_ms ms of CPU per run (mean of $runs)"
echo "the daemon's own count: $requests requests, $daemon_logins logins"
echo "via / direct: sshd CPU $(ratio "${server[via]}" "${server[direct]}"), without the listing command $(ratio "${own[via]}" "${own[direct]}")"
echo "via / OpenSSH client: sshd CPU $(ratio "${server[via]}" "${server[ssh]}"), client CPU $(ratio "${cpu[via]}" "${cpu[ssh]}"), wall $(ratio "${wall[via]}" "${wall[ssh]}")"
echo "launcher: varnok / varnok-core: client CPU $(ratio "${cpu[direct]}" "${cpu[core]}") (${cpu[direct]} vs ${cpu[core]} ms), wall $(ratio "${wall[direct]}" "${wall[core]}") (${wall[direct]} vs ${wall[core]} ms)"
echo "daemon CPU: $(ms "$daemon_via" "$runs") ms per --via check; $(ms "$daemon_probe" "$runs") ms per /probe over the open session ($runs probes, $probe_ms ms wall in all, $probe_logins logins)"

# 64 probes at once, each of its own session: the first round logs in 64 times, the second rides.
for round in first second; do
  before_l=$(logins) start=$(date +%s%N)
  for i in $(seq 64); do
    curl -s -m 30 "http://127.0.0.1:$http_port/probe?target=127.0.0.1&module=k$i" > "$dir/probe$i" &
  done
  wait $(jobs -p | grep -vx "$serve" || true) 2>/dev/null || true
  ok=$(cat "$dir"/probe* | grep -c '^probe_success 1' || true)
  echo "64 probes at once ($round round): $ok answered with probe_success 1 in $(( ($(date +%s%N) - start) / 1000000 )) ms wall, $(( $(logins) - before_l )) logins"
  rm -f "$dir"/probe*
done

