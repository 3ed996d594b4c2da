#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and moves that prefix (an
# installed package must not depend on where it was installed), checks the
# layout, the library's soname, the installed vxctl and the installed
# documents' links. (The hosts of every language are built against an
# installed prefix by the documents' tests, docs/FIRST-HOST.md first.)
#
# Environment: BUILD_DIR SOURCE_DIR PYTHON and the install directories
# BINDIR LIBDIR INCLUDEDIR DOCDIR DATADIR (relative, as GNUInstallDirs has
# them).
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
    "${DOCDIR}/docs/API.md" "${DOCDIR}/docs/FIRST-HOST.md" "${DOCDIR}/examples/send_command.c" \
    "${DOCDIR}/examples/README.md"; do
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

# The installed documents: every relative link leads somewhere, the
# bindings' README through the documentation's link to the bindings.
[ "$(readlink "${prefix}/${DOCDIR}/bindings")" = "$(realpath -m --relative-to="${prefix}/${DOCDIR}" "${bindings}")" ] ||
  fail "${DOCDIR}/bindings is no relative link to the bindings"
"${PYTHON}" "${here}/doc_blocks.py" links "${prefix}/${DOCDIR}" "${bindings}" || fail "broken links in the installed documents"
