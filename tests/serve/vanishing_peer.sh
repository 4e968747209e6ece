#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A host that vanishes without a word (no FIN, no RST: its packets stop) while varnok serve holds
# a session to it: the keepalive drops the session, and once the host is back the next request
# logs in again and answers. Runs in a network namespace of its own, with an sshd of its own,
# so that taking its loopback down touches nothing else.
#   vanishing_peer.sh VARNOK_BINARY   (VARNOK_FIXTURE: the test sshd's folder, for its user)
set -euo pipefail
[ "${1:-}" != inner ] && exec unshare --net "$0" inner "$@"
binary=$2
# shellcheck disable=SC1091
. "$VARNOK_FIXTURE/env"
work=$(mktemp -d /tmp/varnok-vanish.XXXXXX)
chmod 711 "$work"
pids=()
cleanup() {
  # The sshd's session processes first: the one of the dropped connection never hears of its
  # end, and would outlive the listener.
  [ -s "$work/sshd.pid" ] && for c in $(cat /proc/"$(cat "$work/sshd.pid")"/task/*/children 2>/dev/null); do
    kill "$c" 2>/dev/null || true
  done
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$work/serve.log" ] && cat "$work/serve.log" >&2; exit 1; }
ip link set lo up
port=2222
cat > "$work/sshd_config" <<CONF
Port $port
ListenAddress 127.0.0.1
HostKey $VARNOK_FIXTURE/host_key
PidFile $work/sshd.pid
UsePAM no
PasswordAuthentication yes
KbdInteractiveAuthentication no
CONF
/usr/sbin/sshd -f "$work/sshd_config" -E "$work/sshd.log"
for _ in $(seq 100); do [ -s "$work/sshd.pid" ] && break; sleep 0.05; done
pids+=("$(cat "$work/sshd.pid")")
cat > "$work/serve.yaml" <<CONF
socket: $work/run/varnok.sock
http_listen: ""
keepalive: 1s
host_keys: {known_hosts: $work/known_hosts, check: accept-new}
CONF
"$binary" serve --config "$work/serve.yaml" > "$work/serve.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do [ -S "$work/run/varnok.sock" ] && break; sleep 0.05; done
password=$(printf %s "$VARNOK_SSH_PASSWORD" | base64)
check() {
  VARNOK_KNOWN_HOSTS=$work/known_hosts "$binary" check -H 127.0.0.1 -t 20 --no-fallback \
    --via "$work/run/varnok.sock" --param "#USR=$VARNOK_SSH_USER#PWD=$password#PORT=$port#OS=LINUX#PRO=sshd#SGN=LT#NUM=1#"
}
logins() { grep -c 'Accepted password' "$work/sshd.log" || true; }
held() { ss -tnH state established "( dport = :$port )" | wc -l; }

check > "$work/out" || fail "first check: $(cat "$work/out")"
[ "$(held)" = 1 ] || fail "the daemon holds $(held) sessions, not 1"
ip link set lo down
for _ in $(seq 300); do [ "$(held)" = 0 ] && break; sleep 0.1; done
[ "$(held)" = 0 ] || fail "the session to the vanished host is still held"
ip link set lo up
check > "$work/out" || fail "check after the host came back: $(cat "$work/out")"
[ "$(logins)" = 2 ] || fail "$(logins) logins, not 2"
echo "PASS: the vanished host's session was dropped; the next request logged in again"
