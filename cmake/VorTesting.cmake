# Test conventions.
#
# vor_test(NAME SOURCES files... [LIBS targets...] [NATIVE_ONLY] [WINDOWS_ONLY]
#          [TIMEOUT seconds] [LABELS labels...])
# Native builds link the system GoogleTest; Windows builds link GoogleTest
# built by mingw from Debian's sources and run through the Wine runner.

if(WIN32)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(t gtest gtest_main gmock gmock_main)
    target_compile_options(${t} PRIVATE -w)
  endforeach()
  set(VOR_GTEST_LIBS gmock gtest gtest_main)

  # One Wine prefix and display per build folder, started before and stopped
  # after the Windows tests.
  add_test(NAME wine_start COMMAND env VOR_WINE_ROOT=${CMAKE_BINARY_DIR}/wine ${VOR_ROOT}/scripts/wine-start)
  add_test(NAME wine_stop COMMAND env VOR_WINE_ROOT=${CMAKE_BINARY_DIR}/wine ${VOR_ROOT}/scripts/wine-stop)
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)
else()
  find_package(GTest REQUIRED)
  include(GoogleTest)
  set(VOR_GTEST_LIBS GTest::gmock GTest::gtest GTest::gtest_main)
endif()

function(vor_test name)
  cmake_parse_arguments(T "NATIVE_ONLY;WINDOWS_ONLY" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(T_NATIVE_ONLY AND WIN32)
    return()
  endif()
  if(T_WINDOWS_ONLY AND NOT WIN32)
    return()
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE vor_build_flags ${T_LIBS} ${VOR_GTEST_LIBS})
  if(WIN32)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT ${T_TIMEOUT}
      LABELS "windows;${T_LABELS}")
  else()
    gtest_discover_tests(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "native;${T_LABELS}")
  endif()
endfunction()
