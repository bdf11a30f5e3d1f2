#!/bin/sh
# Runs one fuzz target for a short while over a scratch copy of its seed
# corpus (the committed corpus stays as it is). Fails on any finding.
set -eu
target=$1 corpus=$2 seconds=${3:-30}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
[ -d "$corpus" ] && cp -r "$corpus"/. "$work/corpus/" 2>/dev/null || true
dict=${corpus%/corpus/*}/$(basename "$corpus").dict
set -- -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$work/" -print_final_stats=1
[ -f "$dict" ] && set -- "$@" -dict="$dict"
"$target" "$@" "$work/corpus"
