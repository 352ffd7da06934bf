#!/usr/bin/env bash
# Installs the Debian packages named as arguments that are not installed yet.
# The package lists are updated at most once per machine boot of CI.
set -euo pipefail

missing=()
for package in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ "${#missing[@]}" -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "ensure-packages: missing ${missing[*]}, and installing needs root" >&2
  exit 1
fi
stamp=/tmp/tarvix-apt-updated
if [ ! -e "$stamp" ]; then
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  touch "$stamp"
fi
echo "ensure-packages: installing ${missing[*]}"
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
