#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Ten rules against one host in one `varnok check` (one login) against one rule, interleaved:
# medians of wall time and client CPU, and logins counted on the server side.
#   bench/rules.sh [BUILD_DIR] [RUNS]
set -euo pipefail
build=${1:-build} runs=${2:-15}
# shellcheck source=bench/fixture.sh
. "$(dirname "$0")/fixture.sh"
login="#USR=$VARNOK_SSH_USER#KEYF=$VARNOK_SSH_RSA_KEY#PORT=$VARNOK_SSH_PORT_COUNTED#OS=BSD"
one=(--param "$login#COL=5#PRO=sshd#SGN=LT#NUM=1#")
ten=()
for name in sshd cron init getty devd syslogd kernel monitor sbin usr; do
  ten+=(--param "$login#COL=5#PRO=$name#SGN=LT#NUM=1#")
done
for _ in $(seq "$runs"); do
  "$top/bench/rusage.py" "$build/varnok" check --host 127.0.0.1 --timeout 10 "${one[@]}" >> "$dir/one"
  "$top/bench/rusage.py" "$build/varnok" check --host 127.0.0.1 --timeout 10 "${ten[@]}" >> "$dir/ten"
done
w1=$(cut -d' ' -f1 "$dir/one" | median) w10=$(cut -d' ' -f1 "$dir/ten" | median)
c1=$(cut -d' ' -f2 "$dir/one" | median) c10=$(cut -d' ' -f2 "$dir/ten" | median)
printf 'one rule:  wall %d ms, client CPU %.1f ms (median of %d)\n' "$w1" "$c1" "$runs"
printf 'ten rules: wall %d ms, client CPU %.1f ms (median of %d)\n' "$w10" "$c10" "$runs"
printf 'ten / one: wall %.2fx; logins on the server: %d for %d runs of each\n' \
  "$(awk -v a="$w10" -v b="$w1" 'BEGIN{print a / b}')" "$(wc -l < "$dir/fx/logins")" "$runs"
