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
    DEPENDS ${MVIAHLP_ERROR_MEANINGS_FILE} ${MVIAHLP_ERROR_MEANINGS_SCRIPT} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/MeaningTables.cmake
    COMMENT "Generating error_meanings.h from share/error-meanings.json"
    VERBATIM)
  target_sources(${target} PRIVATE ${directory}/error_meanings.h)
  target_include_directories(${target} PRIVATE ${directory})
endfunction()

if(NOT CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  return()
endif()

# ---- script mode: JSON in, header out ----------------------------------------------------

include(${CMAKE_CURRENT_LIST_DIR}/MeaningTables.cmake)

function(cxx_literal text where out)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(REPLACE "\n" "\\n" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

file(READ ${MEANINGS} json)

set(tables "")
foreach(pair "kBindErrorWords;bind_error" "kLastErrorWords;last_error" "kDeviceStatusWords;device_status"
             "kBoardStatusWords;board_status")
  list(GET pair 0 name)
  list(GET pair 1 key)
  meaning_rows("${json}" ${MEANINGS} ${key} "    {@CODE@, @WORDS@},\n" cxx_literal rows)
  string(APPEND tables "inline constexpr CodeWords ${name}[] = {\n${rows}};\n")
endforeach()
string(JSON other GET "${json}" board_status_other)
string(JSON unknown GET "${json}" unknown_code)
cxx_literal("${other}" board_status_other other)
cxx_literal("${unknown}" unknown_code unknown)

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
