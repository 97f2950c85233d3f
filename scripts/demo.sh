#!/usr/bin/env bash
# The main job, as far as the project can show it today.
set -euo pipefail
build=${1:-build}
if [ -x "$build/tools/sensor/sensor" ]; then
    exec bash scripts/demo-sensor.sh "$build"
fi
echo "The sensor tool is not built yet; bringing up a virtual sensor on the in-process stack instead."
exec "$build/sim/demo/stack_demo"
