# The meanings of the library's error codes, in words, live in one table that klia and the
# bindings share: share/error-meanings.json. This file turns it into a C++ header.
#
# Included:   mviahlp_error_meanings_header(<target> <directory>) adds <directory>/error_meanings.h,
#             generated at build time, to the target and its include path.
# As script:  cmake -DMEANINGS=<json> -DOUTPUT=<header> -P ErrorMeanings.cmake

set(MVIAHLP_ERROR_MEANINGS_SCRIPT ${CMAKE_CURRENT_LIST_FILE})
set(MVIAHLP_ERROR_MEANINGS_FILE ${CMAKE_CURRENT_LIST_DIR}/../share/error-meanings.json)
cmake_path(NORMAL_PATH MVIAHLP_ERROR_MEANINGS_FILE)

function(mviahlp_error_meanings_header target directory)
  add_custom_command(
    OUTPUT ${directory}/error_meanings.h
    COMMAND ${CMAKE_COMMAND} -DMEANINGS=${MVIAHLP_ERROR_MEANINGS_FILE} -DOUTPUT=${directory}/error_meanings.h
            -P ${MVIAHLP_ERROR_MEANINGS_SCRIPT}
    DEPENDS ${MVIAHLP_ERROR_MEANINGS_FILE} ${MVIAHLP_ERROR_MEANINGS_SCRIPT}
    COMMENT "Generating error_meanings.h from share/error-meanings.json"
    VERBATIM)
  target_sources(${target} PRIVATE ${directory}/error_meanings.h)
  target_include_directories(${target} PRIVATE ${directory})
endfunction()

if(NOT CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  return()
endif()

# ---- script mode: JSON in, header out ----------------------------------------------------

function(cxx_literal text out)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(REPLACE "\n" "\\n" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

file(READ ${MEANINGS} json)

# One table of codes: an array of {code, words} in the order of the file.
function(code_table name key out)
  string(JSON count LENGTH "${json}" ${key})
  if(count EQUAL 0)
    message(FATAL_ERROR "${MEANINGS}: ${key} is empty")
  endif()
  set(rows "")
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON code MEMBER "${json}" ${key} ${i})
    string(JSON words GET "${json}" ${key} ${code})
    if(NOT code MATCHES "^[0-9]+$" OR code GREATER 65535)
      message(FATAL_ERROR "${MEANINGS}: ${key}: \"${code}\" is not a 16-bit code in decimal")
    endif()
    cxx_literal("${words}" literal)
    string(APPEND rows "    {${code}, ${literal}},\n")
  endforeach()
  set(${out} "${${out}}inline constexpr CodeWords ${name}[] = {\n${rows}};\n" PARENT_SCOPE)
endfunction()

set(tables "")
code_table(kBindErrorWords bind_error tables)
code_table(kLastErrorWords last_error tables)
code_table(kDeviceStatusWords device_status tables)
code_table(kBoardStatusWords board_status tables)
string(JSON other GET "${json}" board_status_other)
string(JSON unknown GET "${json}" unknown_code)
cxx_literal("${other}" other)
cxx_literal("${unknown}" unknown)

file(CONFIGURE OUTPUT ${OUTPUT} @ONLY CONTENT [[
// Generated from share/error-meanings.json by cmake/ErrorMeanings.cmake: edit the JSON file.
// The rules that combine these tables are stated in that file.
#pragma once

#include <cstdint>

namespace klia::meanings {

struct CodeWords {
  uint16_t code;
  const char *words;
};

@tables@
// For a board status without an entry: {decimal} and {hex} stand for the status.
inline constexpr const char *kBoardStatusOther = @other@;
inline constexpr const char *kUnknownCode = @unknown@;

}  // namespace klia::meanings
]])
