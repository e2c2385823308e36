#!/usr/bin/env bash
# The second Wine: Debian 13's Wine 10 in a Debian 13 root outside the checkout, beside the host's
# Wine 8. Wine 10 deletes with POSIX semantics and gives programs a standard user's token, as
# Windows 10 1607 and later do for most users; Wine 8 does neither.
#
#   wine10.sh setup          make the root (debootstrap, then Wine, what the suites call inside and
#                            make bench's hyperfine); quick when it is there already
#   wine10.sh run CMD...     run CMD inside the root, with /proc, /dev, the checkout and $WINE10_BIND
#                            (colon-separated folders) at their own paths
#   wine10.sh version        Wine's version inside the root
#
# The root is $WINE10_ROOT (default /var/lib/velmirant-cleanup/debian13). Every mount is made in a
# private mount namespace of the command it serves, so it ends with that command and its wineserver,
# also when they fail or are killed: none is ever seen from outside.
set -u
checkout=$(cd "$(dirname "$0")/.." && pwd)
root=${WINE10_ROOT:-/var/lib/velmirant-cleanup/debian13}
suite=trixie
# Written last by setup: what the root holds. A root without it is unfinished and made anew.
ready=$root/.velmirant-ready

packages=(wine wine64 python3)
if bash "$checkout/scripts/runs32.sh"; then packages+=(wine32:i386); fi
# make bench's timer. The suites do not need it, so it is added to a ready root in place: suites
# running in the root meanwhile (from another checkout, say) never find it unready.
bench_packages=(hyperfine)

say() { echo "wine10: $*"; }
die() { echo "wine10: FAILED: $*" >&2; exit 1; }

# The host's own mirror (the first Debian and Debian security addresses apt uses here).
mirror() {  # mirror debian|debian-security
  local uri
  uri=$(apt-get indextargets --format '$(REPO_URI)' 2>/dev/null | grep -m 1 -E "/$1/?\$")
  echo "${uri:-http://deb.debian.org/$1/}"
}

# in_root COMMAND...: COMMAND inside the root, in a mount namespace of its own.
in_root() {
  local binds=("$checkout") dir
  IFS=: read -r -a extra <<<"${WINE10_BIND:-}"
  for dir in "${extra[@]}"; do [ -n "$dir" ] && binds+=("$dir"); done
  # shellcheck disable=SC2016
  unshare --mount --propagation private bash -c '
    set -e
    root=$1; shift
    count=$1; shift
    mount --bind /proc "$root/proc"
    mount --rbind /dev "$root/dev"
    for ((i = 0; i < count; i++)); do
      mkdir -p "$root$1"
      mount --bind "$1" "$root$1"
      shift
    done
    exec chroot "$root" /usr/bin/env -u TMPDIR PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      HOME=/root "$@"' in_root "$root" "${#binds[@]}" "${binds[@]}" "$@"
}

# install_packages PACKAGE...: apt-get install inside the root; dies naming them when that fails.
install_packages() {
  local log
  log=$(mktemp)
  trap 'rm -f "${log:-}"' RETURN
  apt_error() { grep '^E: ' "$log" | tail -n 1 | grep . || tail -n 1 "$log"; }
  say "installing into the root: $*"
  local apt=(env DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::Retries=3)
  # As on the host: a mirror mid-sync fails single indexes; the install says whether the rest is enough.
  if ! in_root "${apt[@]}" update -qq >"$log" 2>&1; then
    say "apt-get update in the root reported failed index files, going on with what it fetched:" \
      "$(grep -m 1 -E '^[EW]: ' "$log" || tail -n 1 "$log")"
  fi
  if ! in_root "${apt[@]}" install -y -qq --no-install-recommends "$@" >"$log" 2>&1; then
    say "the install in the root failed ($(apt_error)); trying once more with the target release pinned to $suite"
    in_root "${apt[@]}" install -y -qq --no-install-recommends -t "$suite" "$@" >"$log" 2>&1 ||
      die "could not install $* into $root: $(apt_error)"
  fi
  in_root "${apt[@]}" clean >/dev/null 2>&1
}

setup() {
  command -v unshare >/dev/null && command -v chroot >/dev/null || die "unshare and chroot are needed"
  if [ -f "$ready" ] && [ "$(cat "$ready")" = "${packages[*]}" ]; then
    [ -x "$root/usr/bin/hyperfine" ] || install_packages "${bench_packages[@]}"
    return 0
  fi
  local log
  log=$(mktemp)
  trap 'rm -f "${log:-}"' RETURN
  if [ ! -x "$root/usr/bin/apt-get" ] || [ ! -f "$root/.debootstrap-done" ]; then
    say "making the Debian 13 root in $root (debootstrap, minbase, from $(mirror debian))"
    rm -rf "$root"
    mkdir -p "$root"
    if ! debootstrap --variant=minbase "$suite" "$root" "$(mirror debian)" >"$log" 2>&1; then
      rm -rf "$root"
      die "debootstrap of $suite failed: $(grep -E '^(E|W):' "$log" | tail -n 1 || tail -n 1 "$log")"
    fi
    touch "$root/.debootstrap-done"
  fi
  rm -f "$ready"
  {
    echo "deb $(mirror debian) $suite main"
    echo "deb $(mirror debian) $suite-updates main"
    echo "deb $(mirror debian-security) $suite-security main"
  } >"$root/etc/apt/sources.list"
  case " ${packages[*]} " in
    *:i386*) in_root dpkg --print-foreign-architectures | grep -qx i386 || in_root dpkg --add-architecture i386 ;;
  esac
  install_packages "${packages[@]}" "${bench_packages[@]}"
  local program
  for program in /usr/lib/wine/wine64 /usr/lib/wine/wineserver /usr/bin/python3 /usr/bin/hyperfine \
    $(case " ${packages[*]} " in *:i386*) echo /usr/lib/wine/wine ;; esac); do
    [ -x "$root$program" ] || die "installed, but $program is not in the root"
  done
  echo "${packages[*]}" >"$ready"
  say "ready: $(version)"
}

version() {
  in_root /usr/lib/wine/wine64 --version 2>/dev/null
}

case "${1:-}" in
  setup) setup ;;
  run)
    shift
    [ -f "$ready" ] || die "no Debian 13 root with Wine 10 in $root: run scripts/setup.sh"
    in_root "$@"
    ;;
  version) version ;;
  *) echo "usage: $0 setup | run COMMAND... | version" >&2; exit 2 ;;
esac
