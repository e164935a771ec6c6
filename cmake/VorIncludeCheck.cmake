# The module include check: every module includes exactly the modules its
# DEPS list (besides itself), so the layering that CMake links is the one the
# sources use.
#
# The table (written at configure time by vor_check_module_includes) holds,
# per module target: VOR_CHECK_<target>_PREFIX (the include folder, as in
# "standalone/state/x.h"), _DEPS (module targets) and _FILES (every source
# and header of its folder, for every platform). Runs at configure time and,
# through `cmake -P` with -DVOR_CHECK_TABLE=... -DVOR_CHECK_STAMP=..., as a
# build step whenever a module's file changes.

if(CMAKE_SCRIPT_MODE_FILE)
  cmake_minimum_required(VERSION 3.25)
endif()

function(vor_run_include_check table)
  include(${table})
  set(failures)
  foreach(module ${VOR_CHECK_MODULES})
    set(prefix_of_${VOR_CHECK_${module}_PREFIX} ${module})
  endforeach()
  foreach(module ${VOR_CHECK_MODULES})
    set(own ${VOR_CHECK_${module}_PREFIX})
    set(used)
    foreach(file ${VOR_CHECK_${module}_FILES})
      file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
      foreach(line ${lines})
        string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*$" "\\1" path "${line}")
        if(NOT path MATCHES "/")
          continue()  # a file of the same folder
        endif()
        get_filename_component(folder ${path} DIRECTORY)
        if(folder STREQUAL own)
          continue()
        endif()
        if(NOT DEFINED prefix_of_${folder})
          list(APPEND failures "${file}: includes \"${path}\", which is no module's header")
          continue()
        endif()
        set(target ${prefix_of_${folder}})
        if(NOT target IN_LIST VOR_CHECK_${module}_DEPS)
          list(APPEND failures "${file}: includes \"${path}\" of ${target}, which is not in the DEPS of ${module}")
        endif()
        list(APPEND used ${target})
      endforeach()
    endforeach()
    foreach(dep ${VOR_CHECK_${module}_DEPS})
      if(dep IN_LIST VOR_CHECK_MODULES AND NOT dep IN_LIST used)
        list(APPEND failures "${module}: DEPS lists ${dep}, but no file of ${module} includes it")
      endif()
    endforeach()
  endforeach()
  if(failures)
    list(JOIN failures "\n  " text)
    message(FATAL_ERROR "module include check failed:\n  ${text}")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED VOR_CHECK_TABLE)
  vor_run_include_check(${VOR_CHECK_TABLE})
  file(TOUCH ${VOR_CHECK_STAMP})
endif()
