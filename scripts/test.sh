#!/usr/bin/env bash
# Builds and tests everything: Linux (with an install into a temporary
# prefix and consumers of it), the 32-bit product DLL and its release archive
# (export and import tables, archive contents, the MSVC import library), the
# 64-bit Windows build under wine64, AddressSanitizer +
# UndefinedBehaviorSanitizer and ThreadSanitizer (each with the hostile-viewer
# and soak suites; ctest -L soak selects the soak alone), then one soak run
# under valgrind memcheck and a short run of every fuzz target. The example
# hosts run in every build; the default preset also runs
# the Python, C# and Delphi bindings against vxsim (ctest -L bindings).
# The library is built first with clang's thread-safety analysis, which
# holds every field a lock guards to that lock. The 32-bit build's tests run
# under 32-bit Wine, all in one boot of a QEMU guest
# (scripts/run-in-i386-guest.sh). Warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=${JOBS:-2}
status=0
summary=()
echo "=== threadsafety (clang's lock analysis of the library) ==="
if cmake --preset threadsafety >/dev/null && cmake --build --preset threadsafety -j "${jobs}"; then
  summary+=("threadsafety: passed")
else
  summary+=("threadsafety: FAILED")
  status=1
fi
for preset in default win32 win64 asan tsan; do
  echo "=== ${preset} ==="
  cmake --preset "${preset}" >/dev/null
  cmake --build --preset "${preset}" -j "${jobs}"
  run=()
  [ "${preset}" = win32 ] && run=(scripts/run-in-i386-guest.sh --wine-prefix build-win32/wineprefix --)
  if "${run[@]}" ctest --preset "${preset}" -j 1 --timeout 900; then
    summary+=("${preset}: passed")
  else
    summary+=("${preset}: FAILED")
    status=1
  fi
done
echo "=== valgrind (one soak run under memcheck) ==="
if scripts/soak-valgrind.sh build-valgrind; then
  summary+=("valgrind soak: passed")
else
  summary+=("valgrind soak: FAILED")
  status=1
fi
if [ -x scripts/fuzz-smoke.sh ]; then
  echo "=== fuzz smoke ==="
  if scripts/fuzz-smoke.sh; then
    summary+=("fuzz smoke: passed")
  else
    summary+=("fuzz smoke: FAILED")
    status=1
  fi
fi
echo "=== summary ==="
printf '%s\n' "${summary[@]}"
passed=$(printf '%s\n' "${summary[@]}" | grep -c passed || true)
failed=$(printf '%s\n' "${summary[@]}" | grep -c FAILED || true)
echo "checks: ${passed} passed, ${failed} failed"
exit ${status}
