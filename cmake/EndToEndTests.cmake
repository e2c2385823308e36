# End-to-end tests: the real executable under 64-bit Wine, against throwaway prefixes.
add_executable(e2e-sleeper tests/e2e/sleeper.cpp)
target_link_options(e2e-sleeper PRIVATE -static -municode)

set(E2E_PREFIX_TEMPLATE ${CMAKE_BINARY_DIR}/e2e-prefix)
add_test(NAME e2e.prefix
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/e2e/make_prefix.sh ${E2E_PREFIX_TEMPLATE})
set_tests_properties(e2e.prefix PROPERTIES FIXTURES_SETUP wine_prefix
  ENVIRONMENT "WINE=${CMAKE_CROSSCOMPILING_EMULATOR}")

file(GLOB E2E_SCRIPTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/test_*.sh)
foreach(script IN LISTS E2E_SCRIPTS)
  get_filename_component(name ${script} NAME_WE)
  string(REGEX REPLACE "^test_" "" name ${name})
  add_test(NAME e2e.${name} COMMAND bash ${script})
  set_tests_properties(e2e.${name} PROPERTIES
    FIXTURES_REQUIRED wine_prefix
    ENVIRONMENT "WINE=${CMAKE_CROSSCOMPILING_EMULATOR};TOOL=$<TARGET_FILE:velmirant-cleanup>;SLEEPER=$<TARGET_FILE:e2e-sleeper>;PREFIX_TEMPLATE=${E2E_PREFIX_TEMPLATE};E2E_TMP=${CMAKE_BINARY_DIR}/e2e-tmp")
endforeach()
