# End-to-end tests: the real executable under 64-bit Wine, against throwaway prefixes.
add_executable(e2e-sleeper tests/e2e/sleeper.cpp)
target_link_options(e2e-sleeper PRIVATE -static -municode)

# The floor program `make bench` compares the tool with.
add_executable(bench-floor tests/bench/floor.cpp)
target_compile_definitions(bench-floor PRIVATE _WIN32_WINNT=0x0600 WIN32_LEAN_AND_MEAN)
target_compile_options(bench-floor PRIVATE -Os)
target_link_options(bench-floor PRIVATE -static -s)
target_link_libraries(bench-floor PRIVATE shell32 ole32 advapi32)

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

# The demo checks its own after view; it must pass with the tool and fail with a program that
# cleans nothing (Wine's hostname.exe).
set(DEMO_ENV "WINE=${CMAKE_CROSSCOMPILING_EMULATOR};SLEEPER=$<TARGET_FILE:e2e-sleeper>;PREFIX_TEMPLATE=${E2E_PREFIX_TEMPLATE};E2E_TMP=${CMAKE_BINARY_DIR}/e2e-tmp;DEMO_KEEP=0")
add_test(NAME e2e.demo COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/demo.sh)
set_tests_properties(e2e.demo PROPERTIES FIXTURES_REQUIRED wine_prefix
  ENVIRONMENT "${DEMO_ENV};TOOL=$<TARGET_FILE:velmirant-cleanup>;DEMO_DIR=${CMAKE_BINARY_DIR}/e2e-tmp/demo")
add_test(NAME e2e.demo_detects_a_failed_cleanup COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/demo.sh)
set_tests_properties(e2e.demo_detects_a_failed_cleanup PROPERTIES FIXTURES_REQUIRED wine_prefix
  PASS_REGULAR_EXPRESSION "NOT AS EXPECTED: 18 item"
  ENVIRONMENT "${DEMO_ENV};TOOL=hostname.exe;DEMO_DIR=${CMAKE_BINARY_DIR}/e2e-tmp/demo-failing")
