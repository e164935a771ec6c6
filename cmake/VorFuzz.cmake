# libFuzzer targets.
#
# vor_fuzz(NAME SOURCES files... LIBS targets... SEEDS folder DICT file MAX_LEN bytes)
# Defined in every build; the target exists only when VOR_FUZZ is on (the
# "fuzz" preset: clang 16 or newer, native; its tests are configured but not
# built). Every module library is then
# compiled with coverage instrumentation, ASan and UBSan, so a fuzz target
# links the very modules the programs are made of. scripts/fuzz-run builds
# and runs the targets; it learns each target's seed folder (committed,
# only read), dictionary and input bound from fuzz-targets/NAME in the build
# folder.

if(VOR_FUZZ)
  if(WIN32)
    message(FATAL_ERROR "VOR_FUZZ is for the native build")
  endif()
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR CMAKE_CXX_COMPILER_VERSION VERSION_LESS 16)
    message(FATAL_ERROR "VOR_FUZZ needs clang 16 or newer (Debian 12's clang 14 cannot compile libstdc++ 12's std::expected)")
  endif()
  # libstdc++ 12 hides std::expected unless the compiler announces C++20
  # concepts at 202002; clang before 19 implements what <expected> needs but
  # still announces 201907. Standalone asio looks for coroutines under clang
  # only in <experimental/coroutine>, which libstdc++ lacks; clang 16 has the
  # standard ones.
  target_compile_definitions(vor_build_flags INTERFACE ASIO_HAS_CO_AWAIT=1)
  target_compile_options(vor_build_flags INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
    -Wno-macro-redefined -D__cpp_concepts=202002L)
  target_link_options(vor_build_flags INTERFACE -fsanitize=address,undefined)
  set(VOR_FUZZ_TARGET_DIR ${CMAKE_BINARY_DIR}/fuzz-targets)
  file(REMOVE_RECURSE ${VOR_FUZZ_TARGET_DIR})
  file(MAKE_DIRECTORY ${VOR_FUZZ_TARGET_DIR})
  add_custom_target(fuzz_targets)
endif()

function(vor_fuzz name)
  cmake_parse_arguments(F "" "SEEDS;DICT;MAX_LEN" "SOURCES;LIBS" ${ARGN})
  if(NOT VOR_FUZZ)
    return()
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE vor_build_flags ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(fuzz_targets ${name})
  get_filename_component(seeds ${F_SEEDS} ABSOLUTE)
  set(dict "")
  if(F_DICT)
    get_filename_component(dict ${F_DICT} ABSOLUTE)
  endif()
  file(WRITE ${VOR_FUZZ_TARGET_DIR}/${name}
    "binary=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${name}\nseeds=${seeds}\ndict=${dict}\nmax_len=${F_MAX_LEN}\n")
endfunction()
