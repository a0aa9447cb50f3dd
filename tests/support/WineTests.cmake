# The process tests run a second time, against the Windows daemon under Wine, when this Linux
# build is told where the Windows build's programs are:
#   cmake -DQUILLMARK_WINDOWS_BIN=<windows build>/bin ...
# Each such test is named "wine.<its Linux name>", carries the label "wine" and needs the
# fixture wine_prefix: the test wine.prefix.start makes this build's own Wine prefix (under
# wine/ in the build folder) and keeps its server up, wine.prefix.stop ends it. So
# `ctest -L wine` runs them alone, `ctest -LE wine` leaves them out.
# Included by each folder that registers such tests; the fixture is registered once.

set(QUILLMARK_WINDOWS_BIN "" CACHE PATH
  "The Windows build's bin/ folder: the process tests also run against its daemon, under Wine")
set(QUILLMARK_WINE_TESTS OFF)
if(QUILLMARK_WINDOWS_BIN AND NOT CMAKE_CROSSCOMPILING)
  find_program(QUILLMARK_TEST_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
  if(NOT QUILLMARK_TEST_WINE)
    message(FATAL_ERROR "QUILLMARK_WINDOWS_BIN is set but wine64 is missing (scripts/setup.sh installs it)")
  endif()
  set(QUILLMARK_WINE_TESTS ON)
  set(QUILLMARK_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine/prefix)
  get_property(registered GLOBAL PROPERTY QUILLMARK_WINE_FIXTURE)
  if(NOT registered)
    set_property(GLOBAL PROPERTY QUILLMARK_WINE_FIXTURE ON)
    foreach(step start stop)
      add_test(NAME wine.prefix.${step}
        COMMAND ${CMAKE_CURRENT_LIST_DIR}/wine-prefix.sh ${step} ${QUILLMARK_WINE_PREFIX})
    endforeach()
    set_tests_properties(wine.prefix.start PROPERTIES FIXTURES_SETUP wine_prefix)
    set_tests_properties(wine.prefix.stop PROPERTIES FIXTURES_CLEANUP wine_prefix)
    set_tests_properties(wine.prefix.start wine.prefix.stop PROPERTIES LABELS wine TIMEOUT 300
      ENVIRONMENT QUILLMARK_TEST_WINE=${QUILLMARK_TEST_WINE})
  endif()
endif()

# quillmark_wine_gtests(target filter): the target's GoogleTest cases that the filter selects,
# registered again with the Windows daemon under test. The support library reads the one
# variable set here and finds this build's Wine prefix on its own (one variable: a list would
# not survive the discovery step's quoting).
function(quillmark_wine_gtests target filter)
  if(NOT QUILLMARK_WINE_TESTS)
    return()
  endif()
  gtest_discover_tests(${target} TEST_PREFIX wine. TEST_FILTER ${filter} DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 600 LABELS wine FIXTURES_REQUIRED wine_prefix
      ENVIRONMENT QUILLMARK_TEST_WINDOWS_BIN=${QUILLMARK_WINDOWS_BIN})
endfunction()

# quillmark_wine_test(name timeout command...): a test script run again with the Windows daemon
# (${QUILLMARK_WINDOWS_BIN}/Quillmark.Daemon.exe); the command hands the script the Wine loader
# ${QUILLMARK_TEST_WINE} and this build's prefix ${QUILLMARK_WINE_PREFIX}.
function(quillmark_wine_test name timeout)
  if(NOT QUILLMARK_WINE_TESTS)
    return()
  endif()
  add_test(NAME wine.${name} COMMAND ${ARGN})
  set_tests_properties(wine.${name} PROPERTIES LABELS wine FIXTURES_REQUIRED wine_prefix TIMEOUT ${timeout})
endfunction()
