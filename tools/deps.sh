#!/bin/sh
# Checks that the Debian packages named on the command line are installed.
# As root the missing ones are installed; otherwise the install line is
# printed and the check fails.
missing=""
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
    missing="$missing $pkg"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends $missing ||
    { apt-get update && apt-get install -y --no-install-recommends $missing; }
  exit $?
fi
echo "dulk needs these Debian packages; install them with:"
echo "  sudo apt-get install$missing"
exit 1
