#!/usr/bin/env bash
# The example unit's exposure as systemd-analyze rates it must stay at or
# below the limit. Exit 77 (skipped) without systemd-analyze.
# Usage: unit_exposure_test.sh UNIT-FILE LIMIT
set -euo pipefail
unit="$1"
limit="$2"
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is not installed"; exit 77; }
output="$(systemd-analyze security --offline=true "$unit" 2>&1)" || true
echo "$output" | tail -n 1
level="$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$output")"
[ -n "$level" ] || { echo "$output"; echo "no exposure level in the output"; exit 1; }
awk -v level="$level" -v limit="$limit" 'BEGIN { exit !(level <= limit) }' ||
  { echo "$output"; echo "exposure $level is above $limit"; exit 1; }
