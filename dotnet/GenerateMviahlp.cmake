# Makes dotnet/Mviahlp.cs: the C# declarations (Mviahlp.cs.in) with the words of the error
# codes taken from the project's one table of meanings, share/error-meanings.json, so that
# MviahlpException says what klia and the Python binding say.
#
#   cmake -DTEMPLATE=<Mviahlp.cs.in> -DMEANINGS=<error-meanings.json> -DOUTPUT=<Mviahlp.cs> -P GenerateMviahlp.cmake
#
# The words must be printable ASCII: the file is read by every C# compiler, some of which
# take a file without a byte-order mark in the system's code page.

include(${CMAKE_CURRENT_LIST_DIR}/../cmake/MeaningTables.cmake)

file(READ ${TEMPLATE} template)
file(READ ${MEANINGS} json)

set(marker "        // @ERROR-MEANINGS@\n")
string(FIND "${template}" "${marker}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${TEMPLATE}: the line \"// @ERROR-MEANINGS@\" is missing")
endif()

function(csharp_literal text where out)
  if(text MATCHES "[^ -~]")
    message(FATAL_ERROR "${MEANINGS}: ${where}: only printable ASCII can go into Mviahlp.cs")
  endif()
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

set(tables "")
foreach(pair "BindError;bind_error" "LastError;last_error" "DeviceStatus;device_status" "BoardStatus;board_status")
  list(GET pair 0 name)
  list(GET pair 1 key)
  meaning_rows("${json}" ${MEANINGS} ${key} "            { @CODE@, @WORDS@ },\n" csharp_literal rows)
  string(APPEND tables "        private static readonly Dictionary<int, string> ${name} = new Dictionary<int, string>\n"
                       "        {\n${rows}        };\n")
endforeach()
string(JSON other GET "${json}" board_status_other)
string(JSON unknown GET "${json}" unknown_code)
csharp_literal("${other}" board_status_other other)
csharp_literal("${unknown}" unknown_code unknown)
string(APPEND tables "        // For a board status without an entry: {decimal} and {hex} stand for the status.\n"
                     "        private const string BoardStatusOther = ${other};\n"
                     "        private const string UnknownCode = ${unknown};\n")

string(REPLACE "${marker}" "${tables}" generated "${template}")
set(generated "// Generated from dotnet/Mviahlp.cs.in and share/error-meanings.json: edit those files.\n${generated}")
file(WRITE ${OUTPUT} "${generated}")
