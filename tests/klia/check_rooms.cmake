# klia's rooms and which may use which (docs/ARCHITECTURE.md), checked on its sources:
#   - a file includes klia's headers only from its own room or a room below it;
#   - only the platform room says which system it is built for (_WIN32).
# Run as: cmake -DKLIA_DIR=<tools/klia> -P check_rooms.cmake
if(NOT KLIA_DIR)
  message(FATAL_ERROR "usage: cmake -DKLIA_DIR=<tools/klia> -P check_rooms.cmake")
endif()

# From the bottom up. main.cpp, the door, stands above them all.
set(rooms platform shell site library board proof)

function(room_rank room out)
  list(FIND rooms "${room}" rank)
  set(${out} ${rank} PARENT_SCOPE)
endfunction()

set(failures 0)
file(GLOB_RECURSE sources RELATIVE ${KLIA_DIR} ${KLIA_DIR}/*.cpp ${KLIA_DIR}/*.h)
foreach(source IN LISTS sources)
  if(source STREQUAL "main.cpp")
    set(room door)
    list(LENGTH rooms rank)
  else()
    string(REGEX REPLACE "/.*" "" room "${source}")
    room_rank("${room}" rank)
    if(rank LESS 0 OR NOT source MATCHES "/")
      message(NOTICE "  ${source}: not in a room (${rooms}); put it in the room of what it is for")
      math(EXPR failures "${failures} + 1")
      continue()
    endif()
  endif()

  file(STRINGS ${KLIA_DIR}/${source} includes REGEX "^#[ \t]*include[ \t]+\"[a-z_]+/")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^#[ \t]*include[ \t]+\"([a-z_]+)/.*" "\\1" used "${line}")
    room_rank("${used}" used_rank)
    if(used_rank LESS 0)
      continue()  # not one of klia's rooms (the library's, the spy's or the trace's headers)
    endif()
    if(used_rank GREATER rank)
      message(NOTICE "  ${source}: the ${room} room reaches up into the ${used} room (${line})")
      math(EXPR failures "${failures} + 1")
    endif()
  endforeach()

  if(NOT room STREQUAL "platform")
    file(STRINGS ${KLIA_DIR}/${source} platform_lines REGEX "_WIN32")
    foreach(line IN LISTS platform_lines)
      message(NOTICE "  ${source}: only the platform room says which system it is built for: ${line}")
      math(EXPR failures "${failures} + 1")
    endforeach()
  endif()
endforeach()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} breach(es) of klia's rooms")
endif()
