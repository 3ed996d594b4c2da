#!/bin/sh
# Installs the package with pip into a fresh virtual environment and runs its
# tests against vxsim. Nothing is fetched: setuptools and pytest come from the
# interpreter's own site packages (Debian: python3-venv, python3-setuptools,
# python3-pytest).
#   run_tests.sh PYTHON WORK_DIR LIBRARY VXSIM
set -eu
python=$1 work=$2 library=$3 vxsim=$4
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work/src"
# Built from a copy, so that the build leaves nothing in the source tree.
cp -R "$here/vxbridge" "$here/pyproject.toml" "$work/src/"
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-index --no-build-isolation \
  --disable-pip-version-check "$work/src"
cd "$work"
VXSIM=$vxsim VXBRIDGE_LIBRARY=$library PYTHONDONTWRITEBYTECODE=1 \
  exec "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$here/tests"
