#!/usr/bin/env bash
# Debian roots outside the checkout that the end-to-end suites run in, and 32-bit programs on a
# kernel that runs none. Sourced by scripts/wine10.sh and scripts/wine8.sh.
#
# Where the kernel runs no 32-bit x86 programs (IA-32 emulation off), a root's commands run in a
# user namespace of their own whose binfmt_misc instance (one per user namespace since Linux 6.7)
# hands i386 programs to qemu-i386 from Debian 13's qemu-user, which the Debian 13 root holds.
# Wine's i386 loader then runs emulated, wineserver and 64-bit programs natively. Nothing is ever
# registered for the machine: the handler ends with the namespace. VELMIRANT_EMULATE_I386=1 takes
# this road on a kernel that does run 32-bit programs too (binfmt_misc handlers come before the
# kernel's own ELF loader), so both roads can be tried on one machine.
#
# Every mount is made in a private mount namespace of the command it serves, so it ends with that
# command and its wineserver, also when they fail or are killed: none is ever seen from outside.
set -u
checkout=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
roots=/var/lib/velmirant-cleanup
# qemu's own i386 ELF magic and mask (static and dynamic executables), as qemu-binfmt-conf.sh has it.
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
qemu_i386=${WINE10_ROOT:-$roots/debian13}/usr/bin/qemu-i386

say() { echo "$name: $*"; }
die() { echo "$name: FAILED: $*" >&2; exit 1; }

# Whether 32-bit programs need qemu here.
emulate_i386() {
  [ "${VELMIRANT_EMULATE_I386:-0}" = 1 ] || ! bash "$checkout/scripts/runs32.sh"
}

# Dies, saying why, where this kernel cannot give a user namespace its own binfmt_misc.
require_emulation() {
  local release major minor
  release=$(uname -r)
  IFS=. read -r major minor _ <<<"$release"
  if [ "${major:-0}" -lt 6 ] || { [ "$major" -eq 6 ] && [ "${minor%%[!0-9]*}" -lt 7 ]; }; then
    die "this kernel ($release) runs no 32-bit programs, and before Linux 6.7 binfmt_misc is" \
      "machine-wide, which set-up never touches: enable IA-32 emulation (ia32_emulation=1) or use Linux 6.7 or later"
  fi
}

# The host's own mirror (the first Debian and Debian security addresses apt uses here).
mirror() {  # mirror debian|debian-security
  local uri
  uri=$(apt-get indextargets --format '$(REPO_URI)' 2>/dev/null | grep -m 1 -E "/$1/?\$")
  echo "${uri:-http://deb.debian.org/$1/}"
}

