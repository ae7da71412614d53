#!/usr/bin/env bash
# Incremental developer loop: builds into build/ and runs the tests against
# that build without installing anything. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -G Ninja -DQUORVEL_BUILD_TESTS=ON -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -Q
PYTHONPATH="$PWD/build/python${PYTHONPATH:+:$PYTHONPATH}" python3 -m pytest -q tests "$@"
