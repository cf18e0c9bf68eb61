# The spy under Wine as a site would install it: klia.exe and mviahlp.dll beside the spy's
# HWLINK32.DLL, and the virtual board's HWLINK32.DLL renamed HWLINK32-REAL.DLL (the spy's
# default target, found in the program's folder).
#   1. A whole session (klia tour) gives the same output and the same board memory as the
#      same session without the spy.
#   2. The spy's trace equals the virtual board's own trace exchange by exchange, and holds
#      no logon or password bytes.
#   3. The virtual board's trace replays clean through the spy (klia trace replay).
#   4. A target that is the spy itself is refused, and the calls answer "no exchange".
#   5. With the read-only guard, reads give the same output as without it; a command that
#      writes is stopped, recorded as guarded, and the board image stays the same byte for
#      byte; an unknown guard value is said and guards.
# Arguments: BIN_DIR (klia.exe, mviahlp.dll), VBOARD_DLL, SPY_DLL, WORK_DIR, WINE, WINEPREFIX.

include(${CMAKE_CURRENT_LIST_DIR}/../wine_environment.cmake)
set(wine ${wine_environment})

# run(<folder> <expected exit code> <VAR=value...> -- <program> <arguments...>)
function(run folder expected)
  set(environment)
  set(command)
  set(in_command FALSE)
  foreach(word ${ARGN})
    if(in_command)
      list(APPEND command ${word})  # a later -- is the program's own
    elseif(word STREQUAL "--")
      set(in_command TRUE)
    else()
      list(APPEND environment ${word})
    endif()
  endforeach()
  execute_process(COMMAND ${wine} ${environment} ${WINE} ${command}
                  WORKING_DIRECTORY ${WORK_DIR}/${folder} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL expected)
    message(FATAL_ERROR "${folder}: ${command} exited with ${result}, not ${expected}:\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
  set(run_error "${err}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/plain ${WORK_DIR}/spied)
foreach(folder plain spied)
  file(COPY ${BIN_DIR}/klia.exe ${BIN_DIR}/mviahlp.dll DESTINATION ${WORK_DIR}/${folder})
endforeach()
file(COPY_FILE ${VBOARD_DLL} ${WORK_DIR}/plain/HWLINK32.DLL)
file(COPY_FILE ${VBOARD_DLL} ${WORK_DIR}/spied/HWLINK32-REAL.DLL)
file(COPY_FILE ${SPY_DLL} ${WORK_DIR}/spied/HWLINK32.DLL)

run(plain 0 HWLINK_VBOARD_TRACE=plain.jsonl -- klia.exe --board board.img tour)
set(plain_output "${run_output}")
run(spied 0 HWLINK_SPY_TRACE=spy.jsonl HWLINK_VBOARD_TRACE=board.jsonl -- klia.exe --board board.img tour)
if(NOT run_output STREQUAL plain_output)
  message(FATAL_ERROR "the session's output differs with the spy:\n${run_output}\nwithout it:\n${plain_output}")
endif()
if(NOT run_error MATCHES "hwlink spy: active in process [0-9]+: forwarding to [^\n]*HWLINK32-REAL.DLL")
  message(FATAL_ERROR "the spy did not say that it is active:\n${run_error}")
endif()

# The board's pages (after the image's 512-byte header, whose live state holds the clock's
# offset from the host's time).
file(READ ${WORK_DIR}/plain/board.img plain_pages OFFSET 512 HEX)
file(READ ${WORK_DIR}/spied/board.img spied_pages OFFSET 512 HEX)
if(NOT plain_pages STREQUAL spied_pages)
  message(FATAL_ERROR "the board's memory differs with the spy")
endif()

file(COPY ${WORK_DIR}/plain/plain.jsonl DESTINATION ${WORK_DIR}/spied)
run(spied 0 -- klia.exe trace diff spy.jsonl board.jsonl)
run(spied 0 -- klia.exe trace diff board.jsonl plain.jsonl)
file(READ ${WORK_DIR}/spied/spy.jsonl spy_trace)
if(NOT spy_trace MATCHES "\"out\":{\"redacted\":16}" OR spy_trace MATCHES "7365637265742d3[12]")
  message(FATAL_ERROR "the spy's trace does not withhold the logon and password blocks")
endif()
run(spied 0 -- klia.exe trace show spy.jsonl)
if(NOT run_output MATCHES "logon \\[17\\] logon blocks, 16 bytes -> success")
  message(FATAL_ERROR "klia trace show does not decode the logon:\n${run_output}")
endif()

# The board's own trace replayed to a new session through the spy installed beside klia.exe.
run(spied 0 -- klia.exe trace replay board.jsonl -- klia.exe --board replayed.img tour)
if(NOT run_output MATCHES "exchange\\(s\\) came as recorded")
  message(FATAL_ERROR "the recorded session did not replay clean:\n${run_output}")
endif()

# The spy named as its own target, by its bare name: found in the program's folder, refused.
run(spied 1 HWLINK_SPY_TARGET=HWLINK32.DLL HWLINK_SPY_TRACE=self.jsonl -- klia.exe --board board.img info)
if(NOT run_error MATCHES "is this spy itself")
  message(FATAL_ERROR "a target that is the spy itself was not refused:\n${run_error}")
endif()
# The read-only guard: the same reads, no writes, the board as it was.
# expect_match(<text> <regex> <what is wrong>)
function(expect_match text regex what)
  if(NOT text MATCHES "${regex}")
    message(FATAL_ERROR "${what}:\n${text}")
  endif()
endfunction()
# expect_image_unchanged(<what ran>)
function(expect_image_unchanged what)
  file(READ ${WORK_DIR}/spied/guarded.img image_after HEX)
  if(NOT image_after STREQUAL image_before)
    message(FATAL_ERROR "${what}: the board image changed behind the read-only guard")
  endif()
endfunction()

run(spied 0 -- klia.exe --board guarded.img board create)
file(READ ${WORK_DIR}/spied/guarded.img image_before HEX)
run(spied 0 -- klia.exe --board guarded.img info)
set(info_output "${run_output}")
run(spied 0 HWLINK_SPY_GUARD=read-only HWLINK_SPY_TRACE=guarded-info.jsonl -- klia.exe --board guarded.img info)
# The same but for the line on the spy's guard, which says what the spy applies.
string(REGEX REPLACE "\n  guard: [^\n]*" "" guarded_output "${run_output}")
string(REGEX REPLACE "\n  guard: [^\n]*" "" info_output "${info_output}")
if(NOT run_output MATCHES "guard: read-only" OR NOT guarded_output STREQUAL info_output)
  message(FATAL_ERROR "klia info differs through the guard:\n${run_output}\nwithout it:\n${info_output}")
endif()
expect_match("${run_error}" "; guard on: only calls that read the board reach it" "the spy did not say that its guard is on")
foreach(command "watchdog;set;100" "log;clear" "hwstep;set;5" "format;--yes;--check-word;1")
  file(REMOVE ${WORK_DIR}/spied/guarded.jsonl)
  run(spied 1 HWLINK_SPY_GUARD=read-only HWLINK_SPY_TRACE=guarded.jsonl -- klia.exe --board guarded.img ${command})
  expect_match("${run_error}" "hwlink spy: the read-only guard kept [^\n]* from the board"
               "${command}: the guard did not say what it kept from the board")
  file(READ ${WORK_DIR}/spied/guarded.jsonl guarded_trace)
  if(NOT guarded_trace MATCHES "\"guarded\":true" OR guarded_trace MATCHES "\"result\":[1-9][0-9]*,\"guarded\"")
    message(FATAL_ERROR "${command}: no call is recorded as guarded, or a guarded one as answered")
  endif()
  expect_image_unchanged("${command}")
endforeach()
run(spied 0 -- klia.exe trace show guarded.jsonl)
expect_match("${run_output}" "guarded: not sent to the board" "klia trace show does not show the guarded call")
run(spied 1 HWLINK_SPY_GUARD=readonly HWLINK_SPY_TRACE=unknown.jsonl -- klia.exe --board guarded.img watchdog set 7)
expect_match("${run_error}" "guard \"readonly\" is neither \"read-only\" nor \"off\"; the guard is on"
             "an unknown guard value was not said")
expect_image_unchanged("a guard with an unknown value")
message(STATUS "the spy under Wine: ok")
