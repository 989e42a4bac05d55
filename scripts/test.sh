#!/usr/bin/env bash
# Sets up (missing Debian packages, build), runs every test, then installs the
# project into a scratch prefix and builds a small consumer project against
# the installed CMake package.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$here/build}"

bash "$here/scripts/setup.sh"

echo "test: running the tests in $BUILD_DIR"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j2

echo "test: install and find_package consumer"
prefix="$(mktemp -d /tmp/vesktools-install.XXXXXX)"
trap 'rm -rf "$prefix"' EXIT
cmake --install "$BUILD_DIR" --prefix "$prefix/usr" >/dev/null
cmake -S "$here/tests/consumer" -B "$prefix/consumer-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix/usr" >/dev/null
cmake --build "$prefix/consumer-build"
"$prefix/consumer-build/vesk_consumer"
for program in veskfeed veskrecv vesk2vidragw; do
  "$prefix/usr/bin/$program" --help >/dev/null
done
echo "test: all passed"
