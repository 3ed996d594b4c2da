#!/usr/bin/env bash
# Installs what the builds and tests need (mingw-w64, Wine, clang and the
# LLVM tools, GoogleTest, valgrind, pkg-config, for the bindings' tests
# Mono, Free Pascal, python3 with venv and pytest, mypy, and for the 32-bit
# suite QEMU, a static busybox and 32-bit Wine) when missing.
# Debian packages; needs root (or sudo).
set -u
need=()
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686-posix)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
command -v ninja >/dev/null || need+=(ninja-build)
dpkg -s libgtest-dev >/dev/null 2>&1 || need+=(libgtest-dev libgmock-dev)
[ -d /usr/src/googletest ] || need+=(googletest)
command -v valgrind >/dev/null || need+=(valgrind)
command -v clang++ >/dev/null || need+=(clang)
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
# The MSVC import library and its check; the install test's pkg-config.
command -v llvm-dlltool >/dev/null || command -v llvm-dlltool-14 >/dev/null || need+=(llvm)
command -v lld-link >/dev/null || command -v lld-link-14 >/dev/null || need+=(lld)
command -v pkg-config >/dev/null || need+=(pkg-config)
# The link tests take the loopback down and slow it (ip, tc).
dpkg -s iproute2 >/dev/null 2>&1 || need+=(iproute2)
command -v mcs >/dev/null || need+=(mono-mcs)
command -v mono >/dev/null || need+=(mono-runtime)
command -v fpc >/dev/null || need+=(fp-compiler)
# The guest of scripts/run-in-i386-guest.sh, and 32-bit Wine to run in it.
command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
dpkg -s busybox-static >/dev/null 2>&1 || need+=(busybox-static)
[ -x /usr/lib/wine/wine ] || need+=(wine32:i386)
for package in python3-venv python3-pip python3-pytest mypy; do
  dpkg -s "${package}" >/dev/null 2>&1 || need+=("${package}")
done
[ ${#need[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
case " ${need[*]} " in
  *:i386\ *) dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386 ;;
esac
# A mirror index can be mid-sync: a failed update is tolerated, a failed
# install is not.
$sudo apt-get update || echo "apt-get update failed; trying the install anyway" >&2
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${need[@]}"
