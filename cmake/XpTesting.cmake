# Test registration shared by every test folder: one GoogleTest program per *Test.cpp.
# A test file that touches fixed system paths or system-wide objects says so with a line
#   // ctest-resource-lock: NAME
# and CTest runs the programs sharing NAME one at a time.
find_package(GTest REQUIRED)

# xp_add_gtest_programs(<out-var> <dir>): adds a program and a test for every <dir>/*Test.cpp,
# linked with GoogleTest, and stores the program names in <out-var> so that the caller can add
# its own libraries and definitions.
function(xp_add_gtest_programs out dir)
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*Test.cpp)
  set(names "")
  foreach(src ${sources})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main GTest::gmock)
    add_test(NAME ${name} COMMAND ${name})
    # The installers the tests run keep no record in the machine's journal or /var/log; the tests
    # of that record start their own journal and set it on again.
    set_tests_properties(${name} PROPERTIES TIMEOUT 600 ENVIRONMENT "INSTALLER_HOST_RECORD=off")
    file(STRINGS ${src} locks REGEX "^// ctest-resource-lock: ")
    if(locks)
      list(TRANSFORM locks REPLACE "^// ctest-resource-lock: *" "")
      set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${locks}")
    endif()
    list(APPEND names ${name})
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()
