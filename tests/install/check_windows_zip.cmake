# Builds the Windows distribution with CPack, unpacks it into an empty folder and checks it as
# a user would:
#   1. the expected files are there, and the simulator's HWLINK32.DLL is only in simulator/;
#   2. klia.exe from simulator/ runs `info` and `tour` under Wine with nothing else on the
#      path: it must find mviahlp.dll and HWLINK32.DLL beside itself;
#   3. bin/klia.exe, beside no transport, shows its help and says what is missing;
#   4. a C caller compiled for the Visual C++ target and linked by lld-link against
#      lib/mviahlp.lib alone (no C runtime) binds and reads the board from simulator/.
# Arguments: BUILD_DIR WORK_DIR CPACK PACKAGE_NAME WINE WINEPREFIX LLVM_DLLTOOL CLANG LLD_LINK
#            MSVC_CALLER.

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err
                  WORKING_DIRECTORY ${WORK_DIR}/run)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${what}: ok\n${out}")
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/package ${WORK_DIR}/unpacked ${WORK_DIR}/run)

run("cpack" ${CPACK} -G ZIP --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/package)
set(zip ${WORK_DIR}/package/${PACKAGE_NAME}.zip)
if(NOT EXISTS ${zip})
  message(FATAL_ERROR "no ${zip}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip} WORKING_DIRECTORY ${WORK_DIR}/unpacked
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot unpack ${zip}")
endif()

set(root ${WORK_DIR}/unpacked/${PACKAGE_NAME})
foreach(file README.txt bin/mviahlp.dll bin/klia.exe lib/mviahlp.def lib/libmviahlp.dll.a lib/mviahlp.lib
             include/mviahlp.h
             simulator/HWLINK32.DLL simulator/README.txt simulator/klia.exe simulator/mviahlp.dll
             spy/HWLINK32.DLL spy/README.txt
             share/doc/mviahlp/LICENSE share/doc/mviahlp/USAGE.md
             dotnet/Mviahlp.cs dotnet/Example.cs dotnet/README.md)
  if(NOT EXISTS ${root}/${file})
    message(FATAL_ERROR "not in the zip: ${file}")
  endif()
endforeach()
file(GLOB_RECURSE files RELATIVE ${root} ${root}/*)
string(TOLOWER "${files}" files)
list(FILTER files INCLUDE REGEX "hwlink32")
if(NOT files STREQUAL "simulator/hwlink32.dll;spy/hwlink32.dll")
  message(FATAL_ERROR "the simulator must be in simulator/ only and the spy in spy/ only, found: ${files}")
endif()

# Wine as the build runs its programs, but with an empty WINEPATH: Windows finds the DLLs
# only in the program's folder (the working folder is an empty one).
include(${CMAKE_CURRENT_LIST_DIR}/../wine_environment.cmake)
set(wine ${wine_environment} ${WINE})
set(klia ${root}/simulator/klia.exe)
run("klia.exe board create" ${wine} ${klia} --board demo.img board create)
run("klia.exe info" ${wine} ${klia} --board demo.img info)
if(NOT run_output MATCHES "AVR")
  message(FATAL_ERROR "klia.exe info shows no board signature")
endif()
# bin/ has no transport: klia.exe still shows its help, and a command that needs the board
# says what is missing instead of failing to start.
run("bin/klia.exe --help without a transport" ${wine} ${root}/bin/klia.exe --help)
if(NOT run_output MATCHES "Usage: klia")
  message(FATAL_ERROR "bin/klia.exe --help shows no help")
endif()
execute_process(COMMAND ${wine} ${root}/bin/klia.exe --board demo.img info RESULT_VARIABLE result
                OUTPUT_VARIABLE out ERROR_VARIABLE err WORKING_DIRECTORY ${WORK_DIR}/run)
if(NOT result EQUAL 1 OR NOT err MATCHES "cannot load mviahlp.dll")
  message(FATAL_ERROR "bin/klia.exe without a transport: expected exit 1 and 'cannot load mviahlp.dll', got "
                      "${result}:\n${out}\n${err}")
endif()
run("klia.exe tour" ${wine} ${klia} --board tour.img tour)
if(NOT run_output MATCHES "tour complete: [0-9]+ steps OK")
  message(FATAL_ERROR "klia.exe tour did not complete")
endif()

# The Visual C++ import library. The caller's calls name the decorated stdcall symbols; the
# system's own import (ExitProcess) comes from an import library made here the same way. Both
# are 32-bit: the 64-bit test vehicle passes no MSVC_CALLER and leaves this step out.
if(NOT MSVC_CALLER)
  message(STATUS "the Visual C++ caller: not covered by the 64-bit build")
else()
set(msvc ${WORK_DIR}/msvc)
file(MAKE_DIRECTORY ${msvc})
file(WRITE ${msvc}/kernel32.def "LIBRARY kernel32.dll\nEXPORTS\n  ExitProcess@4\n")
run("kernel32.lib" ${LLVM_DLLTOOL} -m i386 -k -d ${msvc}/kernel32.def -l ${msvc}/kernel32.lib)
run("caller: compile for Visual C++" ${CLANG} --target=i686-pc-windows-msvc -O1 -Wall -Werror -I ${root}/include
    -c ${MSVC_CALLER} -o ${msvc}/msvc_caller.obj)
run("caller: link with lld-link" ${LLD_LINK} /nologo /subsystem:console /entry:caller_main /nodefaultlib
    ${msvc}/msvc_caller.obj ${root}/lib/mviahlp.lib ${msvc}/kernel32.lib /out:${root}/simulator/msvc_caller.exe)
run("caller (mviahlp.lib) binds and reads the board" ${wine} ${root}/simulator/msvc_caller.exe)
endif()

# The spy as its README installs it: beside the program, the real transport (here the
# simulator) renamed HWLINK32-REAL.DLL; the session runs and leaves a trace.
set(spied ${WORK_DIR}/spied)
file(MAKE_DIRECTORY ${spied})
file(COPY ${root}/simulator/klia.exe ${root}/simulator/mviahlp.dll ${root}/spy/HWLINK32.DLL DESTINATION ${spied})
file(COPY_FILE ${root}/simulator/HWLINK32.DLL ${spied}/HWLINK32-REAL.DLL)
run("klia.exe tour through the spy"
    ${wine_environment} HWLINK_SPY_TRACE=spied.jsonl ${WINE} ${spied}/klia.exe
    --board spied.img tour)
run("klia.exe trace show" ${wine} ${spied}/klia.exe trace show spied.jsonl)
if(NOT run_output MATCHES "read information \\[16\\]")
  message(FATAL_ERROR "the trace of the session through the spy does not show its exchanges:\n${run_output}")
endif()
