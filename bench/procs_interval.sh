#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# What `varnok procs --interval 3` costs against a plain `varnok procs`, the same key login and
# the real ps of 127.0.0.1 through the test sshd (needs root, for the fixture's user),
# interleaved: medians of wall time and client CPU (wait4's, bench/rusage.py) and their ratio,
# and the logins each run cost as the sshd's log counts them.
#   bench/procs_interval.sh [BUILD_DIR] [RUNS]
set -euo pipefail
build=${1:-build} runs=${2:-15}
# shellcheck source=bench/fixture.sh
. "$(dirname "$0")/fixture.sh"
procs=("$build/varnok" procs -H 127.0.0.1 -t 10 --port "$VARNOK_SSH_PORT" -l "$VARNOK_SSH_USER"
       -i "$VARNOK_SSH_RSA_KEY" -m CPU -w 90)
"${procs[@]}" >/dev/null || true  # records the host key once
logins() { grep -c "Accepted publickey" "$dir/fx/sshd.log" || true; }
before=$(logins)
for _ in $(seq "$runs"); do
  "$top/bench/rusage.py" "${procs[@]}" >> "$dir/plain"
  "$top/bench/rusage.py" "${procs[@]}" --interval 3 >> "$dir/interval"
done
printf 'logins per run: %s\n' "$(awk -v a="$before" -v b="$(logins)" -v n="$runs" \
  'BEGIN{print (b - a) / (2 * n)}')"
for name in plain interval; do
  printf '%-34s wall %5d ms   client CPU %5.1f ms\n' "varnok procs, $name (median of $runs)" \
    "$(cut -d' ' -f1 "$dir/$name" | median)" "$(cut -d' ' -f2 "$dir/$name" | median)"
done
awk -v a="$(cut -d' ' -f2 "$dir/interval" | median)" -v b="$(cut -d' ' -f2 "$dir/plain" | median)" \
  'BEGIN{printf "interval / plain client CPU: %.2f (target <= 1.20)\n", a / b}'
