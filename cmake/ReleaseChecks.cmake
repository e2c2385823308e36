# Static checks of the 32-bit release, read with pefile (Debian's python3-pefile), and its
# signing by `make dist`.
# Debian's own interpreter: one found earlier on PATH (a pyenv one, say) does not see Debian's modules.
find_program(RELEASE_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
execute_process(COMMAND ${RELEASE_PYTHON} -c "import pefile" RESULT_VARIABLE pefile_missing OUTPUT_QUIET ERROR_QUIET)
if(pefile_missing)
  message(FATAL_ERROR "${RELEASE_PYTHON} cannot import pefile: install python3-pefile (scripts/setup.sh does)")
endif()
set(CHECK ${CMAKE_SOURCE_DIR}/tests/release/check_release.py)
set(TOOL_EXE $<TARGET_FILE:velmirant-cleanup>)
foreach(check header manifest resources size)
  add_test(NAME release.${check} COMMAND ${RELEASE_PYTHON} ${CHECK} ${TOOL_EXE} ${check})
endforeach()
add_test(NAME release.imports COMMAND ${RELEASE_PYTHON} ${CHECK} ${TOOL_EXE} imports
  ${CMAKE_SOURCE_DIR}/tests/release/imports.txt)
add_test(NAME release.version COMMAND ${RELEASE_PYTHON} ${CHECK} ${TOOL_EXE} version ${PROJECT_VERSION})
add_test(NAME release.reproducible COMMAND bash ${CMAKE_SOURCE_DIR}/tests/release/reproducible.sh ${CMAKE_SOURCE_DIR}
  ${TOOL_EXE})
# scripts/dist.sh signs a copy of the release with a throwaway certificate; the signed copy must
# pass the checks above and run under Wine with the same report as the unsigned one.
add_test(NAME release.signing COMMAND bash ${CMAKE_SOURCE_DIR}/tests/release/signing.sh ${CMAKE_SOURCE_DIR}
  ${TOOL_EXE} ${PROJECT_VERSION} ${RELEASE_PYTHON} ${CMAKE_CROSSCOMPILING_EMULATOR} ${CMAKE_BINARY_DIR}/e2e-prefix)
set_tests_properties(release.signing PROPERTIES FIXTURES_REQUIRED wine_prefix)
