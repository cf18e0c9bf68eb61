# Installs the Python package both ways a Python user does, and uses it:
#   1. cmake --install into a fresh prefix: the package lands in the prefix's site directory
#      and finds the installed library without any variable;
#   2. pip install ./python --no-build-isolation into a fresh virtual environment (from a
#      copy of the sources, so that pip's build files do not land in the source tree), with
#      the build's library named in MVIAHLP_LIBRARY.
# Arguments: BUILD_DIR WORK_DIR SOURCE_DIR PYTHON SITE LIBDIR LIBRARY.

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${what}: ok\n${out}")
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(check ${SOURCE_DIR}/python/tests/installed_check.py)
set(clean_environment --unset=MVIAHLP_LIBRARY --unset=HWLINK_VBOARD_IMAGE --unset=HWLINK_VBOARD_GEOMETRY
    --unset=PYTHONPATH PYTHONDONTWRITEBYTECODE=1)

# 1. cmake --install
set(prefix ${WORK_DIR}/prefix)
run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(file __init__.py board.py vboard.py py.typed error-meanings.json library-dir.txt)
  if(NOT EXISTS ${prefix}/${SITE}/mviahlp/${file})
    message(FATAL_ERROR "not installed: ${SITE}/mviahlp/${file}")
  endif()
endforeach()
run("the package installed by cmake"
    ${CMAKE_COMMAND} -E env ${clean_environment} PYTHONPATH=${prefix}/${SITE}
    ${PYTHON} ${check} ${prefix}/${SITE} ${prefix}/${LIBDIR})

# 2. pip install ./python --no-build-isolation, in a virtual environment that sees Debian's
#    setuptools and wheel
file(COPY ${SOURCE_DIR}/python ${SOURCE_DIR}/share DESTINATION ${WORK_DIR}/source
     PATTERN __pycache__ EXCLUDE PATTERN build EXCLUDE PATTERN *.egg-info EXCLUDE)
run("python3 -m venv" ${PYTHON} -m venv --system-site-packages ${WORK_DIR}/venv)
run("pip install ./python"
    ${CMAKE_COMMAND} -E env PIP_NO_CACHE_DIR=1 PIP_DISABLE_PIP_VERSION_CHECK=1
    ${WORK_DIR}/venv/bin/python -m pip install --no-build-isolation --no-index ${WORK_DIR}/source/python)
run("the package installed by pip"
    ${CMAKE_COMMAND} -E env ${clean_environment} MVIAHLP_LIBRARY=${LIBRARY}
    ${WORK_DIR}/venv/bin/python ${check} ${WORK_DIR}/venv)
file(REMOVE_RECURSE ${WORK_DIR})
