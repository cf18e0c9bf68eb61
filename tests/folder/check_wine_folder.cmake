# klia swap and klia spy under Wine, on a program's folder as a site has it: the stand-in for the
# site's library (ours without KLIAGetErrorState) as mviahlp.dll, the virtual board as
# HWLINK32.DLL and a program (a copy of klia.exe as logon.exe, so that the folder's program has
# a machine type to check against):
#   1. swap, a session through the folder, compare with the kept original, undo: the folder as it was;
#   2. spy install, a session that klia info names, remove: the folder as it was;
#   3. a library refused (no KLIAFlush), and the library held open by a running program, each
#      leaving the folder as it was with the cause and the cure said.
# Arguments: BIN_DIR, OLD_DLL, WITHOUT_FLUSH_DLL, SPY_DLL, HOLD_FILE, WORK_DIR, WINE, WINEPREFIX.

include(${CMAKE_CURRENT_LIST_DIR}/../wine_environment.cmake)
set(wine ${wine_environment} ${WINE})


# The folder's names with the SHA-256 of each file.
function(snapshot variable)
  file(GLOB names RELATIVE ${program} ${program}/*)
  list(SORT names)
  set(listing "")
  foreach(name ${names})
    file(SHA256 ${program}/${name} digest)
    string(APPEND listing "${name} ${digest}\n")
  endforeach()
  set(${variable} "${listing}" PARENT_SCOPE)
endfunction()

function(expect_unchanged what)
  snapshot(now)
  if(NOT now STREQUAL before)
    message(FATAL_ERROR "${what}: the folder is not as it was:\n${before}\nnow:\n${now}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(program ${WORK_DIR}/program)
file(MAKE_DIRECTORY ${program})
file(COPY_FILE ${OLD_DLL} ${program}/mviahlp.dll)
file(COPY_FILE ${BIN_DIR}/HWLINK32.dll ${program}/HWLINK32.DLL)
file(COPY_FILE ${BIN_DIR}/klia.exe ${program}/logon.exe)
set(board ${WORK_DIR}/board.img)
run_klia_exe(0 --board ${board} board create --users 4 --data-pages 6 --log-pages 4)
run_klia_exe(0 --board ${board} format --yes --check-word 0x5A5A)
snapshot(before)

# 1. swap, session, compare, undo.
run_klia_exe(0 swap ${program} --library ${BIN_DIR}/mviahlp.dll)
if(NOT EXISTS ${program}/mviahlp.dll.klia-original OR NOT EXISTS ${program}/klia-swap.json)
  message(FATAL_ERROR "swap kept no original or no record:\n${run_output}")
endif()
run_klia_exe(0 --board ${board} --library ${program}/mviahlp.dll info)
if(run_error MATCHES "does not report its error state" OR NOT run_output MATCHES "Board information")
  message(FATAL_ERROR "the session did not go through the library swapped in:\n${run_output}\n${run_error}")
endif()
run_klia_exe(0 --board ${board} compare --old ${program}/mviahlp.dll.klia-original --new ${program}/mviahlp.dll
    --folder ${WORK_DIR}/compared)
run_klia_exe(0 swap ${program} --library ${BIN_DIR}/mviahlp.dll)
if(NOT run_output MATCHES "nothing to do")
  message(FATAL_ERROR "a second swap:\n${run_output}")
endif()
run_klia_exe(0 swap --undo ${program})
expect_unchanged("swap, session, compare, undo")
run_klia_exe(0 swap --undo ${program})
if(NOT run_output MATCHES "nothing to undo")
  message(FATAL_ERROR "a second undo:\n${run_output}")
endif()

# 2. spy install, session, remove.
run_klia_exe(0 spy install ${program} --trace ${WORK_DIR}/session.jsonl)
run_klia_exe(0 --board ${board} --library ${program}/mviahlp.dll info)
if(NOT run_output MATCHES "Transport spy:" OR NOT run_output MATCHES "klia spy install")
  message(FATAL_ERROR "klia info did not name the spy in front of the transport:\n${run_output}\n${run_error}")
endif()
file(READ ${WORK_DIR}/session.jsonl trace)
if(NOT trace MATCHES "\"type\":\"exchange\"")
  message(FATAL_ERROR "the spy recorded no exchange:\n${trace}")
endif()
run_klia_exe(0 spy status ${program})
if(NOT run_output MATCHES "in place")
  message(FATAL_ERROR "spy status:\n${run_output}")
endif()
run_klia_exe(0 spy remove ${program})
if(NOT run_output MATCHES "the traces are in")
  message(FATAL_ERROR "spy remove did not say where the traces are:\n${run_output}")
endif()
expect_unchanged("spy install, session, remove")

# 3. refused before any change.
run_klia_exe(1 swap ${program} --library ${WITHOUT_FLUSH_DLL})
if(NOT run_error MATCHES "KLIAFlush")
  message(FATAL_ERROR "a library without KLIAFlush:\n${run_error}")
endif()
expect_unchanged("a library without KLIAFlush")

# The library held open by a running program (as one that loaded it holds it).
foreach(hold open load)
  execute_process(COMMAND ${wine} ${HOLD_FILE} ${hold} ${program}/mviahlp.dll ${BIN_DIR}/klia.exe swap ${program}
                          --library ${BIN_DIR}/mviahlp.dll
                  WORKING_DIRECTORY ${BIN_DIR} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(hold STREQUAL "load" AND result EQUAL 0)
    # Wine replaces a file it has mapped as an image (Windows does not): nothing to check here.
    message(STATUS "Wine let klia replace a loaded DLL; the held-open case stands for it")
    run_klia_exe(0 swap --undo ${program})
    expect_unchanged("the undo after a loaded DLL was replaced")
    continue()
  endif()
  if(NOT result EQUAL 1 OR NOT err MATCHES "close the program that loaded it" OR NOT err MATCHES "is as it was")
    message(FATAL_ERROR "a library held (${hold}) by a running program: exit ${result}\n${out}\n${err}")
  endif()
  expect_unchanged("a library held (${hold}) by a running program")
endforeach()
