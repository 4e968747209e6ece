#!/usr/bin/env bash
# `varnok gui` on a real X server: the window module loads from beside the binary, and the
# window's title as the X server holds it is exactly the form's caption (no application name
# appended). Run under xvfb-run; the dialog is ended by its PID once the title was seen.
set -u
varnok=$1
caption='*Nix processes checker: External COM check (version 2.0 build 70)'
"$varnok" gui --host h --param '#USR=u#' >/dev/null 2>&1 &
pid=$!
seen=""
for _ in $(seq 200); do
  titles=$(xwininfo -root -tree 2>/dev/null)
  if grep -qF "\"$caption" <<<"$titles"; then seen=$(grep -oF "\"$caption\"" <<<"$titles" | head -n 1); break; fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
if [ "$seen" != "\"$caption\"" ]; then
  echo "expected a window titled \"$caption\"; the X server holds:" >&2
  grep -F 'External COM' <<<"${titles:-}" >&2
  exit 1
fi
echo "window title: $seen"
