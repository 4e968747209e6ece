#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# 1,000 hosts that accept the connection and never answer, checked at once:
# `varnok check --hosts` with --jobs 1000 and a 3 s limit against one loopback listener;
# wall time, CPU (user + system) and peak memory of the whole run, and how each check ended.
#   bench/silent.sh [BUILD_DIR] [HOSTS]
set -euo pipefail
build=${1:-build} hosts=${2:-1000}
dir=$(mktemp -d /tmp/varnok-bench.XXXXXX)
# The checks record the throwaway server's host key beside it, not in your known_hosts.
export VARNOK_KNOWN_HOSTS=$dir/known_hosts
port=$((24000 + RANDOM % 4000))
python3 - "$port" <<'PY' &
import selectors, socket, sys
srv = socket.create_server(("127.0.0.1", int(sys.argv[1])), backlog=4096)
srv.setblocking(False)
sel = selectors.DefaultSelector()
sel.register(srv, selectors.EVENT_READ)
held = []
while True:  # accept and hold every connection; read and drop what clients send
    for key, _ in sel.select():
        if key.fileobj is srv:
            conn, _ = srv.accept(); conn.setblocking(False); held.append(conn)
            sel.register(conn, selectors.EVENT_READ)
        elif not key.fileobj.recv(4096):
            sel.unregister(key.fileobj); key.fileobj.close()
PY
listener=$!
trap 'kill "$listener" 2>/dev/null; rm -rf "$dir"' EXIT
sleep 0.5
for _ in $(seq "$hosts"); do echo "127.0.0.1 3"; done > "$dir/hosts"
ulimit -n "$(ulimit -Hn)"
start=$(date +%s%N)
/usr/bin/time -o "$dir/time" -f '%U %S %M' "$build/varnok" check --hosts "$dir/hosts" --jobs "$hosts" \
  --param "#USR=u#PWD=YQ==#PORT=$port#" > "$dir/out" || true
end=$(date +%s%N)
read -r u s m < <(tail -1 "$dir/time")
printf '%d silent hosts at --jobs %d, 3 s limit: wall %d ms, CPU %d ms (user %d + system %d), peak memory %.1f MiB\n' \
  "$hosts" "$hosts" $(( (end - start) / 1000000 )) "$(awk -v u="$u" -v s="$s" 'BEGIN{print (u + s) * 1000}')" \
  "$(awk -v u="$u" 'BEGIN{print u * 1000}')" "$(awk -v s="$s" 'BEGIN{print s * 1000}')" "$(awk -v k="$m" 'BEGIN{print k / 1024}')"
cut -f2,3 "$dir/out" | sed -E 's/port [0-9]+/port N/' | sort | uniq -c
