# Helpers for the 32-bit Windows build.

# Exports of a DLL come from its module definition file `def`, which names each stdcall
# function with its decoration (Name@N) and ordinal; --kill-at exports it under its plain
# name. The import library that ld writes would then carry the plain names too, which a
# stdcall caller (who asks for Name@N) cannot link against, so it is rewritten from the same
# definition file by dlltool: decorated symbols that import the plain names.
function(mviahlp_windows_dll target def)
  target_sources(${target} PRIVATE ${def})
  target_link_options(${target} PRIVATE -Wl,--kill-at)
  set_target_properties(${target} PROPERTIES PREFIX "" LINK_DEPENDS ${def})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} --kill-at --input-def ${def} --dllname $<TARGET_FILE_NAME:${target}>
            --output-lib $<TARGET_LINKER_FILE:${target}>
    VERBATIM)
endfunction()

# An import library made from a module definition file alone (for a DLL we do not build, or
# import differently from how it is built), as the INTERFACE target `name`.
function(mviahlp_import_library name def)
  get_filename_component(base ${def} NAME_WE)
  set(lib ${CMAKE_CURRENT_BINARY_DIR}/lib${base}.a)
  add_custom_command(OUTPUT ${lib}
    COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --output-lib ${lib}
    DEPENDS ${def}
    VERBATIM)
  add_custom_target(${name}_file DEPENDS ${lib})
  add_library(${name} INTERFACE)
  target_link_libraries(${name} INTERFACE ${lib})
  add_dependencies(${name} ${name}_file)
endfunction()
