# Winsock as a delay-loaded DLL (Windows builds).
#
# asio's event loop references WSAStartup and WSACleanup, so an ordinary
# import of ws2_32 would load winsock (and what it pulls in) at every start of
# both programs, which use no sockets. The target vor_winsock links a
# delay-load import library made from cmake/ws2_32_delay.def instead: the
# import table no longer names ws2_32, and a call, if one ever happens, binds
# the function from System32 through the hook in
# common/system_library_win32.cpp. A winsock function that is referenced but
# missing from the .def fails the link (there is no ordinary ws2_32 import to
# fall back on), so none can be imported eagerly by accident.
if(WIN32)
  find_program(VOR_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
  set(VOR_WINSOCK_DEF ${CMAKE_CURRENT_LIST_DIR}/ws2_32_delay.def)
  set(VOR_WINSOCK_LIB ${CMAKE_BINARY_DIR}/delay-load/libws2_32_delay.a)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/delay-load)
  add_custom_command(OUTPUT ${VOR_WINSOCK_LIB}
    COMMAND ${VOR_DLLTOOL} --input-def ${VOR_WINSOCK_DEF} --output-delaylib ${VOR_WINSOCK_LIB}
    DEPENDS ${VOR_WINSOCK_DEF}
    COMMENT "Delay-load import library of ws2_32" VERBATIM)
  add_custom_target(vor_winsock_delay_library DEPENDS ${VOR_WINSOCK_LIB})
  add_library(vor_winsock INTERFACE)
  add_dependencies(vor_winsock vor_winsock_delay_library)
  # Linked by vor_common, which holds the hook and which every module links
  # after its own code.
  target_link_libraries(vor_winsock INTERFACE ${VOR_WINSOCK_LIB} -Wl,-u,__pfnDliNotifyHook2)
else()
  add_library(vor_winsock INTERFACE)
endif()
