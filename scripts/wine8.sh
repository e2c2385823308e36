#!/usr/bin/env bash
# Where the release's Wine 8 suites run. Where the kernel runs 32-bit programs that is the host,
# whose 32-bit Wine (wine32:i386) scripts/setup.sh installs. Elsewhere the host cannot start it,
# so they run in a Debian 12 root outside the checkout with the same Wine 8 (64- and 32-bit),
# whose i386 loader qemu-i386 runs (scripts/roots.sh).
#
#   wine8.sh setup           where needed, make the root (quick when it is there already)
#   wine8.sh run CMD...      run CMD there, with the checkout and $ROOT_BIND at their own paths
#   wine8.sh version         that Wine's version, and where it runs
#
# The root is $WINE8_ROOT (default /var/lib/velmirant-cleanup/debian12-i386).
name=wine8
. "$(dirname "$0")/roots.sh"
root=${WINE8_ROOT:-$roots/debian12-i386}
suite=bookworm
ready=$root/.velmirant-ready
packages=(wine wine64 python3 wine32:i386)

setup() {
  emulate_i386 || return 0
  root_ready && return 0
  require_emulation
  [ -x "$qemu_i386" ] || die "no qemu-i386 in the Debian 13 root: scripts/wine10.sh setup installs it"
  make_root "$root" "$suite"
  rm -f "$ready"
  add_i386 "$root"
  install_packages "$root" "$suite" "${packages[@]}"
  finish_root
}

version() {  # and where it runs
  if emulate_i386; then
    echo "$(in_root "$root" /usr/lib/wine/wine64 --version 2>/dev/null) in the Debian 12 root, its 32-bit programs under qemu-i386"
  else
    echo "$(/usr/lib/wine/wine64 --version 2>/dev/null) on the host (Debian 12)"
  fi
}

case "${1:-}" in
  setup) setup ;;
  run)
    shift
    emulate_i386 || exec "$@"
    [ -f "$ready" ] || die "no Debian 12 root with 32-bit Wine in $root: run scripts/setup.sh"
    in_root "$root" "$@"
    ;;
  version) version ;;
  *) echo "usage: $0 setup | run COMMAND... | version" >&2; exit 2 ;;
esac
