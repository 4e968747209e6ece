#!/usr/bin/env bash
# End-to-end figures against the test sshd on 127.0.0.1: one whole `varnok check` (key login,
# Linux listing) compared with the OpenSSH client running the same command, and the CPU a
# check uses while the remote command takes 3 seconds. Needs root (the fixture's user).
#   bench/e2e.sh [BUILD_DIR] [RUNS]
set -euo pipefail
build=${1:-build} runs=${2:-20}
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d /tmp/varnok-bench.XXXXXX)
chmod 755 "$dir"
trap '"$top/scripts/sshd-fixture" stop "$dir/fx" >/dev/null' EXIT
"$top/scripts/sshd-fixture" start "$dir/fx" "$top/tests/data" >/dev/null
# shellcheck disable=SC1091
. "$dir/fx/env"
param="#USR=$VARNOK_SSH_USER#KEYF=$VARNOK_SSH_RSA_KEY#PORT=$VARNOK_SSH_PORT#OS=LINUX#COL=5#PRO=sshd#SGN=LT#NUM=1#"
ssh_opts=(-q -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null
          -o KexAlgorithms=curve25519-sha256 -i "$VARNOK_SSH_RSA_KEY" -p "$VARNOK_SSH_PORT")

measure() {  # label, command...: median wall ms and median CPU ms over $runs runs
  local label=$1; shift
  local walls=() cpus=()
  for _ in $(seq "$runs"); do
    local out
    out=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>/dev/null; } 2>&1 | tail -1)
    read -r w u s <<<"$out"
    walls+=("$(awk -v w="$w" 'BEGIN{printf "%d", w*1000}')")
    cpus+=("$(awk -v u="$u" -v s="$s" 'BEGIN{printf "%d", (u+s)*1000}')")
  done
  local mw mc
  mw=$(printf '%s\n' "${walls[@]}" | sort -n | awk '{a[NR]=$1} END{print a[int((NR+1)/2)]}')
  mc=$(printf '%s\n' "${cpus[@]}" | sort -n | awk '{a[NR]=$1} END{print a[int((NR+1)/2)]}')
  printf '%-48s wall %5d ms   CPU %4d ms   (median of %d)\n' "$label" "$mw" "$mc" "$runs"
}

measure "varnok check (key login, ps -awx)" "$build/varnok" check --host 127.0.0.1 --timeout 10 --param "$param"
measure "OpenSSH client, same command" ssh "${ssh_opts[@]}" "$VARNOK_SSH_USER@127.0.0.1" 'ps -awx;exit'
slow="#USR=$VARNOK_SSH_USER#KEYF=$VARNOK_SSH_RSA_KEY#PORT=$VARNOK_SSH_PORT_SLOW#OS=BSD#COL=5#PRO=sshd#SGN=LT#NUM=1#"
runs=3 measure "varnok check, remote listing that takes 3 s" "$build/varnok" check --host 127.0.0.1 \
  --timeout 10 --param "$slow"
