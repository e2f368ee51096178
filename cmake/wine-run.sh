#!/usr/bin/env bash
# Runs a Windows program under Wine for ctest. Its output goes through a file,
# not the caller's pipe: Wine starts long-lived processes (the desktop, its
# services) that inherit the output handles, and a pipe held by them would
# keep ctest waiting after the program has ended.
out=$(mktemp)
wine "$@" >"$out" 2>&1 </dev/null
status=$?
cat "$out"
rm -f "$out"
exit "$status"
