#!/bin/sh
# Makes a virtual environment exactly as the README says, installs the package
# into it and runs its tests: run.sh VENV [PYTEST ARGUMENTS...]
# The tests read WTCORE_LIBRARY (the shared library, their reference),
# TARNWICK_WIKITEXT (the tool) and WTCORE_CORPUS from the environment.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
venv=$1
shift
rm -rf "$venv"
/usr/bin/python3 -m venv --system-site-packages "$venv"
"$venv/bin/pip" install --quiet --no-build-isolation "$here"
cd "$here"
status=0
"$venv/bin/python" -m pytest -p no:cacheprovider "$@" tests || status=$?
# pytest says 5 when it ran no test: that is a failure here, not a pass.
if [ "$status" -eq 5 ]; then
  echo "python tests: no test ran"
  exit 1
fi
exit "$status"
