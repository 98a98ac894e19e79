# SPDX-License-Identifier: MIT
# Build flags shared by every target of the project (library, tests, examples, benchmarks).
add_compile_options(-Wall -Wextra)
if(FIELDKIT_WARNINGS_AS_ERRORS)
  add_compile_options(-Werror)
endif()

if(FIELDKIT_SANITIZE)
  add_compile_options(-fsanitize=${FIELDKIT_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${FIELDKIT_SANITIZE})
endif()

# The ABI that the SONAME promises is the exported API and nothing else.
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
