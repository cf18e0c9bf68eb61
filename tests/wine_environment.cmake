# Shared by the scripts that run our Windows programs under Wine (cmake -P).
#
# wine_environment: the command prefix that runs a program in a clean environment: none of
# the virtual board's or the spy's settings that the calling shell may hold, Wine quiet, in the
# prefix WINEPREFIX, without the Mono and Gecko installers. Append ${WINE} and the program
# (and, before ${WINE}, any NAME=value the run needs).
set(wine_environment
    ${CMAKE_COMMAND} -E env --unset=WINEPATH
    --unset=HWLINK_VBOARD_IMAGE --unset=HWLINK_VBOARD_GEOMETRY --unset=HWLINK_VBOARD_TRACE
    --unset=HWLINK_VBOARD_CREATE --unset=HWLINK_VBOARD_READ_ONLY
    --unset=HWLINK_SPY_TARGET --unset=HWLINK_SPY_TRACE --unset=HWLINK_SPY_SECRETS --unset=HWLINK_SPY_REPLAY
    --unset=HWLINK_SPY_GUARD
    WINEDEBUG=-all WINEPREFIX=${WINEPREFIX} WINEDLLOVERRIDES=mscoree,mshtml=)

# run_klia_exe(<expected exit code> <arguments of klia.exe...>): BIN_DIR's klia.exe, run in
# BIN_DIR; fails the script with its output when it exits otherwise. Sets run_output and
# run_error.
function(run_klia_exe expected)
  execute_process(COMMAND ${wine_environment} ${WINE} ${BIN_DIR}/klia.exe ${ARGN} WORKING_DIRECTORY ${BIN_DIR}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL expected)
    message(FATAL_ERROR "klia.exe ${ARGN} exited with ${result}, not ${expected}:\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
  set(run_error "${err}" PARENT_SCOPE)
endfunction()
