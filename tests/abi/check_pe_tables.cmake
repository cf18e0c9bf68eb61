# Checks the export and import tables of the 32-bit Windows binaries with `objdump -p`.
#
#   cmake -DOBJDUMP=<objdump> -DLIBRARY=<mviahlp.dll> -DTRANSPORT=<HWLINK32.DLL> -DSPY=<spy's HWLINK32.DLL>
#         -DVBOARD_HEADER=<vboard.h> -DBIN_DIR=<directory of every .exe and .dll> -P check_pe_tables.cmake
#
# The three DLLs: 32-bit (machine i386, PE32, the DLL flag), relocatable (DYNAMIC_BASE with a
#   base relocation table, so a program can load them wherever their preferred base is taken)
#   and NX_COMPAT.
# mviahlp.dll: export directory name mviahlp.dll, ordinal base 1, exactly the names and
#   ordinals below (nothing unnamed, nothing else); imports HWLINK32.DLL by ordinal 1000 and
#   1002 only, and otherwise only KERNEL32 and the C runtime.
# HWLINK32.DLL: HwTransfer at 1000, HwTransferEx at 1002, and every function of the virtual
#   board's control API by name.
# The spy's HWLINK32.DLL: exactly HwTransfer at 1000 and HwTransferEx at 1002, nothing else.
# Every exported name is plain (no stdcall decoration "@N").
# Every .exe and .dll: no MinGW runtime DLL (libstdc++, libgcc, libwinpthread) among its
#   imports, so each runs without one beside it.

cmake_minimum_required(VERSION 3.25)

set(expected_exports
  1 Today
  2 KLIAMakeUserXID
  3 KLIASetRTCDateTime
  4 KLIAGetRTCDateTime
  5 KLIASetWDTimeout
  6 KLIAGetWDTimeout
  7 KLIAClearLog
  8 KLIAWriteConfigData
  9 KLIAReadConfigData
  10 KLIAReadHwStep
  11 KLIAWriteHwStep
  12 KLIASetIaResult
  13 KLIAChangeUserPassword
  14 KLIAFormatDatabase
  15 KLIAFlush
  16 KLIAWriteDataEx
  17 KLIAWriteData
  18 KLIAReadDataEx
  19 KLIAReadData
  20 KLIAWriteUserData
  21 KLIAReadUserData
  22 KLIALogout
  23 KLIALogin
  24 KLIAGetCurrentUser
  25 KLIAGetInfo
  26 KLIADriverPresent
  27 KLIAGetErrorState)

set(failures 0)
macro(fail message)
  message(SEND_ERROR "${message}")
  math(EXPR failures "${failures} + 1")
endmacro()

