#!/usr/bin/env bash
# Registry cleanup against Wine's real registry.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/registry.sh"

# expect_registry_lines CODE...: the registry section, one code per entry in table order.
expect_registry_lines() {
  local lines=() i=0 code
  for code in "$@"; do
    lines+=("${REGISTRY_ENTRIES[$i]} -> $code")
    i=$((i + 1))
  done
  expect_section 3 "${lines[@]}"
}

case_all_twelve_go_neighbours_stay_and_a_second_run_finds_nothing() {
  seed_registry
  local entry
  for entry in "${REGISTRY_ENTRIES[@]}"; do registry_has "$entry" || fail "seeding missed $entry"; done
  run_tool
  expect_rc 0
  expect_registry_lines 0 0 0 0 0 0 0 0 0 0 0 0
  for entry in "${REGISTRY_ENTRIES[@]}"; do ! registry_has "$entry" || fail "still there: $entry"; done
  for entry in "${REGISTRY_NEIGHBOURS[@]}"; do registry_has "$entry" || fail "neighbour gone: $entry"; done
  run_tool
  expect_rc 0
  # What Wine answers for entries that are gone: 2 (not found) for keys and values alike.
  expect_registry_lines 2 2 2 2 2 2 2 2 2 2 2 2
}

case_vendor_key_with_an_unknown_subkey_is_refused_and_stays() {
  seed_registry 'HKEY_CURRENT_USER\Software\Velmirant\unknown'
  run_tool
  expect_rc 0
  # RegDeleteKeyA deletes no key that still has subkeys: 5 (access denied).
  expect_registry_lines 0 0 0 0 0 0 0 0 0 5 0 0
  registry_has 'HKEY_CURRENT_USER\Software\Velmirant\unknown' || fail "the unknown subkey is gone"
  ! registry_has 'HKEY_CURRENT_USER\Software\Velmirant\vexpp' || fail "vexpp is still there"
}

case_nothing_present_still_gives_twelve_lines() {
  run_tool
  expect_rc 0
  expect_registry_lines 2 2 2 2 2 2 2 2 2 2 2 2
}

run_cases
