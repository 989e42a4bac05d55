# shellcheck shell=bash disable=SC2034,SC2154
# Sourced by the set-up, demo and test scripts. Sets `as_user` to the command
# prefix that runs a command as the user who called `sudo`, when the script
# runs as root under sudo in a checkout that this user owns (for example
# `sudo ./scripts/demo.sh`): only the package installation needs root, and the
# build in the user's checkout must stay the user's. Otherwise `as_user` is
# empty and commands run as the current user. Needs `here` (the checkout).
as_user=()
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_UID:-}" ] && [ "${SUDO_UID}" != 0 ] &&
  [ "$(stat -c %u "$here")" = "$SUDO_UID" ]; then
  sudo_home="$(getent passwd "$SUDO_UID" | cut -d: -f6)"
  as_user=(setpriv "--reuid=$SUDO_UID" "--regid=${SUDO_GID:-$SUDO_UID}" --init-groups
    env "HOME=${sudo_home:-/}" "USER=${SUDO_USER:-}" "LOGNAME=${SUDO_USER:-}")
fi
