# End-to-end tests: the real executable under Wine, against throwaway prefixes. The same cases run
# the 32-bit release under 32-bit Wine in a WoW64 prefix (win32 preset) and the x86_64 build under
# 64-bit Wine (win64 preset). `make test` runs the release's; the x86_64 build's serve `make bench`
# and a look at what only a 64-bit build would show.
add_executable(e2e-sleeper tests/e2e/sleeper.cpp)
target_link_options(e2e-sleeper PRIVATE -static -municode)
# Copied beside the tool under system DLL names: it marks every load.
add_library(e2e-planted SHARED tests/e2e/planted.cpp)
set_target_properties(e2e-planted PROPERTIES PREFIX "")
target_link_options(e2e-planted PRIVATE -static -s -Wl,--kill-at)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(E2E_BITS 32)
  # The WoW64 cases also end a 64-bit program; this toolchain builds only 32-bit ones.
  set(SLEEPER64 ${CMAKE_BINARY_DIR}/e2e-sleeper64.exe)
  add_custom_command(OUTPUT ${SLEEPER64}
    COMMAND x86_64-w64-mingw32-g++ -Wall -Wextra -Werror -Os -s -static -municode
      -o ${SLEEPER64} ${CMAKE_SOURCE_DIR}/tests/e2e/sleeper.cpp
    DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/sleeper.cpp VERBATIM)
  add_custom_target(e2e-sleeper64 ALL DEPENDS ${SLEEPER64})
else()
  set(E2E_BITS 64)
  set(SLEEPER64 $<TARGET_FILE:e2e-sleeper>)
endif()

# The platform layer's file calls that only Windows file systems send the tool down, run for real.
add_executable(e2e-platform-check tests/e2e/platform_check.cpp src/platform/win32_platform.cpp
  src/platform/win32_files.cpp src/platform/win32_listing.cpp src/platform/paths.cpp)
target_include_directories(e2e-platform-check PRIVATE src)
target_compile_definitions(e2e-platform-check PRIVATE _WIN32_WINNT=0x0600 WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_options(e2e-platform-check PRIVATE -static -municode)

# The self-check kit's test double (a tool that fails in ways the kit must see), and a kit built
# for the tests only that runs the double, and only it: the shipped kit has no way to run another.
add_executable(e2e-cleanup-double tests/e2e/cleanup_double.cpp)
target_link_options(e2e-cleanup-double PRIVATE -static -s -municode)
add_selfcheck(e2e-selfcheck-double e2e-cleanup-double)

# The floor program `make bench` compares the tool with.
add_executable(bench-floor tests/bench/floor.cpp)
target_compile_definitions(bench-floor PRIVATE _WIN32_WINNT=0x0600 WIN32_LEAN_AND_MEAN)
target_compile_options(bench-floor PRIVATE -Os)
target_link_options(bench-floor PRIVATE -static -s)
target_link_libraries(bench-floor PRIVATE shell32 ole32 advapi32)
# And the removals it sets the tool's beside: no checks at all, and the C++ library's.
foreach(program minimal_removal remove_all)
  string(REPLACE "_" "-" target bench-${program})
  add_executable(${target} tests/bench/${program}.cpp)
  target_compile_options(${target} PRIVATE -Os)
  target_link_options(${target} PRIVATE -static -s -municode)
endforeach()

# Every case runs under two Wines, each with prefixes of its own (a prefix made by one breaks the
# other): the host's Wine 8 (names e2e.*) and Debian 13's Wine 10 in the root scripts/wine10.sh
# makes (names e2e-wine10.*). Wine 8 stands for Vista to Windows 10 1511 and the file systems
# without POSIX deletion, elevated; Wine 10 for Windows 10 1607 and later, as a standard user.
file(GLOB E2E_SCRIPTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/test_*.sh)
if(E2E_BITS EQUAL 32)
  # Only where a 32-bit tool meets a 64-bit system.
  list(APPEND E2E_SCRIPTS ${CMAKE_SOURCE_DIR}/tests/e2e/wow64.sh)
endif()

# add_e2e_test(NAME SCRIPT EXTRA_ENV): one test of add_e2e_suite's, with its launcher, fixture and
# environment.
macro(add_e2e_test test script extra_env)
  add_test(NAME ${test} COMMAND ${launcher} bash ${script})
  set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED ${fixture}
    ENVIRONMENT "${env};TOOL=$<TARGET_FILE:velmirant-cleanup>;${extra_env}")
endmacro()

