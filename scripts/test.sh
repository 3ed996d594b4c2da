#!/usr/bin/env bash
# Builds and tests everything: Linux, the 32-bit product DLL (export and
# import tables), the 64-bit Windows build under wine64, AddressSanitizer +
# UndefinedBehaviorSanitizer and ThreadSanitizer. Warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=${JOBS:-2}
status=0
summary=()
for preset in default win32 win64 asan tsan; do
  echo "=== ${preset} ==="
  cmake --preset "${preset}" >/dev/null
  cmake --build --preset "${preset}" -j "${jobs}"
  if ctest --preset "${preset}" -j 1 --timeout 900; then
    summary+=("${preset}: passed")
  else
    summary+=("${preset}: FAILED")
    status=1
  fi
done
echo "=== summary ==="
printf '%s\n' "${summary[@]}"
passed=$(printf '%s\n' "${summary[@]}" | grep -c passed || true)
failed=$(printf '%s\n' "${summary[@]}" | grep -c FAILED || true)
echo "presets: ${passed} passed, ${failed} failed"
exit ${status}