# Run inside the new namespaces: $1 the qemu to register (empty: none), $2 the root, $3 the count
# of folders to bind, the folders, then the command.
# shellcheck disable=SC2016
root_body='
  set -e
  qemu=$1 root=$2 count=$3; shift 3
  if [ -n "$qemu" ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    # F: qemu is opened now, outside the root, so it serves inside it too.
    echo ":velmirant-i386:M::$I386_MAGIC:$I386_MASK:$qemu:F" >/proc/sys/fs/binfmt_misc/register
  fi
  # Recursive: a user namespace may not bind /proc without the mounts below it.
  mount --rbind /proc "$root/proc"
  mount --rbind /dev "$root/dev"
  for ((i = 0; i < count; i++)); do
    mkdir -p "$root$1"
    mount --bind "$1" "$root$1"
    shift
  done
  exec chroot "$root" /usr/bin/env -u TMPDIR PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root "$@"'

# in_root ROOT COMMAND...: COMMAND inside ROOT, with /proc, /dev, the checkout and $ROOT_BIND
# (colon-separated folders) at their own paths; with qemu-i386 registered where 32-bit programs
# need it and it is there.
in_root() {
  local root=$1 binds=("$checkout") dir extra
  shift
  IFS=: read -r -a extra <<<"${ROOT_BIND:-}"
  for dir in "${extra[@]}"; do [ -n "$dir" ] && binds+=("$dir"); done
  if ! emulate_i386 || [ ! -x "$qemu_i386" ]; then
    unshare --mount --propagation private bash -c "$root_body" in_root "" "$root" "${#binds[@]}" "${binds[@]}" "$@"
    return
  fi
  # A user namespace whose ids are the machine's own, one to one, so that apt's _apt sandbox and
  # dpkg's chowns work. Only a process outside may write the full map: the child waits for it.
  local pid
  I386_MAGIC=$i386_magic I386_MASK=$i386_mask unshare --user --mount --propagation private -- bash -c '
    until read -r _ </proc/self/gid_map; do sleep 0.01; done
    exec bash -c "$0" "$@"' "$root_body" in_root "$qemu_i386" "$root" "${#binds[@]}" "${binds[@]}" "$@" <&0 &
  pid=$!
  while [ "$(readlink "/proc/$pid/ns/user")" = "$(readlink /proc/self/ns/user)" ]; do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.01
  done
  echo '0 0 4294967295' >"/proc/$pid/uid_map" && echo '0 0 4294967295' >"/proc/$pid/gid_map" ||
    { kill "$pid" 2>/dev/null; wait "$pid"; die "could not map the user ids of the namespace for qemu-i386"; }
  wait "$pid"
}

# install_packages ROOT SUITE PACKAGE...: apt-get install inside ROOT; dies naming them when that fails.
install_packages() {
  local root=$1 suite=$2 log
  shift 2
  log=$(mktemp)
  trap 'rm -f "${log:-}"' RETURN
  apt_error() { grep '^E: ' "$log" | tail -n 1 | grep . || tail -n 1 "$log"; }
  say "installing into the root: $*"
  local apt=(env DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::Retries=3)
  # As on the host: a mirror mid-sync fails single indexes; the install says whether the rest is enough.
  if ! in_root "$root" "${apt[@]}" update -qq >"$log" 2>&1; then
    say "apt-get update in the root reported failed index files, going on with what it fetched:" \
      "$(grep -m 1 -E '^[EW]: ' "$log" || tail -n 1 "$log")"
  fi
  if ! in_root "$root" "${apt[@]}" install -y -qq --no-install-recommends "$@" >"$log" 2>&1; then
    say "the install in the root failed ($(apt_error)); trying once more with the target release pinned to $suite"
    in_root "$root" "${apt[@]}" install -y -qq --no-install-recommends -t "$suite" "$@" >"$log" 2>&1 ||
      die "could not install $* into $root: $(apt_error)"
  fi
  in_root "$root" "${apt[@]}" clean >/dev/null 2>&1
}

# make_root ROOT SUITE: debootstrap (minbase) when ROOT is not there or unfinished, and its sources.
make_root() {
  local root=$1 suite=$2 log
  command -v unshare >/dev/null && command -v chroot >/dev/null || die "unshare and chroot are needed"
  log=$(mktemp)
  trap 'rm -f "${log:-}"' RETURN
  if [ ! -x "$root/usr/bin/apt-get" ] || [ ! -f "$root/.debootstrap-done" ]; then
    say "making the Debian root in $root (debootstrap $suite, minbase, from $(mirror debian))"
    rm -rf "$root"
    mkdir -p "$root"
    if ! debootstrap --variant=minbase --arch=amd64 "$suite" "$root" "$(mirror debian)" >"$log" 2>&1; then
      rm -rf "$root"
      die "debootstrap of $suite failed: $(grep -E '^(E|W):' "$log" | tail -n 1 || tail -n 1 "$log")"
    fi
    touch "$root/.debootstrap-done"
  fi
  {
    echo "deb $(mirror debian) $suite main"
    echo "deb $(mirror debian) $suite-updates main"
    echo "deb $(mirror debian-security) $suite-security main"
  } >"$root/etc/apt/sources.list"
}

# add_i386 ROOT: the root takes i386 packages (their maintainer scripts need the emulation where
# the kernel has none, so qemu must be there first).
add_i386() {
  in_root "$1" dpkg --print-foreign-architectures | grep -qx i386 || in_root "$1" dpkg --add-architecture i386
}

# check_programs ROOT PROGRAM...: dies naming the first program the root lacks.
check_programs() {
  local root=$1 program
  shift
  for program in "$@"; do
    [ -x "$root$program" ] || die "installed, but $program is not in the root"
  done
}

# Whether $root holds $packages: its file $ready, written last by finish_root, names them.
root_ready() {
  [ -f "$ready" ] && [ "$(cat "$ready")" = "${packages[*]}" ]
}

# finish_root [PROGRAM...]: once Wine (64- and 32-bit), python3 and the PROGRAMs are in $root and
# 32-bit Wine starts there, the root is ready.
finish_root() {
  check_programs "$root" /usr/lib/wine/wine /usr/lib/wine/wine64 /usr/lib/wine/wineserver /usr/bin/python3 "$@"
  in_root "$root" /usr/lib/wine/wine --version >/dev/null 2>&1 || die "32-bit Wine does not start in the root"
  echo "${packages[*]}" >"$ready"
  say "ready: $(version)"
}
