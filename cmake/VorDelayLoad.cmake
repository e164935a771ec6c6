# DLLs loaded on the first call instead of at every start (Windows builds).
#
# Every DLL in a program's import table is loaded, with what it imports
# itself, before the program runs; under Wine user32 alone costs several
# milliseconds per process. The targets below link delay-load import
# libraries instead of the ordinary ones: the import table no longer names
# the DLL, and the first call of each function binds it from System32 through
# the hook in common/system_library_win32.cpp (linked by vor_common, which
# every module links after its own code).
#
#   vor_delay_user32, vor_delay_gdi32, vor_delay_wtsapi32
#       every export of the DLL, as mingw's import library lists it; modules
#       name these in WIN32_LIBS in place of user32, gdi32 and wtsapi32
#   vor_winsock
#       only the two winsock functions that asio references (WSAStartup,
#       WSACleanup; cmake/ws2_32_delay.def). They are never called: the
#       programs use no sockets and declare winsock initialised themselves.
#       A winsock function missing from the .def fails the link, so none can
#       be imported eagerly by accident. vor_common links it.
#
# Functions that report failure by HRESULT (dwmapi, COM, Direct3D) are bound
# through SystemFunction in their adapters instead: the hook's stand-in for a
# function that cannot be bound answers 0, which is success for them.
if(WIN32)
  find_program(VOR_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
  find_program(VOR_NM NAMES x86_64-w64-mingw32-nm REQUIRED)
  set(VOR_DELAY_DIR ${CMAKE_BINARY_DIR}/delay-load)
  file(MAKE_DIRECTORY ${VOR_DELAY_DIR})

  # vor_delay_load(TARGET DEF) links the delay-load import library made from DEF.
  function(vor_delay_load target def)
    get_filename_component(stem ${def} NAME_WE)
    set(lib ${VOR_DELAY_DIR}/lib${stem}.a)
    add_custom_command(OUTPUT ${lib}
      COMMAND ${VOR_DLLTOOL} --input-def ${def} --output-delaylib ${lib}
      DEPENDS ${def}
      COMMENT "Delay-load import library ${stem}" VERBATIM)
    add_custom_target(${target}_library DEPENDS ${lib})
    add_library(${target} INTERFACE)
    add_dependencies(${target} ${target}_library)
    target_link_libraries(${target} INTERFACE ${lib} -Wl,-u,__pfnDliNotifyHook2)
  endfunction()

  # A .def of every function that mingw's import library of DLL_FILE exports.
  function(vor_delay_load_all target name dll_file)
    find_library(import_${name} NAMES lib${name}.a REQUIRED)
    execute_process(COMMAND ${VOR_NM} -g --defined-only ${import_${name}}
      OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "__imp_[A-Za-z0-9_@]+" imports "${symbols}")
    list(TRANSFORM imports REPLACE "^__imp_" "")
    list(REMOVE_DUPLICATES imports)
    list(SORT imports)
    list(JOIN imports "\n" exports)
    set(def ${VOR_DELAY_DIR}/${name}_delay.def)
    set(text "LIBRARY ${dll_file}\nEXPORTS\n${exports}\n")
    if(EXISTS ${def})
      file(READ ${def} old)
    endif()
    if(NOT "${old}" STREQUAL "${text}")
      file(WRITE ${def} "${text}")
    endif()
    vor_delay_load(${target} ${def})
  endfunction()

  vor_delay_load(vor_winsock ${CMAKE_CURRENT_LIST_DIR}/ws2_32_delay.def)
  vor_delay_load_all(vor_delay_user32 user32 USER32.dll)
  vor_delay_load_all(vor_delay_gdi32 gdi32 GDI32.dll)
  vor_delay_load_all(vor_delay_wtsapi32 wtsapi32 WTSAPI32.dll)
else()
  foreach(target vor_winsock vor_delay_user32 vor_delay_gdi32 vor_delay_wtsapi32)
    add_library(${target} INTERFACE)
  endforeach()
endif()
