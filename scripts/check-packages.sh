#!/usr/bin/env bash
# Checks what scripts/package.sh made: lintian on the Debian packages; the
# wheel in a fresh virtual environment (the Python tests and stubtest); then
# the packages installed on this machine: the program and its manual page,
# a C++ consumer through find_package and through pkg-config, and the Python
# module. The packages are removed again at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh lintian python3-mypy python3-venv
root=$PWD
dist=$root/build/package/dist
version=$(sed -n 's/^project(imgnorm VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
packages=(libimgnorm0 libimgnorm-dev imgnorm python3-imgnorm)
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
scratch=$(mktemp -d)
cleanup() {
  $SUDO apt-get purge -y -qq "${packages[@]}" >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT

echo "== lintian"
lintian --fail-on error "$dist"/*.deb

echo "== the wheel in a fresh virtual environment"
# Debian's interpreter, whose numpy the wheel uses, whatever python3 PATH finds.
/usr/bin/python3 -m venv --system-site-packages "$scratch/venv"
"$scratch/venv/bin/pip" install -q --no-index "$dist"/imgnorm-*.whl
cd "$scratch"
venv/bin/python -c "import imgnorm, sys; assert imgnorm.__file__.startswith(sys.prefix), imgnorm.__file__"
IMGNORM_CLI=$root/build/package/tools/imgnorm venv/bin/python -m pytest -q -p no:cacheprovider "$root/python/tests"
venv/bin/python -m mypy.stubtest imgnorm

echo "== the Debian packages installed"
$SUDO apt-get install -y -qq "$dist"/*.deb >/dev/null
test "$(imgnorm --version)" = "imgnorm $version"
dpkg -L imgnorm | grep -qx /usr/share/man/man1/imgnorm.1.gz
cmake -S "$root/tests/consumer" -B consumer >/dev/null
cmake --build consumer >/dev/null
consumer/consumer | grep -qx "imgnorm $version"
# shellcheck disable=SC2046  # pkg-config prints several words on purpose
g++ -o pkg-config-consumer "$root/tests/consumer/main.cpp" $(pkg-config --cflags --libs imgnorm)
./pkg-config-consumer | grep -qx "imgnorm $version"
# The package's module, not a copy a source install put under /usr/local.
/usr/bin/python3 -c "
import sys
sys.path = [p for p in sys.path if not p.startswith('/usr/local/')]
import imgnorm
assert imgnorm.__file__.startswith('/usr/lib/python3/dist-packages/'), imgnorm.__file__
assert imgnorm.__version__ == '$version', imgnorm.__version__
"
echo "packages and wheel of imgnorm $version: all checks passed"
