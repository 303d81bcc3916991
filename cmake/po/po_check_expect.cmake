# cmake -DEXPECT=<regex, or "pass"> <po_check.cmake's -D arguments> -P po_check_expect.cmake
# The catalog check's own test: runs it on a prepared catalog and wants it to pass, or to fail
# with a message matching EXPECT.
set(args)
foreach(var DOMAIN PO_DIR SOURCES SOURCE_DIR KEYWORDS XGETTEXT MSGCMP MSGMERGE MSGATTRIB WORK)
  list(APPEND args "-D${var}=${${var}}")
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} ${args} -P ${CMAKE_CURRENT_LIST_DIR}/po_check.cmake
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(EXPECT STREQUAL "pass")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "the check failed on a complete catalog:\n${out}${err}")
  endif()
elseif(status EQUAL 0)
  message(FATAL_ERROR "the check passed, expected a failure matching '${EXPECT}':\n${out}${err}")
elseif(NOT err MATCHES "${EXPECT}")
  message(FATAL_ERROR "the check failed, but not with '${EXPECT}':\n${err}")
endif()
message(STATUS "as expected: ${EXPECT}")
