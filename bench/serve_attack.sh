#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# `varnok serve` under attack, one real daemon for the whole run, the test sshd on 127.0.0.1
# (needs root, for the fixture's user): bench/serve_attack.py runs each attack in turn and, while
# it lasts, a /metrics and a `varnok check --via SOCKET --no-fallback` of the sshd with a key of
# its own (so that it needs a login of its own, as a new host would), and samples the daemon's RSS.
#   bench/serve_attack.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build}
# shellcheck source=bench/fixture.sh
. "$(dirname "$0")/fixture.sh"
mkdir "$dir/bin"
for program in varnok varnok-core varnok-serve; do
  if [ -e "$build/$program" ]; then cp "$build/$program" "$dir/bin/"; fi
done
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
http_port=$(free_port)
# Targets that accept TCP and never speak, one port each: a module of its own for each. A
# parameter string's PORT is a 16-bit signed number, so below 32768 (free ones, picked at random).
# shellcheck disable=SC2207
silent_ports=($(python3 -c '
import random, socket
ports = []
while len(ports) < 40:
    port = random.randrange(20000, 32768)
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            continue
    if port not in ports:
        ports.append(port)
print(*ports)'))
{
  cat <<CONF
socket: $dir/run/varnok.sock
http_listen: 127.0.0.1:$http_port
host_keys:
  known_hosts: $dir/known_hosts
  check: accept-new
modules:
CONF
  for i in "${!silent_ports[@]}"; do
    printf '  silent%d:\n    timeout: 10s\n    allowed_targets: [127.0.0.1]\n    rules:\n      - name: sshd\n        param: "%s"\n' \
      "$i" "#USR=$VARNOK_SSH_USER#KEYF=$VARNOK_SSH_RSA_KEY#PORT=${silent_ports[$i]}#OS=BSD#COL=5#PRO=sshd#SGN=LT#NUM=1#"
  done
} > "$dir/serve.yaml"
# One key per legitimate check, each in the sshd's authorized_keys, mode 0600 as the client wants.
mkdir "$dir/keys"
for i in $(seq 12); do
  ssh-keygen -q -t ed25519 -N '' -f "$dir/keys/k$i"
  cat "$dir/keys/k$i.pub" >> "$dir/fx/authorized_keys"
done
mkdir -m 0700 "$dir/run"
"$dir/bin/varnok" serve --config "$dir/serve.yaml" > "$dir/serve.log" 2>&1 &
serve=$!
bench_pids+=("$serve")
for _ in $(seq 100); do [ -S "$dir/run/varnok.sock" ] && break; sleep 0.1; done
status=0
VARNOK_SSH_USER=$VARNOK_SSH_USER VARNOK_SSH_PORT_BSD=$VARNOK_SSH_PORT_BSD \
  python3 "$top/bench/serve_attack.py" --pid "$serve" --port "$http_port" --socket "$dir/run/varnok.sock" \
  --varnok "$dir/bin/varnok" --keys "$dir/keys" --work "$dir" --silent "${silent_ports[*]}" || status=$?
echo "the daemon's log: $(wc -l < "$dir/serve.log") lines; refusals by kind:"
sed -E 's/[0-9]+/N/g' "$dir/serve.log" | sort | uniq -c | sort -rn | head -12
exit "$status"
