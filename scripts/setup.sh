#!/usr/bin/env bash
# Installs what building and testing need, idempotently: Debian packages
# (GoogleTest, the database servers the tests start) and PyPI packages.
set -euo pipefail

apt_packages=(libgtest-dev postgresql mariadb-server)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore \
  "scikit-build-core>=0.8" cmake ninja pytest mypy "psycopg[binary]" PyMySQL orjson "SQLAlchemy>=2" \
  "mongomock-ng[pymongo]"
