# The portable-sources check itself: on a small tree written into WORK_DIR it passes while the
# portable files include only what they may, and fails, naming file and line, for each planted
# platform include, in a .cpp as in a new .h. Run by ctest as
# `cmake -DCHECK=.../XpCheckPortableSources.cmake -DWORK_DIR=... -P XpCheckPortableSourcesTest.cmake`.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK_DIR}")
file(WRITE "${WORK_DIR}/include/XpPublic.h" "#pragma once\n")
file(WRITE "${WORK_DIR}/src/_XpInternal.h" "#pragma once\n#include <XpPublic.h>\n")
file(WRITE "${WORK_DIR}/src/linux/Module_Linux.h" "#pragma once\n#include <unistd.h>\n")
file(WRITE "${WORK_DIR}/src/linux/Module_Linux.cpp" "#include \"Module_Linux.h\"\n#include <sys/stat.h>\n")
set(clean "// a portable module\n#include <XpPublic.h>\n#include <XpCommonLib/XpPublic.h>\n"
  "#include \"_XpInternal.h\"\n\n#include <vector>\n#  include <cstdio>\n#include <string.h>\n"
  "#include <unicode/uchar.h>\n")
string(CONCAT clean ${clean})

function(run_check expect_ok what)
  execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${WORK_DIR} ${ARGN} -P ${CHECK}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(output "${out}${err}")
  if(expect_ok AND NOT status EQUAL 0)
    message(FATAL_ERROR "${what}: the check failed on a clean tree:\n${output}")
  endif()
  if(NOT expect_ok AND status EQUAL 0)
    message(FATAL_ERROR "${what}: the check passed:\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

file(WRITE "${WORK_DIR}/src/Module.cpp" "${clean}")
run_check(TRUE "clean tree")

# Each planted include: what the file gets, and the file:line the report must name.
set(planted
  "<unistd.h>" "<fcntl.h>" "<sys/stat.h>" "<linux/membarrier.h>" "<pthread.h>" "<dirent.h>"
  "<strings.h>" "<gtk/gtk.h>" "\"Module_Linux.h\"" "\"linux/Module_Linux.h\"" "\"_XpFd_Linux.h\""
  "<XpMissing.h>")
foreach(include IN LISTS planted)
  file(WRITE "${WORK_DIR}/src/Module.cpp" "${clean}#include ${include}\n")
  run_check(FALSE "${include} in Module.cpp")
  string(FIND "${output}" "src/Module.cpp:10: #include ${include}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${include}: the report does not name src/Module.cpp:10:\n${output}")
  endif()
endforeach()
file(WRITE "${WORK_DIR}/src/Module.cpp" "${clean}")

# A header added later is found without any list to update.
file(WRITE "${WORK_DIR}/src/_XpNew.h" "#pragma once\n#include <sys/types.h>\n")
run_check(FALSE "new header")
string(FIND "${output}" "src/_XpNew.h:2: #include <sys/types.h>" at)
if(at EQUAL -1)
  message(FATAL_ERROR "new header: the report does not name src/_XpNew.h:2:\n${output}")
endif()
# A known exception is tolerated, and reported.
run_check(TRUE "known exception" -DKNOWN_EXCEPTIONS=src/_XpNew.h)
string(FIND "${output}" "known exception, still to be fixed: src/_XpNew.h:2" at)
if(at EQUAL -1)
  message(FATAL_ERROR "known exception: not reported:\n${output}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
