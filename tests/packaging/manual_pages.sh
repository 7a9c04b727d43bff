#!/bin/sh
# Renders each manual page with man -l and fails on any warning.
set -eu
dir=$1
fail=0
for page in "$dir"/korvane.8 "$dir"/korvanectl.8 "$dir"/korvane.conf.5; do
  warn=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | wc -l)
  if [ -n "$warn" ] || [ "$out" -lt 20 ]; then
    echo "$page: $out lines, warnings:"; echo "$warn"; fail=1
  fi
done
[ "$fail" = 0 ] && echo "manual pages render without warnings"
exit "$fail"
