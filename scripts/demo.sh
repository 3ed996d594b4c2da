#!/usr/bin/env bash
# Builds the library, the viewer simulator and the command-line host (in
# build/, as a plain configure does), then runs the demo session against the
# simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -B build >/dev/null
cmake --build build --parallel "${JOBS:-2}" --target vxbridge vxsim vxctl
exec build/vxctl demo
