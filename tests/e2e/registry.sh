#!/usr/bin/env bash
# Registry seeding for the end-to-end tests: everything the tool deletes, and the neighbours it
# must leave alone.

RUN_KEY='HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run'
APPROVED_KEY='HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run'
MACHINE_RUN_KEY='HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Run'

# The twelve entries as the report shows them, in report order.
REGISTRY_ENTRIES=(
  "$RUN_KEY|velmirant.software.autoupdate"
  "$RUN_KEY|velmirant.software.vexdesktop"
  "$APPROVED_KEY|velmirant.software.autoupdate"
  "$APPROVED_KEY|velmirant.software.vexdesktop"
  'HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Uninstall\VelmirantInstall'
  'HKEY_CURRENT_USER\Software\Google\Chrome\NativeMessagingHosts\vexpp_nm'
  'HKEY_CURRENT_USER\Software\Mozilla\NativeMessagingHosts\vexpp_nm'
  'HKEY_CURRENT_USER\Software\Velmirant\distribution'
  'HKEY_CURRENT_USER\Software\Velmirant\vexpp'
  'HKEY_CURRENT_USER\Software\Velmirant'
  'HKEY_CURRENT_USER\AppEvents\Schemes\Apps\vexdesktop'
  "$MACHINE_RUN_KEY|velmirant-panelino-distribuce"
)

# Seeding and queries go through 64-bit reg.exe: it reaches the same keys (entry 12's WOW6432Node by
# its literal path) and starts natively where 32-bit Wine runs under qemu-i386.

# Neighbours that share a key or a name with the targets.
REGISTRY_NEIGHBOURS=(
  "$RUN_KEY|OtherApp"
  "$APPROVED_KEY|OtherApp"
  "$MACHINE_RUN_KEY|OtherMachineApp"
  'HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Uninstall\OtherInstall'
  'HKEY_CURRENT_USER\Software\Google\Chrome\NativeMessagingHosts\com.other.host'
  'HKEY_CURRENT_USER\Software\Mozilla\NativeMessagingHosts\other_nm'
  'HKEY_CURRENT_USER\Software\VelmirantX'
  'HKEY_CURRENT_USER\AppEvents\Schemes\Apps\vexdesktop2'
)

# seed_registry [EXTRA_KEY...]: imports every target and neighbour (and the extra keys) in one go.
seed_registry() {
  local file=$CASE_DIR/seed.reg entry key value
  {
    printf 'REGEDIT4\r\n'
    for entry in "${REGISTRY_ENTRIES[@]}" "${REGISTRY_NEIGHBOURS[@]}" "$@"; do
      key=${entry%%|*}
      printf '\r\n[%s]\r\n' "$key"
      if [ "$key" != "$entry" ]; then
        value=${entry#*|}
        printf '"%s"="C:\\\\Program Files (x86)\\\\Velmirant\\\\%s.exe"\r\n' "$value" "$value"
      else
        printf '"Marker"="%s"\r\n' "${key##*\\}"
      fi
    done
  } >"$file"
  "$WINE64" reg import "Z:$file" >/dev/null 2>&1 || fail "reg import failed"
}

# registry_has ENTRY: the key, or the value (KEY|VALUE), exists. Only reg.exe's own "Unable to
# find" counts as absent: a query that did not run as it should (seen twice under load) is no answer,
# and is asked again, so that it can neither fake a deletion nor a seeding that failed.
registry_has() {
  local key=${1%%|*} args try rc answer=$CASE_DIR/reg-query.out
  args=(query "$key")
  [ "$key" = "$1" ] || args+=(/v "${1#*|}")
  for try in 1 2 3; do
    rc=0
    # reg.exe writes its messages to standard output.
    "$WINE64" reg "${args[@]}" >"$answer" 2>&1 </dev/null || rc=$?
    [ "$rc" -eq 0 ] && return 0
    [ "$rc" -eq 1 ] && grep -q "Unable to find" "$answer" && return 1
  done
  fail "reg query gave no answer for $1 (exit code $rc): $(tr '\n' ' ' <"$answer")"
}
