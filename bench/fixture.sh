# SPDX-License-Identifier: Apache-2.0
# Sourced by the benchmark scripts that check the test sshd (they need root, for its user):
# a throwaway folder $dir, the fixture started in $dir/fx with its variables (fx/env) exported,
# host keys recorded in a file of that folder (never in your known_hosts), and on exit the
# processes in bench_pids stopped by PID, the fixture stopped and the folder removed.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=$(mktemp -d /tmp/varnok-bench.XXXXXX)
export VARNOK_KNOWN_HOSTS=$dir/known_hosts
chmod 755 "$dir"
bench_pids=()
bench_exit() {
  local pid
  for pid in "${bench_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  "$top/scripts/sshd-fixture" stop "$dir/fx" >/dev/null
  rm -rf "$dir"
}
trap bench_exit EXIT
"$top/scripts/sshd-fixture" start "$dir/fx" "$top/tests/data" >/dev/null
# shellcheck disable=SC1091
. "$dir/fx/env"

median() { sort -g | awk '{a[NR]=$1} END{print a[int((NR+1)/2)]}'; }
