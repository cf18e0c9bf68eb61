# Installs the build into a fresh prefix and uses it as a user would:
#   1. the expected files are there;
#   2. a C program configured with find_package(mviahlp) builds and runs against the virtual
#      board;
#   3. the same program compiled with `pkg-config --cflags --libs mviahlp` runs too: with
#      LD_LIBRARY_PATH, and, built as README shows (an rpath to pkg-config's libdir), with
#      nothing on the library path;
#   4. the installed klia runs (it finds its library in ../lib, the library its transport
#      through its run path);
#   5. no installed run path searches the current folder or points into the build tree.
# Arguments: BUILD_DIR WORK_DIR CONSUMER_DIR LIBDIR GENERATOR C_COMPILER C_FLAGS
#            EXE_LINKER_FLAGS PKG_CONFIG READELF RUN_PATHS_CHECK.

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${what}: ok\n${out}")
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
# Every program here talks to a fresh in-memory virtual board unless told otherwise.
unset(ENV{HWLINK_VBOARD_IMAGE})
unset(ENV{HWLINK_VBOARD_GEOMETRY})

run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(file include/mviahlp.h ${LIBDIR}/libmviahlp.so ${LIBDIR}/libhwlink32.so bin/klia
             ${LIBDIR}/cmake/mviahlp/mviahlpConfig.cmake ${LIBDIR}/cmake/mviahlp/mviahlpConfigVersion.cmake
             ${LIBDIR}/pkgconfig/mviahlp.pc share/doc/mviahlp/LICENSE share/doc/mviahlp/USAGE.md
             share/bash-completion/completions/klia share/man/man1/klia.1)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
# The library is versioned: a SONAME with the major version.
file(GLOB sonamed ${prefix}/${LIBDIR}/libmviahlp.so.[0-9])
if(NOT sonamed)
  message(FATAL_ERROR "no libmviahlp.so.<major> installed")
endif()
# The header is the only one installed: the virtual board's control header is not.
file(GLOB_RECURSE headers RELATIVE ${prefix}/include ${prefix}/include/*)
if(NOT headers STREQUAL "mviahlp.h")
  message(FATAL_ERROR "installed headers: ${headers}")
endif()

# The CMake package.
run("consumer: configure with find_package" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/find -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${C_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${EXE_LINKER_FLAGS}")
run("consumer: build" ${CMAKE_COMMAND} --build ${WORK_DIR}/find)
run("consumer (find_package): run" ${WORK_DIR}/find/consumer)

# pkg-config, from the installed .pc alone.
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run("pkg-config" ${PKG_CONFIG} --cflags --libs mviahlp)
string(STRIP "${run_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
run("pkg-config --modversion" ${PKG_CONFIG} --modversion mviahlp)
string(STRIP "${run_output}" pc_version)
separate_arguments(c_flags UNIX_COMMAND "${C_FLAGS} ${EXE_LINKER_FLAGS}")
run("consumer: compile with pkg-config" ${C_COMPILER} ${c_flags} -DEXPECTED_VERSION="${pc_version}"
    ${CONSUMER_DIR}/consumer.c ${pc_flags} -o ${WORK_DIR}/consumer-pc)
run("consumer (pkg-config): run" ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR} ${WORK_DIR}/consumer-pc)
run("pkg-config --variable=libdir" ${PKG_CONFIG} --variable=libdir mviahlp)
string(STRIP "${run_output}" pc_libdir)
run("consumer: compile with pkg-config and an rpath" ${C_COMPILER} ${c_flags} -DEXPECTED_VERSION="${pc_version}"
    ${CONSUMER_DIR}/consumer.c ${pc_flags} -Wl,-rpath,${pc_libdir} -o ${WORK_DIR}/consumer-rpath)
run("consumer (pkg-config, rpath): run" ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${WORK_DIR}/consumer-rpath)

# The installed tool, with nothing on the library path.
unset(ENV{LD_LIBRARY_PATH})
file(REMOVE ${WORK_DIR}/board.img)
run("installed klia: board create" ${prefix}/bin/klia --board ${WORK_DIR}/board.img board create)
run("installed klia" ${prefix}/bin/klia --board ${WORK_DIR}/board.img info)

# Run paths: the installed library's is $ORIGIN, nothing of the build tree.
include(${RUN_PATHS_CHECK})
check_run_paths_under(${READELF} ${BUILD_DIR} ${prefix})
