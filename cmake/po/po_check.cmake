# cmake -DDOMAIN=<domain> -DPO_DIR=<folder with LINGUAS and <lang>.po> -DSOURCES=<file listing the
#       sources, one a line, relative to SOURCE_DIR> -DSOURCE_DIR=... -DKEYWORDS=<k1|k2|...> -DXGETTEXT=... -DMSGCMP=... -DMSGMERGE=... -DMSGATTRIB=...
#       -DWORK=<scratch folder> -P po_check.cmake
# Fails (non-zero status) when a catalog named in LINGUAS is missing, has an untranslated or fuzzy
# entry, or lacks a text that the sources mark for translation. The texts are extracted afresh from
# the sources (not taken from a .pot the build may have made earlier), so a text added since the
# last `update-po` shows here as missing.
foreach(var DOMAIN PO_DIR SOURCES SOURCE_DIR KEYWORDS XGETTEXT MSGCMP MSGMERGE MSGATTRIB WORK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "po_check.cmake: -D${var}=... is missing")
  endif()
endforeach()

set(keyword_args --keyword=)   # none of xgettext's defaults: each catalog names its own marks
string(REPLACE "|" ";" KEYWORDS "${KEYWORDS}")
foreach(k ${KEYWORDS})
  list(APPEND keyword_args --keyword=${k})
endforeach()
file(MAKE_DIRECTORY ${WORK})
set(pot ${WORK}/${DOMAIN}.pot)
execute_process(
  COMMAND ${XGETTEXT} --language=C++ --from-code=UTF-8 --force-po --no-location ${keyword_args}
          --package-name=${DOMAIN} --directory=${SOURCE_DIR} --files-from=${SOURCES} -o ${pot}
  RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "xgettext failed for ${DOMAIN}: ${err}")
endif()

file(STRINGS ${PO_DIR}/LINGUAS linguas REGEX "^[^#]")
string(REGEX REPLACE "[ \t]+" ";" linguas "${linguas}")
list(FILTER linguas EXCLUDE REGEX "^$")
if(NOT linguas)
  message(FATAL_ERROR "${PO_DIR}/LINGUAS names no language")
endif()

# Appends to `problems` one line for each untranslated or fuzzy entry of the catalog `po`.
function(list_unfinished po label)
  foreach(kind untranslated only-fuzzy)
    execute_process(COMMAND ${MSGATTRIB} --${kind} --no-obsolete --no-wrap ${po}
                    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT status EQUAL 0)
      string(APPEND problems "${label}: msgattrib failed: ${err}\n")
      continue()
    endif()
    # One entry a paragraph; the header (an empty msgid on one line) is not an entry. List
    # separators and brackets in the texts must not cut the list of entries.
    string(REPLACE ";" "<semicolon>" out "${out}")
    string(REPLACE "[" "<open>" out "${out}")
    string(REPLACE "]" "<close>" out "${out}")
    string(REGEX REPLACE "\n\n+" ";" entries "${out}")
    string(REPLACE "only-fuzzy" "fuzzy" what ${kind})
    foreach(entry ${entries})
      if(NOT entry MATCHES "(^|\n)msgid ((\"[^\n]*\"\n)+)msgstr")
        continue()
      endif()
      set(id "${CMAKE_MATCH_2}")
      string(REGEX REPLACE "\"\n\"" "" id "${id}")
      string(STRIP "${id}" id)
      if(id STREQUAL "\"\"")
        continue()
      endif()
      string(REPLACE "<semicolon>" ";" id "${id}")
      string(REPLACE "<open>" "[" id "${id}")
      string(REPLACE "<close>" "]" id "${id}")
      string(APPEND problems "${label}: ${what}: ${id}\n")
    endforeach()
  endforeach()
  set(problems "${problems}" PARENT_SCOPE)
endfunction()

set(problems "")
foreach(lang ${linguas})
  set(po ${PO_DIR}/${lang}.po)
  if(NOT EXISTS ${po})
    string(APPEND problems "${DOMAIN}: LINGUAS names ${lang}, but there is no ${lang}.po\n")
    continue()
  endif()
  # The whole catalog, texts the sources no longer use included: nothing untranslated or fuzzy.
  list_unfinished(${po} "${DOMAIN} ${lang}.po")
  # Every marked text has a translated entry that is not fuzzy (msgcmp counts fuzzy and
  # untranslated entries as missing).
  execute_process(COMMAND ${MSGCMP} ${po} ${pot} RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(NOT status EQUAL 0)
    # Named through the catalog merged with the sources' texts, where a missing text shows as an
    # untranslated entry.
    set(merged ${WORK}/${lang}.merged.po)
    execute_process(COMMAND ${MSGMERGE} --quiet --no-fuzzy-matching -o ${merged} ${po} ${pot}
                    RESULT_VARIABLE status ERROR_VARIABLE err)
    string(APPEND problems "${DOMAIN} ${lang}.po does not translate every text the sources mark "
                           "(run the update-po target, then translate):\n")
    if(status EQUAL 0)
      list_unfinished(${merged} "  ${DOMAIN} ${lang}.po against the sources")
    else()
      string(APPEND problems "  msgmerge failed: ${err}\n")
    endif()
  endif()
endforeach()

if(problems)
  message(FATAL_ERROR "${problems}")
endif()
list(JOIN linguas " " shown)
message(STATUS "${DOMAIN}: every marked text is translated in ${shown}")
