#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz) and runs each one for
# a short while on a scratch copy of its corpus; the corpus in the tree is
# never written. Fails when a target finds a crash, a hang or a broken
# invariant (the input is kept in build-fuzz/findings/<target>/).
#
#   FUZZ_SECONDS   seconds per target (default 30)
#   FUZZ_JOBS      build jobs (default 2)
#   FUZZ_TARGETS   targets to run, blank-separated (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
jobs=${FUZZ_JOBS:-2}
build=build-fuzz

if ! command -v clang >/dev/null 2>&1 || ! command -v clang++ >/dev/null 2>&1; then
  echo "clang is missing: installing it"
  if [ "$(id -u)" -eq 0 ]; then
    as_root=()
  elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
  else
    echo "cannot install clang (not root, no sudo)" >&2
    exit 2
  fi
  # An image without package lists needs them fetched first.
  "${as_root[@]}" apt-get install -y clang ||
    { "${as_root[@]}" apt-get update && "${as_root[@]}" apt-get install -y clang; }
fi

# libFuzzer's runtime comes with clang's recommended packages, which an
# install with --no-install-recommends leaves out; say so plainly.
probe=$(mktemp -d "${TMPDIR:-/tmp}/vxb-fuzz-probe.XXXXXX")
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
  >"${probe}/probe.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "${probe}/probe.cpp" -o "${probe}/probe" \
     >"${probe}/log" 2>&1; then
  cat "${probe}/log" >&2
  major=$(clang++ -dumpversion | cut -d. -f1)
  echo "clang cannot link libFuzzer programs: the sanitizer and libFuzzer runtime is" \
       "missing (Debian: libclang-rt-${major}-dev, a recommended package of clang)" >&2
  rm -rf "${probe}"
  exit 2
fi
rm -rf "${probe}"

if [ -f "${build}/CMakeCache.txt" ] &&
   ! grep -q '^CMAKE_CXX_COMPILER:[A-Z]*=.*clang' "${build}/CMakeCache.txt"; then
  echo "${build} was configured with another compiler than clang; remove it first" >&2
  exit 2
fi
CC=clang CXX=clang++ cmake -S . -B "${build}" -G Ninja -DVXBRIDGE_FUZZ=ON \
  -DVXBRIDGE_BUILD_TOOLS=OFF >/dev/null
cmake --build "${build}" -j "${jobs}" --target vxb_fuzz_all

if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"${FUZZ_TARGETS}"
else
  targets=()
  for source in fuzz/fuzz_*.cpp; do
    name=$(basename "${source}" .cpp)
    targets+=("${name#fuzz_}")
  done
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vxb-fuzz.XXXXXX")
trap 'rm -rf "${work}"' EXIT

status=0
summary=()
for t in "${targets[@]}"; do
  program="${build}/vxb_fuzz_${t}"
  if [ ! -x "${program}" ] || [ ! -d "fuzz/corpus/${t}" ]; then
    echo "=== ${t}: no program or no corpus" >&2
    summary+=("${t}: MISSING")
    status=1
    continue
  fi
  echo "=== ${t} (${seconds} s)"
  mkdir -p "${work}/${t}/corpus" "${work}/${t}/artifacts"
  cp -R "fuzz/corpus/${t}/." "${work}/${t}/corpus/"
  log="${work}/${t}/log"
  rc=0
  "${program}" -max_total_time="${seconds}" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="${work}/${t}/artifacts/" "${work}/${t}/corpus" >"${log}" 2>&1 || rc=$?

  last=$(grep -E '^#[0-9]+' "${log}" | tail -n 1 || true)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "${log}" | tail -n 1)
  [ -n "${runs}" ] || runs=$(printf '%s\n' "${last}" | sed -n 's/^#\([0-9]*\).*/\1/p')
  cov=$(printf '%s\n' "${last}" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
  ft=$(printf '%s\n' "${last}" | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
  speed=$(printf '%s\n' "${last}" | sed -n 's/.*exec\/s: \([0-9]*\).*/\1/p')
  line="${t}: executions ${runs:-?} (${speed:-?}/s), cov ${cov:-?}, ft ${ft:-?}"

  if [ "${rc}" -ne 0 ] || [ -n "$(ls -A "${work}/${t}/artifacts")" ]; then
    status=1
    kept="${build}/findings/${t}"
    mkdir -p "${kept}"
    cp -R "${work}/${t}/artifacts/." "${kept}/" 2>/dev/null || true
    cp "${log}" "${kept}/log"
    echo "--- ${t} failed (exit ${rc}); inputs and log in ${kept}" >&2
    grep -E 'broken invariant|ERROR|SUMMARY|Test unit written' "${log}" | head -n 20 >&2 || true
    summary+=("${line}: FAILED")
  else
    summary+=("${line}: ok")
  fi
done

echo "=== summary (${seconds} s per target)"
printf '%s\n' "${summary[@]}"
exit "${status}"
