#!/usr/bin/env bash
# Builds the benchmark in build-bench (Release) and runs it: the command
# round trip, the 1,999,999-byte answer, the viewer's calls and resident
# memory, side by side with the floors, unpinned and pinned to one CPU.
# Writes build-bench/bench_results.txt, bench_latency.csv (every round trip)
# and, when matplotlib is there, bench_latency.png.
# Extra arguments go to vxbridge_bench (e.g. --rounds 4 --cpu 1).
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-bench
cmake -S . -B "${out}" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVXBRIDGE_BUILD_TESTS=OFF \
  -DVXBRIDGE_BUILD_TOOLS=OFF -DVXBRIDGE_BUILD_BENCH=ON >/dev/null
cmake --build "${out}" --target vxbridge_bench vxbridge_recv_placement -j "${JOBS:-2}"

{
  echo "tree: $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
  changed=$(git status --short -- src include 2>/dev/null | awk '{print $2}' | tr '\n' ' ')
  [ -z "${changed}" ] || echo "uncommitted library changes measured too: ${changed}"
  echo "load before: $(uptime)"
} | tee "${out}/bench_results.txt"
"${out}/vxbridge_bench" --csv "${out}/bench_latency.csv" "$@" \
  | tee -a "${out}/bench_results.txt"
echo "load after: $(uptime)" | tee -a "${out}/bench_results.txt"

# The chart needs a python3 with matplotlib; the first one on PATH that has
# it is used.
for py in $(type -ap python3 | awk '!seen[$0]++'); do
  if "${py}" -c 'import matplotlib' 2>/dev/null; then
    exec "${py}" bench/plot_latency.py "${out}/bench_latency.csv" "${out}/bench_latency.png"
  fi
done
echo "matplotlib not found (apt-get install -y python3-matplotlib): chart skipped"
