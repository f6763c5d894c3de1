#!/bin/sh
# Runs a helper program for a Windows test program under Wine, which can start Linux programs
# but neither wait for them nor end them. The exit status goes to <out>.ended; the program is
# ended when <out>.keep is removed or the test program's process <parent> is gone.
# Usage: run_child.sh <parent pid> <out> <program> [arguments...]
parent=$1
out=$2
shift 2
"$@" >"$out" </dev/null &
child=$!
(
  while [ -e "$out.keep" ] && kill -0 "$parent" 2>/dev/null; do sleep 0.05; done
  kill "$child" 2>/dev/null
) &
watcher=$!
wait "$child" 2>/dev/null
status=$?
kill "$watcher" 2>/dev/null
echo "$status" >"$out.ended.tmp" && mv "$out.ended.tmp" "$out.ended"
