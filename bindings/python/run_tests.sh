#!/bin/sh
# Builds the wheel as bindings/README.md says (offline, the library put
# beside the package), installs it into a fresh virtual environment and runs
# the package's tests there against vxsim, with neither VXBRIDGE_LIBRARY nor
# LD_LIBRARY_PATH set; then mypy --strict when it is installed. Nothing is
# fetched: pytest and mypy come from the interpreter's own site packages
# (Debian: python3-venv, python3-pytest, mypy).
#   run_tests.sh PYTHON WORK_DIR LIBRARY VXSIM VERSION
set -eu
python=$1 work=$2 library=$3 vxsim=$4 version=$5
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
rm -rf "$work"
mkdir -p "$work/src"
# A copy of the package as it ships, so that the library put beside it
# stays out of the source tree.
cp -R "$here/pyproject.toml" "$here/README.md" "$here/build_backend" "$here/vxbridge" "$work/src/"
cp "$library" "$work/src/vxbridge/libvxbridge.so.1"
listing() { (cd "$work/src" && find . ! -path '*/__pycache__*' | sort); }
listing >"$work/before"

"$python" -m venv --system-site-packages "$work/venv"
venv_python=$work/venv/bin/python
(cd "$work" && PIP_NO_INDEX=1 "$venv_python" -m pip wheel --quiet --no-index -w dist ./src)
tag=$("$venv_python" -c 'import sysconfig; print(sysconfig.get_platform().replace("-", "_").replace(".", "_"))')
wheel=$work/dist/vxbridge-$version-py3-none-$tag.whl
[ -f "$wheel" ] || fail "no $wheel; made: $(ls "$work/dist")"
listing | diff "$work/before" - || fail "building the wheel left files in the package's folder"
"$venv_python" -m pip install --quiet --no-index "$wheel"

cd "$work"
unset VXBRIDGE_LIBRARY LD_LIBRARY_PATH
"$venv_python" -c '
import os, vxbridge
path = vxbridge.library_path()
assert path == os.path.join(os.path.dirname(vxbridge.__file__), "libvxbridge.so.1"), path
assert b".debug_" not in open(path, "rb").read(), "the bundled library keeps its debug information"
' || fail "the installed package does not load its own stripped library"
VXSIM=$vxsim PYTHONDONTWRITEBYTECODE=1 "$venv_python" -m pytest -q -p no:cacheprovider "$here/tests"
if "$venv_python" -m mypy --version >/dev/null 2>&1; then
  (cd "$work/src" && "$venv_python" -m mypy --strict --cache-dir "$work/mypy" -p vxbridge &&
    "$venv_python" -m mypy --strict --cache-dir "$work/mypy" build_backend/vxbridge_build.py)
else
  echo "mypy is not installed: the type check is skipped"
fi
