# The run paths (DT_RUNPATH, DT_RPATH) of ELF programs and shared libraries: no entry that
# the loader would take relative to the current folder — an empty one (a leading or trailing
# ':', or '::') or a relative folder — since a program run in a folder holding a planted
# libhwlink32.so would then load it. With FORBIDDEN, no entry may name that folder or one
# under it either (an installed file that still points into the build tree).
#
# As a script, over the files listed one a line in LIST (files that do not exist are not
# built in this configuration and are passed over):
#   cmake -DREADELF=readelf -DLIST=files.txt -P check_run_paths.cmake
# Included, over every program and library under some folders:
#   check_run_paths_under(<readelf> <forbidden or ""> <folder>...)

# Problems of one file, appended to `problems`; `checked` counts the ELF programs and
# libraries among the files.
function(check_run_paths_of readelf forbidden file)
  # ELF (7F 'E' 'L' 'F') of type executable (2) or shared object (3): not object files.
  file(READ ${file} magic LIMIT 4 HEX)
  if(NOT magic STREQUAL "7f454c46")
    return()
  endif()
  file(READ ${file} type OFFSET 16 LIMIT 1 HEX)
  if(NOT type MATCHES "^0[23]$")
    return()
  endif()
  execute_process(COMMAND ${readelf} -d ${file} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${readelf} -d ${file} failed (${result}): ${err}")
  endif()
  math(EXPR checked "${checked} + 1")
  string(REGEX MATCHALL "Library (rpath|runpath): \\[[^\n]*\\]" run_paths "${out}")
  foreach(run_path IN LISTS run_paths)
    string(REGEX REPLACE "^Library (rpath|runpath): \\[(.*)\\]$" "\\2" value "${run_path}")
    string(REPLACE ":" ";" entries "${value}")
    foreach(entry IN LISTS entries)  # IN LISTS keeps the empty elements
      if(entry STREQUAL "")
        string(APPEND problems "\n  ${file}: run path [${value}] has an empty entry (the current folder)")
      elseif(NOT entry MATCHES "^(/|\\$ORIGIN|\\$\\{ORIGIN\\})")
        string(APPEND problems "\n  ${file}: run path [${value}] has the relative entry ${entry}")
      elseif(forbidden)
        string(FIND "${entry}/" "${forbidden}/" at)
        if(at EQUAL 0)
          string(APPEND problems "\n  ${file}: run path [${value}] names ${entry}, under ${forbidden}")
        endif()
      endif()
    endforeach()
  endforeach()
  set(checked ${checked} PARENT_SCOPE)
  set(problems "${problems}" PARENT_SCOPE)
endfunction()

function(check_run_paths_report where)
  if(checked EQUAL 0)
    message(FATAL_ERROR "no program or shared library found in ${where}")
  endif()
  if(problems)
    message(FATAL_ERROR "run paths that make the loader search the current folder or the wrong one:${problems}")
  endif()
  message(STATUS "run paths of ${checked} programs and libraries (${where}): ok")
endfunction()

function(check_run_paths_under readelf forbidden)
  set(checked 0)
  set(problems "")
  foreach(folder IN LISTS ARGN)
    file(GLOB_RECURSE files LIST_DIRECTORIES false ${folder}/*)
    foreach(file IN LISTS files)
      if(NOT IS_SYMLINK ${file})
        check_run_paths_of(${readelf} "${forbidden}" ${file})
      endif()
    endforeach()
  endforeach()
  check_run_paths_report("${ARGN}")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  set(checked 0)
  set(problems "")
  file(STRINGS ${LIST} files)
  foreach(file IN LISTS files)
    if(EXISTS ${file})
      check_run_paths_of(${READELF} "" ${file})
    endif()
  endforeach()
  check_run_paths_report("the files of ${LIST}")
endif()
