#!/usr/bin/env bash
# Sets vesktools up on Debian 12: installs the Debian packages that are
# missing, then configures and builds the project into build/ (or $BUILD_DIR).
#
#   scripts/setup.sh              what building and running the programs needs
#                                 (compiler, CMake, Ninja, the libraries,
#                                 help2man for the manual pages)
#   scripts/setup.sh --dev        that and what developing needs: GoogleTest,
#                                 Google Benchmark, clang for the fuzz targets,
#                                 a Redis server and Python client for the
#                                 tests, ip(8) for the network namespace tests,
#                                 chromium and node for the vidra-view page tests
#   scripts/setup.sh --no-build   the packages only (with or without --dev)
#
# Packages are installed with apt-get: as root directly, otherwise through
# sudo, which is asked for only when a package is missing. Without root and
# without sudo the script names the missing packages and ends with status 1.
# The build runs as the user who runs the script; under `sudo` as the user who
# called sudo when that user owns the checkout (scripts/as-user.sh).
#
# A new build directory without --dev builds the programs and the library
# only (no tests, no benchmarks); with --dev everything. An existing build
# directory keeps its settings unless --dev is given.
#
# Environment:
#   BUILD_DIR             build directory (default build/ in the checkout)
#   BUILD_TYPE            CMake build type (default RelWithDebInfo)
#   CMAKE_EXTRA_ARGS      more arguments for the configure step
#   SETUP_EXTRA_PACKAGES  more Debian packages to require (blank-separated)
#   SETUP_NO_BUILD=1      the same as --no-build
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

dev=0
build=1
[ "${SETUP_NO_BUILD:-0}" = 1 ] && build=0
for argument in "$@"; do
  case "$argument" in
    --dev) dev=1 ;;
    --no-build) build=0 ;;
    *)
      echo "setup: unknown argument '$argument' (give --dev and/or --no-build)" >&2
      exit 2
      ;;
  esac
done

packages=(
  build-essential cmake ninja-build pkg-config
  libboost-program-options-dev libboost-dev
  libfmt-dev liblog4cplus-dev libcfitsio-dev libmsgsl-dev libhiredis-dev
  help2man
)
dev_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev clang-format
  redis-server python3 python3-redis python3-numpy
  iproute2
  chromium nodejs
)
[ "$dev" = 1 ] && packages+=("${dev_packages[@]}")
# shellcheck disable=SC2206
[ -n "${SETUP_EXTRA_PACKAGES:-}" ] && packages+=(${SETUP_EXTRA_PACKAGES})

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    as_root=()
  elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
  else
    cat >&2 <<EOF
setup: these Debian packages are missing: ${missing[*]}
setup: installing them needs root, and sudo is not installed. Install them as
setup: root (for example: su -c 'apt-get install ${missing[*]}')
setup: and run this script again as yourself.
EOF
    exit 1
  fi
  echo "setup: installing ${missing[*]}${as_root[*]:+ (with sudo)}"
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ "$build" = 0 ]; then
  exit 0
fi

# shellcheck source=scripts/as-user.sh
. "$here/scripts/as-user.sh"
if [ "${#as_user[@]}" -gt 0 ]; then
  # The packages are there now: the build goes on as the user.
  exec "${as_user[@]}" bash "${BASH_SOURCE[0]}" "$@"
fi

build_dir="${BUILD_DIR:-$here/build}"
build_type="${BUILD_TYPE:-RelWithDebInfo}"
parts=()
if [ "$dev" = 1 ]; then
  parts=(-DVESK_BUILD_TESTS=ON -DVESK_BUILD_BENCH=ON)
elif [ ! -f "$build_dir/CMakeCache.txt" ]; then
  parts=(-DVESK_BUILD_TESTS=OFF -DVESK_BUILD_BENCH=OFF)
fi
echo "setup: building in $build_dir ($build_type)"
# shellcheck disable=SC2086
cmake -S "$here" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" "${parts[@]}" \
  ${CMAKE_EXTRA_ARGS:-} >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
