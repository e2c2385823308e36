#!/usr/bin/env bash
# Installs what building and testing need, on a fresh Debian 12 machine (as root).
# Only 64-bit packages: this machine runs no 32-bit programs, so 32-bit Wine is not wanted.
set -eu
packages=(make cmake g++ libgtest-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 zip python3)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
