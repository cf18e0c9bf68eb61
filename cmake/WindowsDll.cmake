# Helpers for the Windows builds (32-bit, and the 64-bit test vehicle).

# The module definition file to build with: `def` itself for 32-bit Windows; for 64-bit Windows,
# which has one calling convention and no "@N" decoration, a copy in the build tree with the
# decorations taken off (names and ordinals unchanged).
function(mviahlp_module_definition def out)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    file(READ ${def} text)
    string(REGEX REPLACE "([A-Za-z_][A-Za-z0-9_]*)@[0-9]+([ \t]+@)" "\\1\\2" text "${text}")
    get_filename_component(name ${def} NAME)
    set(copy ${CMAKE_CURRENT_BINARY_DIR}/undecorated/${name})
    get_property(made GLOBAL PROPERTY mviahlp_undecorated_definitions)
    if(NOT copy IN_LIST made)  # several DLLs of one folder may share a definition file
      file(GENERATE OUTPUT ${copy} CONTENT "${text}")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
      set_property(GLOBAL APPEND PROPERTY mviahlp_undecorated_definitions ${copy})
    endif()
    set(${out} ${copy} PARENT_SCOPE)
  else()
    set(${out} ${def} PARENT_SCOPE)
  endif()
endfunction()

# The commands that run dlltool with `args` (generator expressions allowed), for
# add_custom_command. dlltool leaves empty temporary files behind in $TMPDIR (/tmp), two per
# run, so it runs with TMPDIR set to the folder `scratch` in the build tree, which is removed
# afterwards: a build leaves nothing outside its build tree.
function(mviahlp_dlltool_commands out scratch)
  set(${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${scratch}
      COMMAND ${CMAKE_COMMAND} -E env TMPDIR=${scratch} ${CMAKE_DLLTOOL} ${ARGN}
      COMMAND ${CMAKE_COMMAND} -E rm -rf ${scratch}
      PARENT_SCOPE)
endfunction()

# Exports of a DLL come from its module definition file `def`, which names each stdcall
# function with its decoration (Name@N) and ordinal; --kill-at exports it under its plain
# name. The import library that ld writes would then carry the plain names too, which a
# stdcall caller (who asks for Name@N) cannot link against, so it is rewritten from the same
# definition file by dlltool: decorated symbols that import the plain names.
function(mviahlp_windows_dll target def)
  mviahlp_module_definition(${def} def)
  target_sources(${target} PRIVATE ${def})
  target_link_options(${target} PRIVATE -Wl,--kill-at)
  set_target_properties(${target} PROPERTIES PREFIX "" LINK_DEPENDS ${def})
  mviahlp_dlltool_commands(dlltool ${CMAKE_CURRENT_BINARY_DIR}/${target}.dlltool
    --kill-at --input-def ${def} --dllname $<TARGET_FILE_NAME:${target}> --output-lib $<TARGET_LINKER_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD ${dlltool} VERBATIM)
endfunction()

# An import library made from a module definition file alone (for a DLL we do not build, or
# import differently from how it is built), as the INTERFACE target `name`.
function(mviahlp_import_library name def)
  mviahlp_module_definition(${def} def)
  get_filename_component(base ${def} NAME_WE)
  set(lib ${CMAKE_CURRENT_BINARY_DIR}/lib${base}.a)
  mviahlp_dlltool_commands(dlltool ${lib}.dlltool --input-def ${def} --output-lib ${lib})
  add_custom_command(OUTPUT ${lib} ${dlltool} DEPENDS ${def} VERBATIM)
  add_custom_target(${name}_file DEPENDS ${lib})
  add_library(${name} INTERFACE)
  target_link_libraries(${name} INTERFACE ${lib})
  add_dependencies(${name} ${name}_file)
endfunction()

# A test, or a part of one, whose meaning exists only in a 32-bit process: the 64-bit test
# vehicle (win64) lists it by name, with `what` it covers, in build/win64/not-covered-by-win64.txt,
# which scripts/test prints beside the win64 results. Nothing is dropped silently.
function(mviahlp_not_covered_by_win64 name what)
  set_property(GLOBAL APPEND PROPERTY mviahlp_not_covered_by_win64 "${name}: ${what}")
  get_property(entries GLOBAL PROPERTY mviahlp_not_covered_by_win64)
  list(JOIN entries "\n" text)
  file(WRITE ${PROJECT_BINARY_DIR}/not-covered-by-win64.txt "${text}\n")
endfunction()
