#!/usr/bin/env bash
# Builds the module and runs the example host.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore .
python3 examples/sqlite_host.py
