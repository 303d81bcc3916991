# The man page's check (ctest xpfs_manpage): groff reads it without a warning, and every command
# that "xpfs --help" lists has its place in it (a subsection ".SS "cmd ..." for a command, the
# words "path sub" for a subcommand of a group).
#   cmake -DXPFS=<program> -DPAGE=<xpfs.1> -DGROFF=<groff> -P ManPageCheck.cmake
execute_process(COMMAND ${GROFF} -man -ww -z -Kutf8 ${PAGE}
                RESULT_VARIABLE status ERROR_VARIABLE warnings)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff warns about ${PAGE} (status ${status}):\n${warnings}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C LANGUAGE= ${XPFS} --help
                OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "xpfs --help failed (${status})")
endif()
file(READ ${PAGE} page)
string(REPLACE "\\-" "-" page "${page}")   # roff's \- is the minus of option and command names
string(REGEX MATCHALL "\n  xpfs [a-z][-a-z]*( [a-z][-a-z]*)?" commands "${help}")
list(LENGTH commands count)
if(count LESS 5)
  message(FATAL_ERROR "xpfs --help lists only ${count} commands:\n${help}")
endif()
set(missing "")
foreach(line ${commands})
  string(REGEX REPLACE "^\n  xpfs " "" words "${line}")
  string(REPLACE " " ";" words "${words}")
  list(GET words 0 command)
  # A group's subcommand: "xpfs path split PATH..." (the second word is lower case); a command's
  # operands never start with a lower-case word in the usage lines.
  list(LENGTH words n)
  if(n GREATER 1)
    list(GET words 1 sub)
    string(FIND "${page}" "path ${sub} " at)
    string(FIND "${page}" "\"${command} ${sub} " at2)
    if(at EQUAL -1 AND at2 EQUAL -1)
      list(APPEND missing "${command} ${sub}")
    endif()
  else()
    if(NOT page MATCHES "\n\\.SS \"${command}[ \"]")
      list(APPEND missing "${command}")
    endif()
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "${PAGE} does not describe: ${missing}")
endif()
message(STATUS "${PAGE}: no groff warning, all ${count} commands described")
