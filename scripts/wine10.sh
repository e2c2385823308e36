#!/usr/bin/env bash
# The second Wine: Debian 13's Wine 10 in a Debian 13 root outside the checkout, beside the host's
# Wine 8. Wine 10 deletes with POSIX semantics and gives programs a standard user's token, as
# Windows 10 1607 and later do for most users; Wine 8 does neither.
#
#   wine10.sh setup          make the root (debootstrap, then Wine with 32-bit Wine, what the suites
#                            call inside and make bench's hyperfine; where the kernel runs no 32-bit
#                            programs, qemu-user first); quick when it is there already
#   wine10.sh run CMD...     run CMD inside the root, with /proc, /dev, the checkout and $ROOT_BIND
#                            (colon-separated folders) at their own paths
#   wine10.sh version        Wine's version inside the root, and how it runs 32-bit programs
#
# The root is $WINE10_ROOT (default /var/lib/velmirant-cleanup/debian13); scripts/roots.sh says how
# commands run in it.
name=wine10
. "$(dirname "$0")/roots.sh"
root=${WINE10_ROOT:-$roots/debian13}
suite=trixie
# Written last by setup: what the root holds. A root without it is unfinished and made anew.
ready=$root/.velmirant-ready

packages=(wine wine64 python3 wine32:i386)
# Debian 13's qemu-user (static, 10.0): Debian 12's 7.2 takes about two minutes to start each
# 32-bit Wine process (it probes Wine's low address reservation 64 KiB at a time).
if emulate_i386; then packages+=(qemu-user); fi
# make bench's timer. The suites do not need it, so it is added to a ready root in place: suites
# running in the root meanwhile (from another checkout, say) never find it unready.
bench_packages=(hyperfine)

setup() {
  if root_ready; then
    [ -x "$root/usr/bin/hyperfine" ] || install_packages "$root" "$suite" "${bench_packages[@]}"
    return 0
  fi
  if emulate_i386; then require_emulation; fi
  make_root "$root" "$suite"
  rm -f "$ready"
  # qemu natively first: the i386 packages' maintainer scripts then run under it.
  if emulate_i386 && [ ! -x "$qemu_i386" ]; then
    install_packages "$root" "$suite" qemu-user
    check_programs "$root" /usr/bin/qemu-i386
  fi
  if emulate_i386; then
    in_root "$root" bash "$checkout/scripts/runs32.sh" ||
      die "a 32-bit program does not run under qemu-i386 in a user namespace of its own here (is binfmt_misc built into this kernel?)"
  fi
  add_i386 "$root"
  install_packages "$root" "$suite" "${packages[@]}" "${bench_packages[@]}"
  finish_root /usr/bin/hyperfine
}

version() {  # and where it runs
  echo "$(in_root "$root" /usr/lib/wine/wine64 --version 2>/dev/null) in the Debian 13 root$(emulate_i386 &&
    echo ", its 32-bit programs under qemu-i386")"
}

case "${1:-}" in
  setup) setup ;;
  run)
    shift
    [ -f "$ready" ] || die "no Debian 13 root with Wine 10 in $root: run scripts/setup.sh"
    in_root "$root" "$@"
    ;;
  version) version ;;
  *) echo "usage: $0 setup | run COMMAND... | version" >&2; exit 2 ;;
esac
