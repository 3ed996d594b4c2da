#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and moves that prefix (an
# installed package must not depend on where it was installed), checks the
# layout and the library's soname, then builds a consumer of the installed
# package with find_package(VxBridge 1.0), with the README's pkg-config line
# and, when fpc is there, with bindings/README.md's Free Pascal command, and
# runs each against the installed vxsim, without LD_LIBRARY_PATH.
#
# Environment: BUILD_DIR SOURCE_DIR CC GENERATOR PKG_CONFIG and the install
# directories BINDIR LIBDIR INCLUDEDIR DOCDIR DATADIR (relative, as
# GNUInstallDirs has them).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "${BUILD_DIR}" --prefix "${work}/staged" >"${work}/install.log"
mv "${work}/staged" "${work}/prefix"
prefix=${work}/prefix
lib=${prefix}/${LIBDIR}

for file in "${INCLUDEDIR}/vxbridge.h" "${LIBDIR}/libvxbridge.so.1.0.0" "${BINDIR}/vxsim" "${BINDIR}/vxctl" \
    "${LIBDIR}/cmake/VxBridge/VxBridgeConfig.cmake" "${LIBDIR}/cmake/VxBridge/VxBridgeConfigVersion.cmake" \
    "${LIBDIR}/pkgconfig/vxbridge.pc" "${DOCDIR}/README.md" "${DOCDIR}/LICENSE" "${DOCDIR}/CHANGELOG.md" \
    "${DOCDIR}/docs/API.md" "${DOCDIR}/examples/send_command.c"; do
  [ -f "${prefix}/${file}" ] || fail "${file} not installed"
done
# The bindings, file by file as in the release archive (its test lists them).
bindings=${prefix}/${DATADIR}/vxbridge/bindings
[ -f "${bindings}/README.md" ] && [ -f "${bindings}/python/vxbridge/__init__.py" ] || fail "no bindings in ${bindings}"
[ "$(readlink "${lib}/libvxbridge.so.1")" = libvxbridge.so.1.0.0 ] || fail "no link libvxbridge.so.1"
[ "$(readlink "${lib}/libvxbridge.so")" = libvxbridge.so.1 ] || fail "no link libvxbridge.so"
objdump -p "${lib}/libvxbridge.so.1.0.0" | grep -Eq '^ +SONAME +libvxbridge\.so\.1$' ||
  fail "the library's SONAME is not libvxbridge.so.1"
! grep -rlF -e "${SOURCE_DIR}" -e "${BUILD_DIR}" "${lib}/cmake" "${lib}/pkgconfig" ||
  fail "the package files above name the source or build tree"
# The installed vxctl finds the moved library relative to itself.
[ "$("${prefix}/${BINDIR}/vxctl" error -14)" = "Vexa3D is not installed" ] || fail "installed vxctl does not run"

example=${SOURCE_DIR}/examples/send_command.c
expect=(--expect "Echo -> 0 hello" --expect "Teleport -> 26 Unknown command")

echo "=== find_package(VxBridge 1.0)"
cmake -S "${here}/consumer" -B "${work}/cmake-consumer" -G "${GENERATOR}" -DCMAKE_C_COMPILER="${CC}" \
  -DCMAKE_PREFIX_PATH="${prefix}" -DEXAMPLE="${example}" >"${work}/configure.log" ||
  { cat "${work}/configure.log"; fail "find_package(VxBridge 1.0) consumer does not configure"; }
cmake --build "${work}/cmake-consumer" >/dev/null || fail "find_package consumer does not build"
objdump -p "${work}/cmake-consumer/consumer" | grep -Eq 'NEEDED +libvxbridge\.so\.1$' ||
  fail "the consumer does not record libvxbridge.so.1"
"${here}/run_example.sh" client "${work}/cmake-consumer/consumer" "${prefix}/${BINDIR}/vxsim" "${expect[@]}"

echo "=== pkg-config --cflags --libs vxbridge"
command -v "${PKG_CONFIG}" >/dev/null || fail "pkg-config not found (scripts/deps.sh installs it)"
export PKG_CONFIG_PATH=${lib}/pkgconfig
[ "$("${PKG_CONFIG}" --modversion vxbridge)" = 1.0.0 ] || fail "pkg-config gives another version"
# The README's line as it stands, the rpath included.
# shellcheck disable=SC2046  # the flags are words
"${CC}" "${example}" $("${PKG_CONFIG}" --cflags --libs vxbridge) -Wl,-rpath,"${lib}" -o "${work}/pc-consumer" ||
  fail "pkg-config consumer does not build"
"${here}/run_example.sh" client "${work}/pc-consumer" "${prefix}/${BINDIR}/vxsim" "${expect[@]}"

echo "=== fpc, as bindings/README.md says"
if command -v fpc >/dev/null; then
  mkdir "${work}/out"
  fpc -Mdelphi -Fu"${bindings}/delphi" -Fl"${lib}" -k-rpath="${lib}" -FE"${work}/out" \
    "${bindings}/delphi/VxSample.dpr" >"${work}/fpc.log" || { cat "${work}/fpc.log"; fail "VxSample does not build"; }
  "${here}/run_example.sh" client "${work}/out/VxSample" "${prefix}/${BINDIR}/vxsim" --expect "Add -> 0 42"
else
  echo "fpc not found: the Delphi sample is not built (scripts/deps.sh installs it)"
fi
