#!/usr/bin/env bash
# Installs the Debian 12 packages vesktools needs (only those missing), then
# configures and builds the project into build/ (or $BUILD_DIR).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

packages=(
  build-essential cmake ninja-build pkg-config
  libboost-program-options-dev libboost-dev
  libfmt-dev liblog4cplus-dev libcfitsio-dev libmsgsl-dev
  libhiredis-dev redis-server
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev
  python3 python3-redis python3-numpy
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ "${SETUP_NO_BUILD:-0}" = 1 ]; then
  exit 0
fi

build_dir="${BUILD_DIR:-$here/build}"
build_type="${BUILD_TYPE:-RelWithDebInfo}"
cmake -S "$here" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" ${CMAKE_EXTRA_ARGS:-} >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
