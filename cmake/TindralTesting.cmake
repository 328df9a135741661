# GoogleTest from the sources the Debian package installs, built for whichever target this is;
# and, for the Windows build, tests run under Wine in a prefix of this build tree's own.

set(TINDRAL_GOOGLETEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${TINDRAL_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

include(GoogleTest)

if(CMAKE_CROSSCOMPILING AND WIN32)
  set(TINDRAL_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
  # The three libraries share one load order (none), so the value holds no ";", which a CMake
  # list would cut in two on its way into the emulator's command.
  set(TINDRAL_WINE_ENV WINEPREFIX=${TINDRAL_WINEPREFIX} WINEDEBUG=-all
                       WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=)
  set(CMAKE_CROSSCOMPILING_EMULATOR env ${TINDRAL_WINE_ENV} wine)
  # One prefix per build tree, never ~/.wine, and one persistent wineserver for the whole run so
  # that each test process starts in a fraction of a second.
  add_test(NAME wine.setup
           COMMAND ${CMAKE_COMMAND} -E env ${TINDRAL_WINE_ENV}
                   bash ${PROJECT_SOURCE_DIR}/cmake/wine-fixture.sh setup)
  add_test(NAME wine.cleanup
           COMMAND ${CMAKE_COMMAND} -E env ${TINDRAL_WINE_ENV}
                   bash ${PROJECT_SOURCE_DIR}/cmake/wine-fixture.sh cleanup)
  set_tests_properties(wine.setup PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
  set_tests_properties(wine.cleanup PROPERTIES FIXTURES_CLEANUP wine)
endif()

# A GoogleTest executable whose cases run on both targets: natively each case is a test of its
# own; under Wine the executable is one test, so that one process runs every case.
function(tindral_add_test_executable name)
  add_executable(${name} ${ARGN})
  tindral_target_options(${name})
  target_link_libraries(${name} PRIVATE tindral_test_support GTest::gtest_main GTest::gmock)
  if(CMAKE_CROSSCOMPILING AND WIN32)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 600)
  else()
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/test-tmp)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                         PROPERTIES ENVIRONMENT "TINDRAL_TEST_TMP=${CMAKE_BINARY_DIR}/test-tmp")
  endif()
endfunction()
