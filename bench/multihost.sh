#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# 200 checks of the loopback test sshd with `varnok check --hosts` at 1, 8 and 32 jobs.
#   bench/multihost.sh [BUILD_DIR] [CHECKS]
set -euo pipefail
build=${1:-build} checks=${2:-200}
# shellcheck source=bench/fixture.sh
. "$(dirname "$0")/fixture.sh"
param="#USR=$VARNOK_SSH_USER#KEYF=$VARNOK_SSH_RSA_KEY#PORT=$VARNOK_SSH_PORT#OS=LINUX#COL=5#PRO=sshd#SGN=LT#NUM=1#"
for _ in $(seq "$checks"); do echo "127.0.0.1 20"; done > "$dir/hosts"
base=""
for jobs in 1 8 32; do
  start=$(date +%s.%N)
  "$build/varnok" check --hosts "$dir/hosts" --jobs "$jobs" --param "$param" > "$dir/out" || true
  end=$(date +%s.%N)
  ok=$(grep -c $'\tOK\t' "$dir/out" || true)
  wall=$(awk -v s="$start" -v e="$end" 'BEGIN{printf "%.2f", e-s}')
  [ -n "$base" ] || base=$wall
  printf '%3d jobs: %6.2f s for %d checks (%d OK), speed-up %.1fx\n' "$jobs" "$wall" "$checks" "$ok" \
    "$(awk -v b="$base" -v w="$wall" 'BEGIN{print b/w}')"
done

# Hosts whose listing takes 3 s (the fixture's "slow" system): the client waits, the machine
# does not, so the speed-up shows what the checker itself allows.
slow_checks=${3:-24}
slow="#USR=$VARNOK_SSH_USER#KEYF=$VARNOK_SSH_RSA_KEY#PORT=$VARNOK_SSH_PORT_SLOW#OS=BSD#COL=5#PRO=sshd#SGN=LT#NUM=1#"
for _ in $(seq "$slow_checks"); do echo "127.0.0.1 20"; done > "$dir/slow_hosts"
base=""
for jobs in 1 8 32; do
  start=$(date +%s.%N)
  "$build/varnok" check --hosts "$dir/slow_hosts" --jobs "$jobs" --param "$slow" > "$dir/out" || true
  end=$(date +%s.%N)
  ok=$(grep -c $'\tOK\t' "$dir/out" || true)
  wall=$(awk -v s="$start" -v e="$end" 'BEGIN{printf "%.2f", e-s}')
  [ -n "$base" ] || base=$wall
  printf 'slow hosts, %3d jobs: %6.2f s for %d checks (%d OK), speed-up %.1fx\n' "$jobs" "$wall" \
    "$slow_checks" "$ok" "$(awk -v b="$base" -v w="$wall" 'BEGIN{print b/w}')"
done
