# The gettext catalogs: each text domain's po/ folder holds LINGUAS (the languages built and
# checked) and one <lang>.po per language.
#   - target `update-po`: extracts the marked texts of every domain with xgettext into
#     <build>/po/<domain>.pot (made by every build too) and merges them into each <lang>.po of the
#     source tree (msgmerge --update), so a translator sees what is new or changed (as fuzzy);
#   - test `catalog_<domain>`: fails when a catalog of LINGUAS has an untranslated or fuzzy entry,
#     or lacks a text the sources mark (see cmake/po/po_check.cmake).
# The marks are the ones the sources use: _() and N_() in the hosts' programs, InstallerText() and
# ::dgettext("installer-host", ...) in the session core, and the plug-in's catalog keys given to
# getLocalizedStringForKey, bundleLocalizedString and catalogText.
find_program(XGETTEXT_EXECUTABLE xgettext REQUIRED)
find_program(MSGMERGE_EXECUTABLE msgmerge REQUIRED)
find_program(MSGCMP_EXECUTABLE msgcmp REQUIRED)
find_program(MSGATTRIB_EXECUTABLE msgattrib REQUIRED)

# The languages a po/ folder's LINGUAS names (blanks or lines between them, # starts a comment).
function(xp_linguas out po_dir)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${po_dir}/LINGUAS)
  file(STRINGS ${po_dir}/LINGUAS lines REGEX "^[^#]")
  string(REGEX REPLACE "[ \t]+" ";" langs "${lines}")
  list(FILTER langs EXCLUDE REGEX "^$")
  set(${out} ${langs} PARENT_SCOPE)
endfunction()

add_custom_target(update-po)