function(read_pe_headers file out)
  execute_process(COMMAND ${OBJDUMP} -p ${file} OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${file} failed")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# "<ordinal> <name>" for every named export; `unnamed_out` gets the ordinals without a name.
function(parse_exports text named_out ordinals_out dll_name_out base_out)
  string(REGEX MATCH "Name[ \t]+[0-9a-fA-F]+ ([^\n]+)" m "${text}")
  set(${dll_name_out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  string(REGEX MATCH "Ordinal Base[ \t]+([0-9]+)" m "${text}")
  set(base "${CMAKE_MATCH_1}")
  set(${base_out} "${base}" PARENT_SCOPE)
  set(named "")
  set(ordinals "")
  string(REPLACE "\n" ";" lines "${text}")
  set(section "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^Export Address Table --")
      set(section address)
    elseif(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(section names)
    elseif(line MATCHES "^[^\t ]" OR line STREQUAL "")
      if(NOT line STREQUAL "")
        set(section "")
      endif()
    elseif(section STREQUAL "address" AND line MATCHES "\\+base\\[ *([0-9]+)\\]")
      list(APPEND ordinals ${CMAKE_MATCH_1})
    elseif(section STREQUAL "names" AND line MATCHES "^\t\\[ *([0-9]+)\\] ([^ \t]+)$")
      math(EXPR ordinal "${CMAKE_MATCH_1} + ${base}")
      list(APPEND named "${ordinal} ${CMAKE_MATCH_2}")
    endif()
  endforeach()
  set(${named_out} "${named}" PARENT_SCOPE)
  set(${ordinals_out} "${ordinals}" PARENT_SCOPE)
endfunction()

# "<DLL>|<ordinal or hint>|<name or <none>>" for every imported function, and the DLL names.
function(parse_imports text entries_out dlls_out)
  set(entries "")
  set(dlls "")
  set(dll "")
  string(REPLACE "\n" ";" lines "${text}")
  foreach(line IN LISTS lines)
    if(line MATCHES "DLL Name: ([^ \t]+)")
      set(dll "${CMAKE_MATCH_1}")
      list(APPEND dlls "${dll}")
    elseif(line MATCHES "^There is an export table" OR line MATCHES "^The Export Tables")
      set(dll "")
    elseif(NOT dll STREQUAL "" AND line MATCHES "^\t[0-9a-fA-F]+\t +([0-9]+) +([^ \t]+)")
      list(APPEND entries "${dll}|${CMAKE_MATCH_1}|${CMAKE_MATCH_2}")
    endif()
  endforeach()
  set(${entries_out} "${entries}" PARENT_SCOPE)
  set(${dlls_out} "${dlls}" PARENT_SCOPE)
endfunction()

# --- the headers of the three DLLs -----------------------------------------------------
# What a 32-bit program's loader needs of a DLL it is given in place of another. A macro, so
# that `fail` counts in the script's own scope.
macro(check_dll_headers file label)
  read_pe_headers(${file} text)
  if(NOT text MATCHES "file format pei-i386")
    string(REGEX MATCH "file format [^\n]*" format "${text}")
    fail("${label}: ${format}, expected pei-i386 (machine i386)")
  endif()
  if(NOT text MATCHES "Magic[ \t]+010b")
    fail("${label}: not a PE32 (32-bit) image")
  endif()
  string(REGEX MATCH "Characteristics 0x([0-9a-fA-F]+)" m "${text}")
  math(EXPR is_dll "0x${CMAKE_MATCH_1} & 0x2000")
  if(is_dll EQUAL 0)
    fail("${label}: the DLL flag is not set in its characteristics (0x${CMAKE_MATCH_1})")
  endif()
  string(REGEX MATCH "DllCharacteristics[ \t]+([0-9a-fA-F]+)" m "${text}")
  set(dll_characteristics "${CMAKE_MATCH_1}")
  math(EXPR dynamic_base "0x${dll_characteristics} & 0x0040")
  math(EXPR nx_compat "0x${dll_characteristics} & 0x0100")
  if(dynamic_base EQUAL 0 OR nx_compat EQUAL 0)
    fail("${label}: DllCharacteristics ${dll_characteristics} lack DYNAMIC_BASE (0x40) or NX_COMPAT (0x100)")
  endif()
  if(NOT text MATCHES "Entry 5 [0-9a-fA-F]+ ([0-9a-fA-F]+) Base Relocation Directory" OR CMAKE_MATCH_1 MATCHES "^0+$")
    fail("${label}: no base relocation table, so it cannot be moved from its preferred base")
  endif()
  parse_exports("${text}" named ordinals dll_name base)
  foreach(entry IN LISTS named)
    if(entry MATCHES "@")
      fail("${label}: exports the decorated name '${entry}'; names must be plain")
    endif()
  endforeach()
endmacro()
check_dll_headers(${LIBRARY} "mviahlp.dll")
check_dll_headers(${TRANSPORT} "HWLINK32.DLL (virtual board)")
check_dll_headers(${SPY} "HWLINK32.DLL (spy)")

# --- mviahlp.dll exports ---------------------------------------------------------------
read_pe_headers(${LIBRARY} library_text)
parse_exports("${library_text}" named ordinals dll_name base)
if(NOT dll_name STREQUAL "mviahlp.dll")
  fail("mviahlp.dll: export directory name is '${dll_name}', expected 'mviahlp.dll'")
endif()
if(NOT base STREQUAL "1")
  fail("mviahlp.dll: ordinal base is '${base}', expected 1")
endif()
set(expected_named "")
set(expected_ordinals "")
list(LENGTH expected_exports n)
math(EXPR last "${n} - 1")
foreach(i RANGE 0 ${last} 2)
  math(EXPR j "${i} + 1")
  list(GET expected_exports ${i} ordinal)
  list(GET expected_exports ${j} name)
  list(APPEND expected_named "${ordinal} ${name}")
  list(APPEND expected_ordinals ${ordinal})
endforeach()
list(SORT named)
list(SORT expected_named)
if(NOT named STREQUAL expected_named)
  set(missing ${expected_named})
  list(REMOVE_ITEM missing ${named})
  set(extra ${named})
  list(REMOVE_ITEM extra ${expected_named})
  fail("mviahlp.dll exports differ. Missing or moved: [${missing}]. Unexpected: [${extra}]")
endif()
list(SORT ordinals COMPARE NATURAL)
if(NOT ordinals STREQUAL expected_ordinals)
  fail("mviahlp.dll export ordinals are [${ordinals}], expected [${expected_ordinals}]")
endif()

# --- mviahlp.dll imports ---------------------------------------------------------------
parse_imports("${library_text}" imports dlls)
set(transport_imports "")
foreach(entry IN LISTS imports)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 dll)
  string(TOUPPER "${dll}" dll_upper)
  if(dll_upper STREQUAL "HWLINK32.DLL")
    list(GET fields 1 number)
    list(GET fields 2 name)
    if(NOT name STREQUAL "<none>")
      fail("mviahlp.dll imports '${name}' from HWLINK32.DLL by name; only ordinals are allowed")
    endif()
    list(APPEND transport_imports ${number})
  endif()
endforeach()
list(SORT transport_imports COMPARE NATURAL)
if(NOT transport_imports STREQUAL "1000;1002")
  fail("mviahlp.dll imports HWLINK32.DLL ordinals [${transport_imports}], expected [1000;1002]")
endif()
foreach(dll IN LISTS dlls)
  string(TOLOWER "${dll}" dll_lower)
  if(NOT dll_lower MATCHES "^(hwlink32|kernel32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\\.dll$")
    fail("mviahlp.dll imports ${dll}; only HWLINK32.DLL, KERNEL32 and the C runtime are allowed")
  endif()
endforeach()

# --- HWLINK32.DLL exports --------------------------------------------------------------
read_pe_headers(${TRANSPORT} transport_text)
parse_exports("${transport_text}" transport_named transport_ordinals transport_name transport_base)
foreach(required "1000 HwTransfer" "1002 HwTransferEx")
  if(NOT required IN_LIST transport_named)
    fail("HWLINK32.DLL does not export '${required}' (ordinal, name)")
  endif()
endforeach()
file(STRINGS ${VBOARD_HEADER} declarations REGEX "VBOARD_API .*\\(")
foreach(declaration IN LISTS declarations)
  if(declaration MATCHES "[ *](VBoard[A-Za-z0-9_]+)\\(")
    set(function ${CMAKE_MATCH_1})
    if(NOT transport_named MATCHES "[0-9]+ ${function}(;|$)")
      fail("HWLINK32.DLL does not export ${function} (add it to vboard/hwlink32.def)")
    endif()
  endif()
endforeach()

# --- the spy's exports: the transport's two entry points, and the two by which klia asks the
# spy which guard it applied (ordinals a transport never uses), and nothing else -------------
read_pe_headers(${SPY} spy_text)
parse_exports("${spy_text}" spy_named spy_ordinals spy_name spy_base)
list(SORT spy_named COMPARE NATURAL)
list(SORT spy_ordinals COMPARE NATURAL)
set(spy_expected "1000 HwTransfer;1002 HwTransferEx;1200 HwSpyGuard;1201 HwSpyGuardedCalls")
if(NOT spy_named STREQUAL spy_expected OR NOT spy_ordinals STREQUAL "1000;1002;1200;1201")
  fail("the spy's HWLINK32.DLL exports [${spy_named}] at ordinals [${spy_ordinals}], expected exactly [${spy_expected}]")
endif()

# --- no MinGW runtime DLL anywhere -----------------------------------------------------
file(GLOB binaries ${BIN_DIR}/*.exe ${BIN_DIR}/*.dll ${BIN_DIR}/*.DLL ${SPY})
foreach(binary IN LISTS binaries)
  read_pe_headers(${binary} text)
  parse_imports("${text}" entries dlls)
  foreach(dll IN LISTS dlls)
    string(TOLOWER "${dll}" dll_lower)
    if(dll_lower MATCHES "^(libstdc\\+\\+|libgcc|libwinpthread)")
      get_filename_component(binary_name ${binary} NAME)
      fail("${binary_name} imports the MinGW runtime DLL ${dll}")
    endif()
  endforeach()
endforeach()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} check(s) of the export and import tables failed")
endif()
list(LENGTH binaries binary_count)
message(STATUS "export and import tables as expected (${binary_count} binaries checked)")
