#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# `varnok gui` on a real X server: the window module loads from beside the binary, and the X
# server holds exactly the form's caption as the window's title (no application name appended).
# Usage: varnok_gui_on_x.sh VARNOK "2.0 build 70", under xvfb-run.
set -u
title="\"*Nix processes checker: External COM check (version $2)\""
"$1" gui --host h --param '#USR=u#' >/dev/null 2>&1 &
pid=$!
for _ in $(seq 200); do
  titles=$(xwininfo -root -tree 2>/dev/null)
  if grep -qF "$title" <<<"$titles" || ! kill -0 "$pid" 2>/dev/null; then break; fi
  sleep 0.05
done
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
grep -qF "$title" <<<"$titles" && echo "window title: $title" && exit 0
echo "expected a window titled $title; the X server holds:" >&2
grep -F 'External COM' <<<"$titles" >&2
exit 1
