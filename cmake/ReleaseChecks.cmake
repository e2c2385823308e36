# Static checks of the 32-bit release: this machine cannot run it, so its image is read instead.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(CHECK ${CMAKE_SOURCE_DIR}/tests/release/check_release.py)
foreach(check header manifest resources size)
  add_test(NAME release.${check} COMMAND ${Python3_EXECUTABLE} ${CHECK} $<TARGET_FILE:velmirant-cleanup> ${check})
endforeach()
add_test(NAME release.imports COMMAND ${Python3_EXECUTABLE} ${CHECK} $<TARGET_FILE:velmirant-cleanup> imports
  ${CMAKE_SOURCE_DIR}/tests/release/imports.txt)
add_test(NAME release.reproducible COMMAND bash ${CMAKE_SOURCE_DIR}/tests/release/reproducible.sh ${CMAKE_SOURCE_DIR}
  $<TARGET_FILE:velmirant-cleanup>)
