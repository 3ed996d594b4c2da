#!/usr/bin/env bash
# Builds the library, the viewer simulator and the command-line host, then
# runs the demo session against the simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v ninja >/dev/null || scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "${JOBS:-2}" --target vxbridge vxsim vxctl
exec build/vxctl demo