# add_e2e_suite(PREFIX SUFFIX LAUNCHER...): every case as PREFIX.NAME, in prefixes made from the
# template e2e-prefixSUFFIX, each command started through LAUNCHER (empty: on the host).
function(add_e2e_suite prefix suffix)
  set(launcher ${ARGN})
  set(template ${CMAKE_BINARY_DIR}/e2e-prefix${suffix})
  set(tmp ${CMAKE_BINARY_DIR}/e2e-tmp${suffix})
  set(fixture wine_prefix${suffix})
  set(env "WINE=${CMAKE_CROSSCOMPILING_EMULATOR};E2E_BITS=${E2E_BITS};SLEEPER=$<TARGET_FILE:e2e-sleeper>;SLEEPER64=${SLEEPER64};PLANTED_DLL=$<TARGET_FILE:e2e-planted>;PLATFORM_CHECK=$<TARGET_FILE:e2e-platform-check>;SELFCHECK=$<TARGET_FILE:velmirant-selfcheck>;SELFCHECK_DOUBLE=$<TARGET_FILE:e2e-selfcheck-double>;CLEANUP_DOUBLE=$<TARGET_FILE:e2e-cleanup-double>;PREFIX_TEMPLATE=${template};E2E_TMP=${tmp};ROOT_BIND=${CMAKE_BINARY_DIR}")

  add_test(NAME ${prefix}.prefix COMMAND ${launcher} bash ${CMAKE_SOURCE_DIR}/tests/e2e/make_prefix.sh ${template})
  set_tests_properties(${prefix}.prefix PROPERTIES FIXTURES_SETUP ${fixture}
    ENVIRONMENT "E2E_BITS=${E2E_BITS};ROOT_BIND=${CMAKE_BINARY_DIR}")

  foreach(script IN LISTS E2E_SCRIPTS)
    get_filename_component(name ${script} NAME_WE)
    string(REGEX REPLACE "^test_" "" name ${name})
    if(name STREQUAL "selfcheck")
      # The self-check's cases take the longest by far: one test each, so that CTest runs them side by side.
      file(STRINGS ${script} kit_cases REGEX "^case_[a-z0-9_]+\\(\\)")
      foreach(kit_case IN LISTS kit_cases)
        string(REGEX REPLACE "^(case_[a-z0-9_]+).*" "\\1" kit_case "${kit_case}")
        add_e2e_test(${prefix}.selfcheck.${kit_case} ${script} "E2E_CASE=${kit_case}")
      endforeach()
    else()
      add_e2e_test(${prefix}.${name} ${script} "")
    endif()
  endforeach()
  # The swap case races a Unix process against the tool. Under Wine a file is deleted at its handle's
  # close by name (stat, then unlink), and a parent swapped for a link between the two sends the
  # unlink outside; no check on the Windows side reaches that window. The load of other cases beside
  # it (a descheduled wineserver) widens it, so the case runs alone.
  set_tests_properties(${prefix}.hardening PROPERTIES RUN_SERIAL TRUE)

  # The demo checks its own after view; it must pass with the tool and fail with a program that
  # cleans nothing (Wine's hostname.exe). Under Wine 8 only, where `make demo` runs it.
  if(NOT suffix STREQUAL "")
    return()
  endif()
  add_test(NAME ${prefix}.demo COMMAND ${launcher} bash ${CMAKE_SOURCE_DIR}/scripts/demo.sh)
  set_tests_properties(${prefix}.demo PROPERTIES FIXTURES_REQUIRED ${fixture}
    ENVIRONMENT "${env};DEMO_KEEP=0;TOOL=$<TARGET_FILE:velmirant-cleanup>;DEMO_DIR=${tmp}/demo")
  add_test(NAME ${prefix}.demo_detects_a_failed_cleanup COMMAND ${launcher} bash ${CMAKE_SOURCE_DIR}/scripts/demo.sh)
  set_tests_properties(${prefix}.demo_detects_a_failed_cleanup PROPERTIES FIXTURES_REQUIRED ${fixture}
    PASS_REGULAR_EXPRESSION "NOT AS EXPECTED: 18 item"
    ENVIRONMENT "${env};DEMO_KEEP=0;TOOL=hostname.exe;DEMO_DIR=${tmp}/demo-failing")
endfunction()

# The release's Wine 8 cases start through scripts/wine8.sh: on the host, or, where the kernel runs
# no 32-bit programs, in a Debian 12 root under qemu-i386.
if(E2E_BITS EQUAL 32)
  set(WINE8_LAUNCHER bash ${CMAKE_SOURCE_DIR}/scripts/wine8.sh run)
endif()
add_e2e_suite(e2e "" ${WINE8_LAUNCHER})
add_e2e_suite(e2e-wine10 -wine10 bash ${CMAKE_SOURCE_DIR}/scripts/wine10.sh run)
