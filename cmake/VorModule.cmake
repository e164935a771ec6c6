# Build conventions shared by every module of both programs.
#
# A module is one folder with a CMakeLists.txt that calls vor_module(). Its
# sources are picked by file name:
#   *.cpp              portable: compiled in every build
#   *_win32.cpp        Win32 adapters: both Windows builds
#   *_release.cpp      Windows release build only (never with the stand-ins)
#   *_standin.cpp      Windows build with the Wine stand-ins only
#   *_native.cpp       native (Linux) build only
#   *_test.cpp, *_bench.cpp, *_fuzz.cpp are never part of a module library.

set(VOR_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)

add_library(vor_build_flags INTERFACE)
target_include_directories(vor_build_flags INTERFACE
  ${VOR_ROOT} ${VOR_ROOT}/desktop/src ${VOR_ROOT}/setup_recovery/src)
target_compile_options(vor_build_flags INTERFACE -Wall -Wextra -Wno-missing-field-initializers)

if(WIN32)
  # The cross build gets its own folder of header-only libraries: the host's
  # /usr/include must never be on the mingw include path.
  set(VOR_CROSS_INCLUDE ${CMAKE_BINARY_DIR}/cross-include)
  file(MAKE_DIRECTORY ${VOR_CROSS_INCLUDE})
  foreach(item nlohmann asio asio.hpp date)
    if(NOT EXISTS ${VOR_CROSS_INCLUDE}/${item})
      file(CREATE_LINK /usr/include/${item} ${VOR_CROSS_INCLUDE}/${item} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(vor_build_flags SYSTEM INTERFACE ${VOR_CROSS_INCLUDE})
  target_compile_definitions(vor_build_flags INTERFACE
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00
    ASIO_STANDALONE ASIO_NO_DEPRECATED)
  target_link_options(vor_build_flags INTERFACE -static -static-libgcc -static-libstdc++)
  if(VOR_WINE_STANDINS)
    target_compile_definitions(vor_build_flags INTERFACE VOR_WINE_STANDINS=1)
  endif()
else()
  target_compile_definitions(vor_build_flags INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
  find_package(Threads REQUIRED)
  target_link_libraries(vor_build_flags INTERFACE Threads::Threads)
  if(VOR_SANITIZE)
    target_compile_options(vor_build_flags INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(vor_build_flags INTERFACE -fsanitize=address,undefined)
  endif()
endif()

# Adds every subfolder of DIR that has a CMakeLists.txt, in name order.
function(vor_add_module_dirs dir)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${dir} ${dir}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${dir}/${child} AND EXISTS ${dir}/${child}/CMakeLists.txt)
      add_subdirectory(${dir}/${child})
    endif()
  endforeach()
endfunction()

# Sources of the current folder for this build, by the naming rules above.
function(vor_collect_sources out)
  file(GLOB all CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  set(picked)
  foreach(f ${all})
    get_filename_component(n ${f} NAME)
    if(n MATCHES "_(test|bench|fuzz)\\.cpp$")
      continue()
    elseif(n MATCHES "_win32\\.cpp$")
      if(WIN32)
        list(APPEND picked ${f})
      endif()
    elseif(n MATCHES "_release\\.cpp$")
      if(WIN32 AND NOT VOR_WINE_STANDINS)
        list(APPEND picked ${f})
      endif()
    elseif(n MATCHES "_standin\\.cpp$")
      if(WIN32 AND VOR_WINE_STANDINS)
        list(APPEND picked ${f})
      endif()
    elseif(n MATCHES "_native\\.cpp$")
      if(NOT WIN32)
        list(APPEND picked ${f})
      endif()
    else()
      list(APPEND picked ${f})
    endif()
  endforeach()
  set(${out} ${picked} PARENT_SCOPE)
endfunction()

# vor_module(NAME [DEPS targets...] [WIN32_LIBS libs...] [NATIVE_LIBS libs...])
# Defines the library vor_NAME from the folder's sources.
function(vor_module name)
  cmake_parse_arguments(M "" "" "DEPS;WIN32_LIBS;NATIVE_LIBS" ${ARGN})
  vor_collect_sources(srcs)
  if(srcs)
    add_library(vor_${name} STATIC ${srcs})
    set(scope PUBLIC)
  else()
    add_library(vor_${name} INTERFACE)
    set(scope INTERFACE)
  endif()
  target_link_libraries(vor_${name} ${scope} vor_build_flags ${M_DEPS})
  vor_register_module(vor_${name} DEPS ${M_DEPS})
  if(WIN32)
    target_link_libraries(vor_${name} ${scope} ${M_WIN32_LIBS})
  else()
    target_link_libraries(vor_${name} ${scope} ${M_NATIVE_LIBS})
  endif()
endfunction()

# vor_register_module(TARGET [DEPS targets...])
# Records the current folder as a module for the include check: its include
# prefix is the folder's path below desktop/src, setup_recovery/src or the
# repository root (common).
function(vor_register_module target)
  cmake_parse_arguments(R "" "" "DEPS" ${ARGN})
  set(dir ${CMAKE_CURRENT_SOURCE_DIR})
  foreach(base ${VOR_ROOT}/desktop/src ${VOR_ROOT}/setup_recovery/src ${VOR_ROOT})
    file(REAL_PATH ${base} base)
    string(FIND "${dir}/" "${base}/" at)
    if(at EQUAL 0)
      file(RELATIVE_PATH prefix ${base} ${dir})
      break()
    endif()
  endforeach()
  file(GLOB files ${dir}/*.h ${dir}/*.cpp)
  list(FILTER files EXCLUDE REGEX "_(test|bench|fuzz)\\.cpp$")
  set_property(GLOBAL APPEND PROPERTY VOR_MODULES ${target})
  set_property(GLOBAL PROPERTY VOR_MODULE_${target}_PREFIX ${prefix})
  set_property(GLOBAL PROPERTY VOR_MODULE_${target}_DEPS ${R_DEPS})
  set_property(GLOBAL PROPERTY VOR_MODULE_${target}_FILES ${files})
endfunction()

# Checks every registered module's includes against its DEPS now, and again
# as a build step (before any module library) whenever one of their files
# changes. An include of a module not in DEPS, or a DEPS entry that nothing
# includes, fails the build (cmake/VorIncludeCheck.cmake).
function(vor_check_module_includes)
  get_property(modules GLOBAL PROPERTY VOR_MODULES)
  set(table ${CMAKE_BINARY_DIR}/vor_module_table.cmake)
  set(text "set(VOR_CHECK_MODULES ${modules})\n")
  set(all_files)
  foreach(m ${modules})
    foreach(key PREFIX DEPS FILES)
      get_property(value GLOBAL PROPERTY VOR_MODULE_${m}_${key})
      string(APPEND text "set(VOR_CHECK_${m}_${key} \"${value}\")\n")
    endforeach()
    get_property(files GLOBAL PROPERTY VOR_MODULE_${m}_FILES)
    list(APPEND all_files ${files})
  endforeach()
  file(WRITE ${table} "${text}")
  include(${VOR_ROOT}/cmake/VorIncludeCheck.cmake)
  vor_run_include_check(${table})
  set(stamp ${CMAKE_BINARY_DIR}/vor_include_check.stamp)
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DVOR_CHECK_TABLE=${table} -DVOR_CHECK_STAMP=${stamp}
            -P ${VOR_ROOT}/cmake/VorIncludeCheck.cmake
    DEPENDS ${all_files} ${table} ${VOR_ROOT}/cmake/VorIncludeCheck.cmake
    COMMENT "Checking module includes against DEPS" VERBATIM)
  add_custom_target(vor_include_check ALL DEPENDS ${stamp})
  foreach(m ${modules})
    add_dependencies(${m} vor_include_check)
  endforeach()
endfunction()

# vor_program(TARGET OUTPUT_NAME name SOURCES files... DEPS targets...)
# A Windows GUI-subsystem program with a wWinMain entry, linked fully static.
function(vor_program target)
  cmake_parse_arguments(P "" "OUTPUT_NAME" "SOURCES;DEPS" ${ARGN})
  add_executable(${target} ${P_SOURCES})
  target_link_libraries(${target} PRIVATE vor_build_flags ${P_DEPS})
  if(WIN32)
    target_link_options(${target} PRIVATE -mwindows -municode)
  endif()
  if(P_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${P_OUTPUT_NAME})
  endif()
endfunction()
