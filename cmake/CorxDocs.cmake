# SPDX-License-Identifier: BSD-3-Clause
# The documentation set, rendered by Doxygen: the comments of the public
# header with the pages of docs/ and CONTRIBUTING.md.
# cmake --build <build> --target docs writes <build>/docs/html.
# With -DCORX_DOCS_WARN_AS_ERROR=FAIL_ON_WARNINGS (as CI builds it) any
# warning, such as an undocumented function, fails the target.
set(CORX_DOCS_WARN_AS_ERROR NO CACHE STRING
  "Doxygen WARN_AS_ERROR for the docs target: NO, YES or FAIL_ON_WARNINGS")
find_program(DOXYGEN_EXECUTABLE doxygen)
set(CORX_DOCS_DIR ${PROJECT_BINARY_DIR}/docs)
file(GLOB CORX_DOC_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
list(APPEND CORX_DOC_PAGES ${PROJECT_SOURCE_DIR}/CONTRIBUTING.md)
file(GLOB CORX_DOC_CHARTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/bench/results/*.png)
if(DOXYGEN_EXECUTABLE)
  configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${PROJECT_BINARY_DIR}/Doxyfile @ONLY)
  add_custom_target(docs
    COMMAND ${DOXYGEN_EXECUTABLE} ${PROJECT_BINARY_DIR}/Doxyfile
    # The pages show the benchmark charts by their path in the source tree,
    # relative to docs/; the same path from html/ must find them.
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CORX_DOCS_DIR}/bench/results
    COMMAND ${CMAKE_COMMAND} -E copy ${CORX_DOC_CHARTS} ${CORX_DOCS_DIR}/bench/results
    COMMAND ${CMAKE_COMMAND} -E echo "API reference: ${CORX_DOCS_DIR}/html/index.html"
    DEPENDS ${PROJECT_SOURCE_DIR}/include/corx/corx.h ${CORX_DOC_PAGES} ${CORX_DOC_CHARTS}
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
    COMMENT "Rendering the API reference with Doxygen"
    VERBATIM)
else()
  add_custom_target(docs
    COMMAND ${CMAKE_COMMAND} -E echo "the docs target needs doxygen (Debian: apt-get install doxygen)"
    COMMAND ${CMAKE_COMMAND} -E false
    VERBATIM)
endif()

# --- Python API reference: cmake --build build --target python-docs -----------
# Sphinx with numpydoc (Debian's python3-sphinx, python3-numpydoc), warnings
# as errors: a public function without its Parameters, Returns or Examples
# section fails the build. The package is imported from the source tree with
# the library (and the compiled module, when built) of this build.
if(TARGET corx_python_ext)
  set(_corx_docs_ext "CORX_EXTENSION=$<TARGET_FILE:corx_python_ext>")
else()
  set(_corx_docs_ext "CORX_EXTENSION=none")
endif()
add_custom_target(python-docs
  COMMAND ${CMAKE_COMMAND} -E env "CORX_LIBRARY=$<TARGET_FILE:corx>" ${_corx_docs_ext} PYTHONDONTWRITEBYTECODE=1
          /usr/bin/python3 -m sphinx -W --keep-going -q -b html -d ${CORX_DOCS_DIR}/python-doctrees
          ${PROJECT_SOURCE_DIR}/docs/python ${CORX_DOCS_DIR}/python
  DEPENDS corx
  COMMENT "Python API reference into ${CORX_DOCS_DIR}/python"
  VERBATIM)
if(TARGET corx_python_ext)
  add_dependencies(python-docs corx_python_ext)
endif()
