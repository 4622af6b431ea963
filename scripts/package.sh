#!/usr/bin/env bash
# Builds the Debian packages (library, development files, program, Python
# module) and the Python wheel into build/package/dist/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh dpkg-dev help2man python3-build python3-setuptools python3-wheel
# Files and folders the packages hold get the usual modes whatever the
# caller's umask.
umask 022
cmake --preset package >/dev/null
cmake --build --preset package -j "$(nproc)"
rm -rf build/package/dist
(cd build/package && cpack -G DEB -B "$PWD/dist" >/dev/null && rm -rf dist/_CPack_Packages)
# The wheel reuses the package build's module, made for the same python3.
IMGNORM_BUILD_DIR=build/package /usr/bin/python3 -m build --no-isolation --wheel --outdir build/package/dist . >/dev/null
ls build/package/dist
