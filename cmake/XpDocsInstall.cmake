# The API reference in the installation: share/doc/xpcommonlib/html.
#
# Doxygen runs only when asked: a normal build stays quick, and a public member left undocumented
# (a Doxygen warning, which fails the reference's build) does not stop someone building the library.
# So `cmake --install` takes the reference when the `docs` target has been built, and leaves it out
# otherwise. XP_INSTALL_DOCS=ON (the Debian package build) makes it part of `all` instead, so that
# an installation without it cannot happen silently.
option(XP_INSTALL_DOCS "Build the API reference with the default target and always install it" OFF)
if(XP_INSTALL_DOCS AND NOT TARGET docs)
  message(FATAL_ERROR "XP_INSTALL_DOCS needs doxygen, which was not found")
endif()
if(TARGET docs)
  if(XP_INSTALL_DOCS)
    add_custom_target(docs-for-install ALL)
    add_dependencies(docs-for-install docs)
  endif()
  install(DIRECTORY ${PROJECT_BINARY_DIR}/docs/html/
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/xpcommonlib/html
    COMPONENT doc
    OPTIONAL)
endif()
