#!/bin/sh
# Installs the kit into a virtual environment under the build folder (no
# network: the system's setuptools and wheel) and runs its test against
# the library built there.  Without those two modules the test runs from
# the source tree instead.  Usage: run.sh BUILD_DIR LIBRARY_PATH
set -e
kit=$(cd "$(dirname "$0")/.." && pwd)
python=python3
if python3 -c 'import setuptools, wheel' 2>/dev/null; then
    venv=$1/python-kit-venv
    python3 -m venv --clear --system-site-packages "$venv" >/dev/null
    "$venv/bin/pip" install --quiet --no-index --no-build-isolation \
        --disable-pip-version-check "$kit"
    python=$venv/bin/python
else
    echo "python kit: no setuptools/wheel here; testing from the source tree"
    PYTHONPATH=$kit
    export PYTHONPATH
fi
VELTRANO_PGDUMP_LIBRARY=$2 exec "$python" "$kit/tests/test_kit.py"
