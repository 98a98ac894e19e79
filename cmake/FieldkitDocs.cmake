# SPDX-License-Identifier: MIT
# The API reference: `docs` builds HTML and section 3 man pages from the public
# headers with Doxygen; an undocumented public name is an error. The man pages
# install beside the headers (component dev).
find_package(Doxygen REQUIRED)

set(FIELDKIT_DOCS_DIR ${PROJECT_BINARY_DIR}/docs)
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${FIELDKIT_DOCS_DIR}/Doxyfile @ONLY)

file(GLOB_RECURSE FIELDKIT_PUBLIC_HEADERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/fieldkit/*.h)
add_custom_command(
  OUTPUT ${FIELDKIT_DOCS_DIR}/html/index.html
  COMMAND ${CMAKE_COMMAND} -E remove_directory ${FIELDKIT_DOCS_DIR}/man
  COMMAND Doxygen::doxygen ${FIELDKIT_DOCS_DIR}/Doxyfile
  # Installed man pages are compressed, reproducibly (no name or time stamp).
  COMMAND sh -c "gzip -9nf '${FIELDKIT_DOCS_DIR}'/man/man3/*.3"
  DEPENDS ${FIELDKIT_PUBLIC_HEADERS} ${FIELDKIT_DOCS_DIR}/Doxyfile
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "API reference (HTML and man pages)")
add_custom_target(docs ALL DEPENDS ${FIELDKIT_DOCS_DIR}/html/index.html)

install(DIRECTORY ${FIELDKIT_DOCS_DIR}/man/man3/
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev
        FILES_MATCHING PATTERN "*.3.gz")
