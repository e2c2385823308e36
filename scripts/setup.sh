#!/usr/bin/env bash
# Installs what building and testing need, on a fresh Debian 12 machine (as root).
# 32-bit Wine (wine32:i386) only where the kernel runs 32-bit programs: the 32-bit release is then
# tested end to end under WoW64 Wine; elsewhere those tests are reported as skipped.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
packages=(make cmake g++ libgtest-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 zip python3
  python3-pefile osslsigncode openssl)
if bash "$root/scripts/runs32.sh"; then
  packages+=(wine32:i386)
else
  echo "setup: this machine's kernel does not run 32-bit programs: 32-bit Wine is not installed," \
    "and the end-to-end tests of the 32-bit release will be skipped" >&2
fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
case " ${missing[*]} " in
  *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || "${sudo_cmd[@]}" dpkg --add-architecture i386 ;;
esac
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
