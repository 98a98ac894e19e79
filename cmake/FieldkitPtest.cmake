# SPDX-License-Identifier: MIT
# FIELDKIT_INSTALL_TESTS: the test programs, the examples and run-ptest go to
# ${libdir}/fieldkit/ptest (Yocto's ptest layout; component `ptest`). run-ptest
# runs every program in its tests/ and examples/ folders.
if(NOT FIELDKIT_INSTALL_TESTS)
  return()
endif()
if(NOT BUILD_TESTING OR NOT FIELDKIT_BUILD_EXAMPLES)
  message(FATAL_ERROR "FIELDKIT_INSTALL_TESTS needs BUILD_TESTING and FIELDKIT_BUILD_EXAMPLES")
endif()

# The executables defined in a source folder and the folders below it.
function(fieldkit_executables_below dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  set(found "")
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      list(APPEND found ${target})
    endif()
  endforeach()
  foreach(subdir IN LISTS subdirs)
    fieldkit_executables_below(${subdir} below)
    list(APPEND found ${below})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

set(FIELDKIT_PTEST_DIR ${CMAKE_INSTALL_LIBDIR}/fieldkit/ptest)
foreach(kind IN ITEMS tests examples)
  fieldkit_executables_below(${PROJECT_SOURCE_DIR}/${kind} programs)
  install(TARGETS ${programs} RUNTIME DESTINATION ${FIELDKIT_PTEST_DIR}/${kind} COMPONENT ptest)
endforeach()
install(PROGRAMS packaging/ptest/run-ptest DESTINATION ${FIELDKIT_PTEST_DIR} COMPONENT ptest)
# The string tests replay the committed fuzz corpus; on the target it lies beside them.
install(DIRECTORY fuzz/corpus/jstring_fuzz DESTINATION ${FIELDKIT_PTEST_DIR}/data COMPONENT ptest)
