# cmake -DEXAMPLES=<examples folder> -DLIST=<examples.dox> -P check_examples.cmake
# Fails when a program of the examples folder has no \example entry on the API reference's
# examples page, so a new example cannot be left out of it.
file(GLOB_RECURSE programs RELATIVE ${EXAMPLES} ${EXAMPLES}/*.cpp ${EXAMPLES}/*/CMakeLists.txt)
file(READ ${LIST} text)
set(missing)
foreach(program ${programs})
  string(FIND "${text}" "\\example ${program}\n" at)
  if(at EQUAL -1)
    list(APPEND missing ${program})
  endif()
endforeach()
if(missing)
  list(JOIN missing ", " missing)
  message(FATAL_ERROR "${LIST} has no \\example for: ${missing}")
endif()
