# Reading the table of error meanings, share/error-meanings.json, for the generators that
# turn it into C++ (cmake/ErrorMeanings.cmake, for klia) and C# (dotnet/GenerateMviahlp.cmake).
#
# meaning_rows(<json> <file> <key> <row> <quote> <out>)
#   One line per code of the table <key> of the JSON text <json>, in the order of the file:
#   <row> with @CODE@ replaced by the code and @WORDS@ by its words as the function <quote>
#   (text where out) makes them a literal of the target language. <file> names the table in
#   messages. A table that is empty, or a code that is not a 16-bit number in decimal, stops
#   the build with a message.

function(meaning_rows json file key row quote out)
  string(JSON count LENGTH "${json}" ${key})
  if(count EQUAL 0)
    message(FATAL_ERROR "${file}: ${key} is empty")
  endif()
  set(rows "")
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON code MEMBER "${json}" ${key} ${i})
    string(JSON words GET "${json}" ${key} ${code})
    if(NOT code MATCHES "^[0-9]+$" OR code GREATER 65535)
      message(FATAL_ERROR "${file}: ${key}: \"${code}\" is not a 16-bit code in decimal")
    endif()
    cmake_language(CALL ${quote} "${words}" "${key}.${code}" literal)
    string(REPLACE "@CODE@" "${code}" line "${row}")
    string(REPLACE "@WORDS@" "${literal}" line "${line}")
    string(APPEND rows "${line}")
  endforeach()
  set(${out} "${rows}" PARENT_SCOPE)
endfunction()
