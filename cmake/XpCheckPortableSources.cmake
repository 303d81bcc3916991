# Fails when a portable source of the library includes a platform header.
#
# The portable sources are every .cpp and .h directly in SOURCE_DIR/src (what lies in src/linux/ or
# any other subfolder is a platform half and may include what it needs). They may include:
#   - the C++ standard library, the C headers it carries (<cstdio>, <stdio.h>, ...);
#   - ICU (<unicode/...>);
#   - the library's public headers (SOURCE_DIR/include, also as <XpCommonLib/...>);
#   - the internal headers beside them in src/ ("_XpFileSub.h"), none of them named *_Linux.h.
# Anything else (<unistd.h>, <sys/...>, <linux/...>, <pthread.h>, <strings.h>, a header of
# src/linux/, ...) is a platform header: the portable file is to call a function declared in an
# internal header of src/ and implemented in the platform's folder instead.
#
# Run by ctest as `cmake -DSOURCE_DIR=.../XpCommonLib -P XpCheckPortableSources.cmake`. The list of
# files is read from the folder each time, so a new file is checked without any edit here.
# KNOWN_EXCEPTIONS may name files (relative to SOURCE_DIR, e.g. src/XpFileCopy.cpp) whose platform
# includes are reported but tolerated while their rewrite is under way; an exception no longer
# needed is reported too, so that it is taken out.
cmake_minimum_required(VERSION 3.25)
if(NOT IS_DIRECTORY "${SOURCE_DIR}/src")
  message(FATAL_ERROR "portable-sources check: no folder ${SOURCE_DIR}/src")
endif()

set(standard_headers
  # C++17, and the later ones a newer compiler may be given
  algorithm any array atomic bit bitset charconv chrono codecvt compare complex concepts
  condition_variable deque exception execution filesystem format forward_list fstream functional
  future initializer_list iomanip ios iosfwd iostream istream iterator limits list locale map memory
  memory_resource mutex new numbers numeric optional ostream queue random ranges ratio regex
  scoped_allocator set shared_mutex source_location span sstream stack stdexcept streambuf string
  string_view strstream system_error thread tuple type_traits typeindex typeinfo unordered_map
  unordered_set utility valarray variant vector version
  cassert ccomplex cctype cerrno cfenv cfloat cinttypes ciso646 climits clocale cmath csetjmp
  csignal cstdalign cstdarg cstdbool cstddef cstdint cstdio cstdlib cstring ctgmath ctime cuchar
  cwchar cwctype
  # the C library's standard headers, which C++ keeps
  assert.h complex.h ctype.h errno.h fenv.h float.h inttypes.h iso646.h limits.h locale.h math.h
  setjmp.h signal.h stdalign.h stdarg.h stdbool.h stddef.h stdint.h stdio.h stdlib.h string.h
  tgmath.h time.h uchar.h wchar.h wctype.h)

file(GLOB portable "${SOURCE_DIR}/src/*.cpp" "${SOURCE_DIR}/src/*.h")
list(SORT portable)
set(failures "")
set(excused "")
foreach(path IN LISTS portable)
  file(READ "${path}" text)
  # One list element per line; characters that mean something to CMake lists are neutralized.
  string(REGEX REPLACE "[][;\\\\]" "_" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  file(RELATIVE_PATH shown "${SOURCE_DIR}" "${path}")
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(NOT line MATCHES "^[ \t]*#[ \t]*include")
      continue()
    endif()
    set(allowed FALSE)
    if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*<([^>]+)>")
      set(name "${CMAKE_MATCH_1}")
      string(REGEX REPLACE "^XpCommonLib/" "" public "${name}")
      if(name IN_LIST standard_headers OR name MATCHES "^unicode/[A-Za-z0-9_]+\\.h$"
         OR (NOT public MATCHES "/" AND EXISTS "${SOURCE_DIR}/include/${public}"))
        set(allowed TRUE)
      endif()
    elseif(line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\"")
      set(name "${CMAKE_MATCH_1}")
      if(NOT name MATCHES "/" AND NOT name MATCHES "_Linux\\.h$"
         AND (EXISTS "${SOURCE_DIR}/src/${name}" OR EXISTS "${SOURCE_DIR}/include/${name}"))
        set(allowed TRUE)
      endif()
    endif()
    if(NOT allowed)
      string(STRIP "${line}" line)
      if(shown IN_LIST KNOWN_EXCEPTIONS)
        list(APPEND excused "${shown}")
        message(STATUS "known exception, still to be fixed: ${shown}:${number}: ${line}")
      else()
        string(APPEND failures "  ${shown}:${number}: ${line}\n")
      endif()
    endif()
  endforeach()
endforeach()

foreach(shown IN LISTS KNOWN_EXCEPTIONS)
  if(NOT shown IN_LIST excused)
    message(WARNING "${shown} includes no platform header any more: take it out of the exceptions")
  endif()
endforeach()
list(LENGTH portable count)
if(count EQUAL 0)
  message(FATAL_ERROR "portable-sources check: no .cpp or .h in ${SOURCE_DIR}/src")
endif()
if(NOT failures STREQUAL "")
  message(FATAL_ERROR "Portable sources include platform headers; move those calls behind an "
    "internal header of src/ implemented in src/linux/:\n${failures}")
endif()
message(STATUS "${count} portable sources checked: no platform header outside the known exceptions")
