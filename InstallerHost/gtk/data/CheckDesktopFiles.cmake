# One step of the check of the desktop files, run by ctest as `cmake -DCHECK=... -P`. The first
# installs COMPONENT installer-gtk of the build into a prefix of its own, once for all the checks
# (a CTest fixture), and the last removes it again, also when a check failed:
#   install          cmake --install into PREFIX
#   installed-paths  each file lies where desktops look for it
#   desktop-entry    desktop-file-validate has nothing to say about the entry, not even a hint
#   metainfo         appstreamcli validates the metainfo, and the installed tree (entry, icon) with it
#   icon-sizes       the PNGs are 48 and 128 px square, as their folders say
#   release          the metainfo has a release entry for the project's version
#   cleanup          PREFIX removed
cmake_minimum_required(VERSION 3.25)

set(failure "")
if(CHECK STREQUAL "install")
  file(REMOVE_RECURSE ${PREFIX})
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --component installer-gtk --prefix ${PREFIX}
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cmake --install failed:\n${output}")
  endif()
  return()
elseif(CHECK STREQUAL "cleanup")
  file(REMOVE_RECURSE ${PREFIX})
  return()
endif()

set(data ${PREFIX}/${DATADIR})
set(entry ${data}/applications/${APP_ID}.desktop)
set(metainfo ${data}/metainfo/${APP_ID}.metainfo.xml)

function(run_tool what)
  if(NOT ${what})
    set(failure "${what} was not found (scripts/deps.sh installs it)" PARENT_SCOPE)
    return()
  endif()
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(tool_status ${status} PARENT_SCOPE)
  set(tool_output "${output}" PARENT_SCOPE)
endfunction()

if(CHECK STREQUAL "installed-paths")
  foreach(file ${entry} ${metainfo} ${data}/icons/hicolor/scalable/apps/${APP_ID}.svg
               ${data}/icons/hicolor/48x48/apps/${APP_ID}.png ${data}/icons/hicolor/128x128/apps/${APP_ID}.png)
    if(NOT EXISTS ${file})
      string(APPEND failure "not installed: ${file}\n")
    endif()
  endforeach()
elseif(CHECK STREQUAL "desktop-entry")
  run_tool(DESKTOP_FILE_VALIDATE ${DESKTOP_FILE_VALIDATE} ${entry})
  if(NOT failure AND (NOT tool_status EQUAL 0 OR NOT tool_output STREQUAL ""))
    set(failure "desktop-file-validate ${entry} (status ${tool_status}):\n${tool_output}")
  endif()
elseif(CHECK STREQUAL "metainfo")
  run_tool(APPSTREAMCLI ${APPSTREAMCLI} validate --no-net --no-color ${metainfo})
  if(NOT failure AND NOT tool_status EQUAL 0)
    set(failure "appstreamcli validate --no-net ${metainfo} (status ${tool_status}):\n${tool_output}")
  endif()
  if(NOT failure)
    run_tool(APPSTREAMCLI ${APPSTREAMCLI} validate-tree --no-net --no-color ${PREFIX})
    if(NOT tool_status EQUAL 0)
      set(failure "appstreamcli validate-tree --no-net ${PREFIX} (status ${tool_status}):\n${tool_output}")
    endif()
  endif()
elseif(CHECK STREQUAL "icon-sizes")
  foreach(size 48 128)
    set(png ${data}/icons/hicolor/${size}x${size}/apps/${APP_ID}.png)
    # A PNG begins with its 8-byte signature and the IHDR chunk: length, type, width, height.
    file(READ ${png} header OFFSET 0 LIMIT 24 HEX)
    string(SUBSTRING "${header}" 0 16 signature)
    string(SUBSTRING "${header}" 32 16 dimensions)
    math(EXPR hex_size "${size}" OUTPUT_FORMAT HEXADECIMAL)
    string(REPLACE "0x" "" hex_size ${hex_size})
    string(LENGTH ${hex_size} digits)
    math(EXPR pad "8 - ${digits}")
    string(REPEAT "0" ${pad} zeros)
    string(TOLOWER "${zeros}${hex_size}${zeros}${hex_size}" expected)
    if(NOT signature STREQUAL "89504e470d0a1a0a" OR NOT dimensions STREQUAL expected)
      string(APPEND failure "${png}: not a ${size}x${size} PNG (header ${header})\n")
    endif()
  endforeach()
elseif(CHECK STREQUAL "release")
  file(READ ${metainfo} text)
  if(NOT text MATCHES "<release version=\"${VERSION}\" date=\"[0-9]+-[0-9]+-[0-9]+\"")
    set(failure "${metainfo} has no release entry for version ${VERSION}")
  endif()
else()
  set(failure "unknown check ${CHECK}")
endif()

if(failure)
  message(FATAL_ERROR "${failure}")
endif()
