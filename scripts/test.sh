#!/usr/bin/env bash
# Builds everything and runs every test: the C++ unit tests, then pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore .

cmake -S . -B build-tests -G Ninja -DQUORVEL_BUILD_TESTS=ON -DQUORVEL_BUILD_PYTHON=OFF >/dev/null
cmake --build build-tests
ctest --test-dir build-tests --output-on-failure

python3 -m pytest -q tests
