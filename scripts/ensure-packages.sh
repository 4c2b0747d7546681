#!/usr/bin/env bash
# Installs the named Debian packages that are not installed yet, as root or through sudo, so
# that a fresh machine needs nothing but the make targets. Without root and without sudo it
# names the one command to run as root and fails. Usage: ensure-packages.sh PKG...
set -euo pipefail
missing=()
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0
install_line="apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
if ! command -v apt-get >/dev/null 2>&1; then
  echo "Missing packages: ${missing[*]}. This machine has no apt-get; install them (or their" >&2
  echo "equivalents) with its own package manager." >&2
  exit 1
fi
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "Missing Debian packages: ${missing[*]}. Installing them needs root, and sudo is not" >&2
    echo "installed. Run this as root, then try again:" >&2
    echo "  $install_line" >&2
    exit 1
  fi
  sudo=(sudo env DEBIAN_FRONTEND=noninteractive)  # sudo would drop an exported variable
fi
echo "Installing missing Debian packages: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
