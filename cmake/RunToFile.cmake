# cmake -DOUTPUT=<file> -DCOMMAND=<program;args...> -P RunToFile.cmake
# Runs a program and keeps its standard output in OUTPUT; a failure stops the build.
execute_process(COMMAND ${COMMAND} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "${COMMAND} failed (${result})")
endif()
