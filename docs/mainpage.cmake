# cmake -DREADME=<README.md> -DOUT=<mainpage.md> -P mainpage.cmake
# Copies the README's "Using the library" section (its ### parts included) into the main page.
file(READ ${README} text)
string(FIND "${text}" "\n## Using the library\n" start)
if(start EQUAL -1)
  message(FATAL_ERROR "README.md has no '## Using the library' section")
endif()
math(EXPR start "${start} + 1")
string(SUBSTRING "${text}" ${start} -1 part)
string(SUBSTRING "${part}" 3 -1 rest)
string(FIND "${rest}" "\n## " end)
if(NOT end EQUAL -1)
  math(EXPR end "${end} + 4")
  string(SUBSTRING "${part}" 0 ${end} part)
endif()
string(REGEX REPLACE "^## Using the library\n" "" part "${part}")
# The sections become the page's own: one level up.
string(REGEX REPLACE "\n### " "\n## " part "${part}")
file(WRITE ${OUT} "# XpCommonLib {#mainpage}\n\n${part}")
