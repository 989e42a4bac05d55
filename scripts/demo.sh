#!/usr/bin/env bash
# Sets up and builds vesktools, then shows the command line of each program.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$here/build}"

bash "$here/scripts/setup.sh"

for program in veskfeed veskrecv vesk2vidragw; do
  echo "=== $program --help"
  "$BUILD_DIR/$program/$program" --help
done
