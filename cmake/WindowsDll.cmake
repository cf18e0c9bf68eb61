# Helpers for the 32-bit Windows build.

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
  get_filename_component(base ${def} NAME_WE)
  set(lib ${CMAKE_CURRENT_BINARY_DIR}/lib${base}.a)
  mviahlp_dlltool_commands(dlltool ${lib}.dlltool --input-def ${def} --output-lib ${lib})
  add_custom_command(OUTPUT ${lib} ${dlltool} DEPENDS ${def} VERBATIM)
  add_custom_target(${name}_file DEPENDS ${lib})
  add_library(${name} INTERFACE)
  target_link_libraries(${name} INTERFACE ${lib})
  add_dependencies(${name} ${name}_file)
endfunction()
