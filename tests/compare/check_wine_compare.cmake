# klia probe, --library and compare under Wine, from klia.exe's own folder (BIN_DIR: klia.exe,
# mviahlp.dll and the virtual board's HWLINK32.DLL; the spy in ../spy):
#   1. our library compared with itself: exit 0;
#   2. with a library that reads the check word once where ours reads it twice: exit 1, the
#      third exchange named;
#   3. a library without KLIAGetErrorState (ordinal 27) runs the probe, and klia says once
#      that it does not report its error state;
#   4. a library that writes while it reads, beside a transport that guards nothing, with the
#      guard asked off: the probe pins klia's spy in front of it and the board stays as it was;
#   5. the golden traces replay clean through the spy installed beside klia.exe's library.
# Arguments: BIN_DIR, WITHOUT_ERROR_STATE_DLL, ONE_CHECK_WORD_READ_DLL, WRITES_WHILE_READING_DLL, SPY_DLL,
# GOLDEN_FOLDER, WORK_DIR,
# WINE, WINEPREFIX.

include(${CMAKE_CURRENT_LIST_DIR}/../wine_environment.cmake)
set(wine ${wine_environment} ${WINE})


file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(board ${WORK_DIR}/board.img)
run_klia_exe(0 --board ${board} board create --users 4 --data-pages 6 --log-pages 4)
run_klia_exe(0 --board ${board} format --yes --check-word 0x5A5A)
file(READ ${board} before HEX)

run_klia_exe(0 --board ${board} compare --old ${BIN_DIR}/mviahlp.dll --new ${BIN_DIR}/mviahlp.dll --folder ${WORK_DIR}/same)
if(NOT run_output MATCHES "the same: both libraries sent the same")
  message(FATAL_ERROR "compare of our library with itself:\n${run_output}")
endif()
foreach(file old.jsonl new.jsonl report.txt old/mviahlp.dll old/HWLINK32.DLL new/HWLINK32.DLL)
  if(NOT EXISTS ${WORK_DIR}/same/${file})
    message(FATAL_ERROR "compare left no ${file} in its folder")
  endif()
endforeach()

run_klia_exe(1 --json --board ${board} compare --old ${BIN_DIR}/mviahlp.dll --new ${ONE_CHECK_WORD_READ_DLL}
    --folder ${WORK_DIR}/differ)
if(NOT run_output MATCHES "\"exchange\": 3")
  message(FATAL_ERROR "compare with a library that differs in one exchange:\n${run_output}")
endif()

run_klia_exe(0 --board ${board} --library ${WITHOUT_ERROR_STATE_DLL} probe)
string(REGEX MATCHALL "does not report its error state" said "${run_error}")
list(LENGTH said times)
if(NOT run_output MATCHES "Every read did what it should" OR NOT times EQUAL 1)
  message(FATAL_ERROR "the probe through a library without ordinal 27:\n${run_output}\n${run_error}")
endif()

# A library that writes while it reads, in a folder beside a transport that guards nothing (as
# a site's folder holds them), with the spy's guard asked off in the environment: the probe loads
# klia's spy as HWLINK32.DLL before the library, so the library binds to it and its writes are
# kept from the board.
file(MAKE_DIRECTORY ${WORK_DIR}/site)
file(COPY ${WRITES_WHILE_READING_DLL} DESTINATION ${WORK_DIR}/site)
file(COPY_FILE ${BIN_DIR}/HWLINK32.dll ${WORK_DIR}/site/HWLINK32.DLL)
set(clean_environment ${wine_environment})
list(APPEND wine_environment HWLINK_SPY_GUARD=off)
run_klia_exe(0 --board ${board} --library ${WORK_DIR}/site/mviahlp.dll probe)
set(wine_environment ${clean_environment})
if(NOT run_error MATCHES "hwlink spy: active" OR NOT run_error MATCHES "read-only guard kept")
  message(FATAL_ERROR "the probe through a writing library beside an unguarded transport was not guarded:\n"
                      "${run_output}\n${run_error}")
endif()

file(READ ${board} after HEX)
if(NOT before STREQUAL after)
  message(FATAL_ERROR "the board image changed")
endif()

# The golden traces, replayed with the spy beside a copy of klia.exe and its library.
file(MAKE_DIRECTORY ${WORK_DIR}/replay)
file(COPY ${BIN_DIR}/klia.exe ${BIN_DIR}/mviahlp.dll DESTINATION ${WORK_DIR}/replay)
file(COPY_FILE ${SPY_DLL} ${WORK_DIR}/replay/HWLINK32.DLL)
file(GLOB golden ${GOLDEN_FOLDER}/*.jsonl)
foreach(trace ${golden})
  execute_process(COMMAND ${wine} ${WORK_DIR}/replay/klia.exe trace replay ${trace} -- klia.exe
                          --board ${WORK_DIR}/no-board.img probe --pages 2
                  WORKING_DIRECTORY ${WORK_DIR}/replay RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${trace}: the probe's traffic is no longer the recorded one (if intended, regenerate "
                        "with scripts/regen-golden):\n${out}\n${err}")
  endif()
endforeach()
