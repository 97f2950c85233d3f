#!/usr/bin/env bash
# Runs every benchmark binary the build produced.
set -euo pipefail
build=${1:-build}
shopt -s nullglob
ran=0
for b in "$build"/bench/bench_*; do
    [ -x "$b" ] || continue
    echo "== $(basename "$b")"
    "$b" --benchmark_min_time=0.2
    ran=1
done
[ $ran -eq 1 ] || echo "no benchmarks built yet"
