# SPDX-License-Identifier: BSD-3-Clause
# CORX_INSTALL_PYTHON: installs the Python package into
# CORX_PYTHON_INSTALL_DIR, beside the library. The package finds the
# installed library through _location.py, written here: the library's
# directory relative to the package when both sit under the prefix (so the
# installed tree stays relocatable), else absolute.
if(IS_ABSOLUTE "${CORX_PYTHON_INSTALL_DIR}")
  set(CORX_PY_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(CORX_PY_LIBDIR_RELATIVE False)
else()
  file(RELATIVE_PATH CORX_PY_LIBDIR /prefix/${CORX_PYTHON_INSTALL_DIR}/corx /prefix/${CMAKE_INSTALL_LIBDIR})
  set(CORX_PY_LIBDIR_RELATIVE True)
endif()
file(WRITE ${PROJECT_BINARY_DIR}/python/_location.py
  "# Written by cmake --install: where the installed libcorx.so.1 is.\n"
  "LIBRARY_DIR = \"${CORX_PY_LIBDIR}\"\n"
  "RELATIVE_TO_PACKAGE = ${CORX_PY_LIBDIR_RELATIVE}\n")
install(FILES
  ${PROJECT_SOURCE_DIR}/python/corx/__init__.py
  ${PROJECT_SOURCE_DIR}/python/corx/dask.py
  ${PROJECT_SOURCE_DIR}/python/corx/py.typed
  ${PROJECT_BINARY_DIR}/python/_location.py
  DESTINATION ${CORX_PYTHON_INSTALL_DIR}/corx)
if(TARGET corx_python_ext)
  install(TARGETS corx_python_ext LIBRARY DESTINATION ${CORX_PYTHON_INSTALL_DIR}/corx)
endif()
