#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Client CPU of one `varnok procs` check against one `varnok check`, the same key login and the
# real ps of 127.0.0.1 through the test sshd (needs root, for the fixture's user), interleaved;
# medians of wall time and client CPU (wait4's, bench/rusage.py), and their ratio.
#   bench/procs.sh [BUILD_DIR] [RUNS]
set -euo pipefail
build=${1:-build} runs=${2:-30}
# shellcheck source=bench/fixture.sh
. "$(dirname "$0")/fixture.sh"
param="#USR=$VARNOK_SSH_USER#KEYF=$VARNOK_SSH_RSA_KEY#PORT=$VARNOK_SSH_PORT#OS=LINUX#COL=5#PRO=sshd#SGN=LT#NUM=1#"
check=("$build/varnok" check --host 127.0.0.1 --timeout 10 --param "$param")
procs=("$build/varnok" procs -H 127.0.0.1 -t 10 --port "$VARNOK_SSH_PORT" -l "$VARNOK_SSH_USER"
       -i "$VARNOK_SSH_RSA_KEY" -C sshd -w 1:)
"${check[@]}" >/dev/null; "${procs[@]}" >/dev/null  # records the host key once
for _ in $(seq "$runs"); do
  "$top/bench/rusage.py" "${check[@]}" >> "$dir/check"
  "$top/bench/rusage.py" "${procs[@]}" >> "$dir/procs"
done
for name in check procs; do
  printf '%-28s wall %4d ms   client CPU %5.1f ms\n' "varnok $name (median of $runs)" \
    "$(cut -d' ' -f1 "$dir/$name" | median)" "$(cut -d' ' -f2 "$dir/$name" | median)"
done
awk -v a="$(cut -d' ' -f2 "$dir/procs" | median)" -v b="$(cut -d' ' -f2 "$dir/check" | median)" \
  'BEGIN{printf "procs / check client CPU: %.2f (target <= 1.10)\n", a / b}'
