#!/usr/bin/env bash
# Sets up and builds vesktools (scripts/setup.sh: the missing Debian packages
# through sudo when not root, the build as the user), then streams a small
# generated FITS cube from veskfeed to veskrecv over 127.0.0.1 and shows the
# receiver's report. Bounded in time: the receiver is stopped if it has not
# ended after 60 s.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$here/build}"

bash "$here/scripts/setup.sh" --no-build
# shellcheck source=scripts/as-user.sh
. "$here/scripts/as-user.sh"
if [ "${#as_user[@]}" -gt 0 ]; then
  # Started with sudo: the packages are there, the rest runs as the user.
  exec "${as_user[@]}" bash "${BASH_SOURCE[0]}" "$@"
fi
bash "$here/scripts/setup.sh"

samples="${DEMO_SAMPLES:-10}"
port="${DEMO_PORT:-47500}"
width=64
height=48
depth=4

work="$(mktemp -d /tmp/vesktools-demo.XXXXXX)"
recv_pid=""
cleanup() {
  if [ -n "$recv_pid" ] && kill -0 "$recv_pid" 2>/dev/null; then
    kill "$recv_pid" 2>/dev/null || true
    wait "$recv_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "=== generating a ${width} x ${height} x ${depth} cube of 16-bit pixels"
"$BUILD_DIR/veskrecv/vesk-make-cube" "$work/cube.fits" "$width" "$height" "$depth"

# The receiver tool listens with MTU 9000, topic 10 and no extended info: the
# sender is started with matching options.
echo "=== veskrecv -p $port -w $width -e $height -s $samples"
"$BUILD_DIR/veskrecv/veskrecv" -p "$port" -w "$width" -e "$height" -s "$samples" >"$work/recv.out" 2>&1 &
recv_pid=$!

# Wait (at most 5 s) until the receiver's UDP port is bound.
port_hex="$(printf ':%04X ' "$port")"
for _ in $(seq 50); do
  grep -q "$port_hex" /proc/net/udp && break
  sleep 0.1
done

echo "=== veskfeed -i cube.fits -p $port -d 127.0.0.1 -m 9000 -x 0 -n $samples -q 20"
timeout 60 "$BUILD_DIR/veskfeed/veskfeed" -i "$work/cube.fits" -p "$port" -d 127.0.0.1 -m 9000 -x 0 \
  -n "$samples" -q 20 | grep -c "Send Loop running" | sed 's/^/veskfeed: samples sent: /'

status=0
for _ in $(seq 600); do
  kill -0 "$recv_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$recv_pid" 2>/dev/null; then
  echo "demo: veskrecv did not end within 60 s; stopping it" >&2
  kill "$recv_pid"
  status=1
fi
wait "$recv_pid" || status=$?
recv_pid=""

echo "=== veskrecv output"
cat "$work/recv.out"
exit "$status"