# xp_catalog(DOMAIN PO_DIR SOURCE_GLOBS... KEYWORDS k...)
function(xp_catalog domain po_dir)
  cmake_parse_arguments(ARG "" "" "SOURCE_GLOBS;KEYWORDS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${ARG_SOURCE_GLOBS})
  list(SORT sources)
  set(list_file ${CMAKE_BINARY_DIR}/po/${domain}.sources)
  set(relative)
  foreach(source ${sources})
    file(RELATIVE_PATH r ${PROJECT_SOURCE_DIR} ${source})
    list(APPEND relative ${r})
  endforeach()
  list(JOIN relative "\n" text)
  file(CONFIGURE OUTPUT ${list_file} CONTENT "${text}\n" @ONLY)

  set(keyword_args --keyword=)
  foreach(k ${ARG_KEYWORDS})
    list(APPEND keyword_args --keyword=${k})
  endforeach()
  set(pot ${CMAKE_BINARY_DIR}/po/${domain}.pot)
  # Paths in the .pot relative to the source tree, so it does not depend on where the tree lies.
  add_custom_command(OUTPUT ${pot}
    COMMAND ${XGETTEXT_EXECUTABLE} --language=C++ --from-code=UTF-8 --force-po --add-location=file --add-comments=TRANSLATORS:
            ${keyword_args} --package-name=${domain} --package-version=${PROJECT_VERSION}
            --directory=${PROJECT_SOURCE_DIR} --files-from=${list_file} -o ${pot}
    DEPENDS ${sources} ${list_file}
    COMMENT "Extracting the texts of ${domain} into ${domain}.pot"
    VERBATIM)
  add_custom_target(pot-${domain} ALL DEPENDS ${pot})

  xp_linguas(langs ${po_dir})
  set(merges)
  foreach(lang ${langs})
    list(APPEND merges COMMAND ${MSGMERGE_EXECUTABLE} --quiet --update --backup=none --previous --no-wrap
                               ${po_dir}/${lang}.po ${pot})
  endforeach()
  add_custom_target(update-po-${domain} ${merges} DEPENDS ${pot}
    COMMENT "Merging ${domain}.pot into ${po_dir}/{${langs}}.po" VERBATIM)
  add_dependencies(update-po update-po-${domain})

  if(XP_BUILD_TESTS)
    # (a list would not survive as one argument of the test's command line; "|" because a
    # keyword may hold commas: P_:1,2)
    list(JOIN ARG_KEYWORDS "|" keywords_commas)
    add_test(NAME catalog_${domain}
      COMMAND ${CMAKE_COMMAND} -DDOMAIN=${domain} -DPO_DIR=${po_dir} -DSOURCES=${list_file}
              -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
              -DKEYWORDS=${keywords_commas} -DXGETTEXT=${XGETTEXT_EXECUTABLE} -DMSGCMP=${MSGCMP_EXECUTABLE} -DMSGMERGE=${MSGMERGE_EXECUTABLE}
              -DMSGATTRIB=${MSGATTRIB_EXECUTABLE} -DWORK=${CMAKE_BINARY_DIR}/po/check-${domain}
              -P ${PROJECT_SOURCE_DIR}/cmake/po/po_check.cmake)
    set_tests_properties(catalog_${domain} PROPERTIES TIMEOUT 60)
  endif()
endfunction()

if(XP_BUILD_INSTALLER)
  set(XP_PO_HOST ${PROJECT_SOURCE_DIR}/InstallerHost/po)
  set(XP_PO_GTK_HOST ${PROJECT_SOURCE_DIR}/InstallerHost/gtk/po)
  set(XP_PO_PLUGIN ${PROJECT_SOURCE_DIR}/PostInstallSection/po)
  # The session core and the terminal host (installer-host's catalog, also read by the window).
  xp_catalog(installer-host ${XP_PO_HOST}
    SOURCE_GLOBS ${PROJECT_SOURCE_DIR}/InstallerHost/src/*.cpp ${PROJECT_SOURCE_DIR}/InstallerHost/src/*.h
                 ${PROJECT_SOURCE_DIR}/InstallerHost/include/*.h
    KEYWORDS _ N_ InstallerText:1 dgettext:2)
  # The window's own texts.
  xp_catalog(installer-host-gtk ${XP_PO_GTK_HOST}
    SOURCE_GLOBS ${PROJECT_SOURCE_DIR}/InstallerHost/gtk/*.cpp ${PROJECT_SOURCE_DIR}/InstallerHost/gtk/*.h
    KEYWORDS _ N_)
  # The plug-in: its message IDs are keys (msg_...), English included as a catalog of its own.
  xp_catalog(PostInstallSection ${XP_PO_PLUGIN}
    SOURCE_GLOBS ${PROJECT_SOURCE_DIR}/PostInstallSection/src/*.cpp ${PROJECT_SOURCE_DIR}/PostInstallSection/src/*.h
    KEYWORDS getLocalizedStringForKey:1 bundleLocalizedString:1 catalogText:1)
endif()
if(XP_BUILD_TOOLS)
  # xpfs, the command-line tool: its messages, option and command help.
  set(XP_PO_XPFS ${PROJECT_SOURCE_DIR}/tools/xpfs/po)
  xp_catalog(xpfs ${XP_PO_XPFS}
    SOURCE_GLOBS ${PROJECT_SOURCE_DIR}/tools/xpfs/*.cpp ${PROJECT_SOURCE_DIR}/tools/xpfs/*.h
    KEYWORDS _ N_ P_:1,2)
endif()

# The check's own tests, one per kind of fault, on prepared catalogs (cmake/po/tests/<case>/)
# of the texts marked in cmake/po/tests/marked.cpp: the check must fail on each, naming the text.
if(XP_BUILD_TESTS)
  file(WRITE ${CMAKE_BINARY_DIR}/po/selftest.sources "cmake/po/tests/marked.cpp\n")
  set(cases
    "complete|pass"
    "fuzzy|de.po: fuzzy: \"Open\""
    "untranslated|de.po: untranslated: \"Open\""
    "missing|against the sources: untranslated: \"Usage: demo \\[options\\]"
    "nocatalog|LINGUAS names fr, but there is no fr.po")
  foreach(case ${cases})
    string(REPLACE "|" ";" case "${case}")
    list(GET case 0 name)
    list(GET case 1 expect)
    add_test(NAME catalog_check_finds_${name}
      COMMAND ${CMAKE_COMMAND} "-DEXPECT=${expect}" -DDOMAIN=demo
              -DPO_DIR=${PROJECT_SOURCE_DIR}/cmake/po/tests/${name}
              -DSOURCES=${CMAKE_BINARY_DIR}/po/selftest.sources -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
              -DKEYWORDS=_|N_ -DXGETTEXT=${XGETTEXT_EXECUTABLE} -DMSGCMP=${MSGCMP_EXECUTABLE}
              -DMSGMERGE=${MSGMERGE_EXECUTABLE} -DMSGATTRIB=${MSGATTRIB_EXECUTABLE}
              -DWORK=${CMAKE_BINARY_DIR}/po/selftest-${name}
              -P ${PROJECT_SOURCE_DIR}/cmake/po/po_check_expect.cmake)
    set_tests_properties(catalog_check_finds_${name} PROPERTIES TIMEOUT 60)
  endforeach()
endif()
