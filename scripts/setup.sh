#!/usr/bin/env bash
# Installs what building and testing need, on a fresh Debian 12 machine (as root).
# 32-bit Wine (wine32:i386) on the host only where the kernel runs 32-bit programs; elsewhere the
# release's Wine 8 suites run in a Debian 12 root under qemu-i386 (scripts/wine8.sh).
#
# A package mirror in the middle of a sync can fail single index files (seen: the i386 security
# index, "File has unexpected size"). Then apt-get update exits 100 though every other index came,
# and the plain install may find no common version of a Multi-Arch: same library for amd64 and
# i386. So a failed update is reported and not fatal, a failed install is tried once more with the
# target release pinned to this machine's codename, and only what then stays missing fails the set-up.
#
# Last, scripts/wine10.sh makes the Debian 13 root with the second Wine the end-to-end suites run
# under, and scripts/wine8.sh the Debian 12 root where it is needed (outside the checkout; quick when
# they are there).
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
packages=(make cmake g++ libgtest-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 zip python3
  python3-pefile osslsigncode openssl debootstrap hyperfine)
# The programs the build and the tests call, each checked once the packages are in.
tools=(cmake make g++ i686-w64-mingw32-g++ x86_64-w64-mingw32-g++ i686-w64-mingw32-windres
  x86_64-w64-mingw32-windres wine /usr/lib/wine/wine64 /usr/lib/wine/wineserver zip
  /usr/bin/python3 osslsigncode openssl debootstrap unshare chroot hyperfine)
if bash "$root/scripts/runs32.sh"; then
  packages+=(wine32:i386)
  tools+=(/usr/lib/wine/wine)
fi

missing_packages() {
  local package
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || echo "$package"
  done
}

check_tools() {
  local tool absent=()
  for tool in "${tools[@]}"; do
    command -v "$tool" >/dev/null 2>&1 || absent+=("$tool")
  done
  if [ ${#absent[@]} -gt 0 ]; then
    echo "setup: FAILED: installed, but these programs are not there: ${absent[*]}" >&2
    exit 1
  fi
}

# The host is ready; now the roots (the Debian 13 one first: it holds qemu-i386 where needed).
finish() {
  check_tools
  bash "$root/scripts/wine10.sh" setup || exit 1
  bash "$root/scripts/wine8.sh" setup || exit 1
}

mapfile -t missing < <(missing_packages)
if [ ${#missing[@]} -eq 0 ]; then
  finish
  exit 0
fi
echo "setup: installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
apt=("${sudo_cmd[@]}" apt-get -o Acquire::Retries=3)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

apt_error() {  # apt's last error line, or its last line where it printed none
  grep '^E: ' "$log" | tail -n 1 | grep . || tail -n 1 "$log"
}

case " ${missing[*]} " in
  *:i386*)
    dpkg --print-foreign-architectures | grep -qx i386 || "${sudo_cmd[@]}" dpkg --add-architecture i386 ;;
esac
if ! "${apt[@]}" update -qq >"$log" 2>&1; then
  # Indexes that did come are used; whether they are enough is for the install to say.
  echo "setup: apt-get update reported failed index files, going on with what it fetched:" \
    "$(grep -m 1 -E '^[EW]: ' "$log" || tail -n 1 "$log")"
fi

install() {  # install [apt options...]: the missing packages; 0 when apt-get succeeded
  "${apt[@]}" install -y -qq --no-install-recommends "$@" "${missing[@]}" >"$log" 2>&1
}

if ! install; then
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  echo "setup: the install failed ($(apt_error));" \
    "trying once more with the target release pinned to ${codename:-?}, so that both architectures" \
    "take their versions from the same suite"
  if [ -z "$codename" ] || ! install -t "$codename"; then
    mapfile -t still < <(missing_packages)
    echo "setup: FAILED: could not install ${still[*]:-${missing[*]}}: $(apt_error)" >&2
    exit 1
  fi
fi
mapfile -t still < <(missing_packages)
if [ ${#still[@]} -gt 0 ]; then
  echo "setup: FAILED: apt-get succeeded but these packages are not installed: ${still[*]}" >&2
  exit 1
fi
finish
echo "setup: ready"
