#!/usr/bin/env bash
# Sets up for development (scripts/setup.sh --dev: the missing Debian packages
# through sudo when not root, the build with tests and benchmarks as the
# user), runs every test, then installs the project into a scratch prefix and
# checks what the install holds (scripts/check-install.sh).
# Arguments go to ctest, e.g. `scripts/test.sh -R ProgramVersion` runs only
# the tests whose names match.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$here/build}"

bash "$here/scripts/setup.sh" --dev --no-build
# shellcheck source=scripts/as-user.sh
. "$here/scripts/as-user.sh"
if [ "${#as_user[@]}" -gt 0 ]; then
  # Started with sudo: the packages are there, the rest runs as the user.
  exec "${as_user[@]}" bash "${BASH_SOURCE[0]}" "$@"
fi
bash "$here/scripts/setup.sh" --dev

echo "test: running the tests in $BUILD_DIR"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j2 "$@"

echo "test: install into a scratch prefix and use it"
prefix="$(mktemp -d /tmp/vesktools-install.XXXXXX)"
trap 'rm -rf "$prefix"' EXIT
cmake --install "$BUILD_DIR" --prefix "$prefix/usr" >/dev/null
bash "$here/scripts/check-install.sh" "$prefix/usr"
echo "test: all passed"
