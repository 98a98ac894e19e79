# SPDX-License-Identifier: MIT
# Turns `ctest --show-only=json-v1` of the cross build into the test machine's
# list: one line per test, "name<TAB>program<TAB>argument...", where program
# is the build's own binary (the emulator CTest puts in front is dropped).
# Tests that run a host program (a script driver) stay on the host.
#   cmake -DJSON=tests.json -DBUILD_DIR=/abs/build/ppc -DOUT=tests.tsv -P tests-list.cmake
file(READ ${JSON} json)
string(JSON count LENGTH ${json} tests)
set(lines "")
if(count GREATER 0)
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON name GET ${json} tests ${i} name)
    string(JSON words LENGTH ${json} tests ${i} command)
    math(EXPR last_word "${words} - 1")
    set(line "")
    foreach(w RANGE ${last_word})
      string(JSON word GET ${json} tests ${i} command ${w})
      string(FIND "${word}" "${BUILD_DIR}/" at)
      if(line)
        string(APPEND line "\t${word}")
      elseif(at EQUAL 0)
        set(line "${name}\t${word}")
      endif()
    endforeach()
    if(line)
      string(APPEND lines "${line}\n")
    else()
      message("not for the machine (runs no program of the build): ${name}")
    endif()
  endforeach()
endif()
file(WRITE ${OUT} "${lines}")
