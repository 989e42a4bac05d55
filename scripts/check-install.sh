#!/usr/bin/env bash
# Checks an installed vesktools (the prefix given, e.g. after
# `cmake --install build --prefix PREFIX`) as its users meet it:
#   - a project outside the tree builds against it with find_package(vesktools)
#     and with `pkg-config --cflags --libs vesktools`, and both builds stream a
#     sample over loopback (tests/consumer/main.cpp);
#   - every program runs, answers --help and --version (with the version of
#     the pkg-config file) and has its manual page in share/man/man1.
# Ends with status 1 and a line naming what is wrong.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ "$#" -ne 1 ] || [ ! -d "$1" ]; then
  echo "usage: scripts/check-install.sh PREFIX" >&2
  exit 2
fi
prefix="$(cd "$1" && pwd)"
programs=(veskfeed veskrecv vesk2vidragw vidra2fits vesk-impair vesk-make-cube)

failures=0
fail() {
  echo "check-install: $*" >&2
  failures=$((failures + 1))
}

work="$(mktemp -d /tmp/vesktools-check.XXXXXX)"
trap 'rm -rf "$work"' EXIT

echo "check-install: find_package(vesktools) consumer"
if cmake -S "$here/tests/consumer" -B "$work/cmake-consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null &&
  cmake --build "$work/cmake-consumer" >/dev/null; then
  "$work/cmake-consumer/vesk_consumer" || fail "the find_package consumer failed"
else
  fail "the find_package consumer does not build against $prefix"
fi

echo "check-install: pkg-config consumer"
pc_file="$(find "$prefix" -path '*/pkgconfig/vesktools.pc' -print -quit)"
version=""
if [ -z "$pc_file" ]; then
  fail "no lib/pkgconfig/vesktools.pc under $prefix"
else
  PKG_CONFIG_PATH="$(dirname "$pc_file")"
  export PKG_CONFIG_PATH
  version="$(pkg-config --modversion vesktools)"
  libdir="$(pkg-config --variable=libdir vesktools)"
  # shellcheck disable=SC2046
  if c++ -std=c++20 -o "$work/pc-consumer" "$here/tests/consumer/main.cpp" $(pkg-config --cflags --libs vesktools) \
    "-Wl,-rpath,$libdir"; then
    "$work/pc-consumer" || fail "the pkg-config consumer failed"
  else
    fail "the pkg-config consumer does not build with: $(pkg-config --cflags --libs vesktools)"
  fi
fi

echo "check-install: programs, --version and manual pages"
for program in "${programs[@]}"; do
  binary="$prefix/bin/$program"
  if [ ! -x "$binary" ]; then
    fail "$program is not installed in $prefix/bin"
    continue
  fi
  "$binary" --help >/dev/null || fail "$program --help ended with status $?"
  line="$("$binary" --version)" || fail "$program --version ended with status $?"
  # Without the pkg-config file (reported above) any version will do.
  expected="$program (vesktools) ${version:-*}"
  # shellcheck disable=SC2053
  [[ "$line" == $expected ]] || fail "$program --version printed '$line', not '$expected'"
  page="$prefix/share/man/man1/$program.1"
  if [ ! -s "$page" ]; then
    fail "no manual page $page"
  elif ! grep -q "^\\.TH \"\\?${program^^}\"\\? " "$page"; then
    fail "$page is not the manual page of $program"
  fi
done

if [ "$failures" -gt 0 ]; then
  echo "check-install: $failures problem(s) in $prefix" >&2
  exit 1
fi
echo "check-install: $prefix is complete"
