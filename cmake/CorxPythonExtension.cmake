# SPDX-License-Identifier: BSD-3-Clause
# corx._ext, the Python package's compiled hot path (python/corx/_ext.c),
# for the interpreter the tests and CORX_INSTALL_PYTHON use. It is built
# into build/python/corx/, where the package looks for it when imported
# from the source tree, and installed into the package by
# CORX_INSTALL_PYTHON. Without Python's headers or numpy's, the package
# runs on its ctypes path alone and the target is skipped.
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  # The system interpreter: the one with numpy (tests/CMakeLists.txt runs it).
  set(Python3_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python3 COMPONENTS Interpreter Development.Module NumPy)
if(Python3_FOUND AND Python3_NumPy_FOUND)
  Python3_add_library(corx_python_ext MODULE WITH_SOABI python/corx/_ext.c)
  target_include_directories(corx_python_ext PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_link_libraries(corx_python_ext PRIVATE Python3::NumPy)
  target_compile_options(corx_python_ext PRIVATE ${CORX_WARN_FLAGS})
  # The module calls the library the package loaded (addresses handed over
  # at import), so it does not link against libcorx.
  set_target_properties(corx_python_ext PROPERTIES
    OUTPUT_NAME _ext C_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/python/corx)
  set(CORX_PYTHON_EXTENSION_FILE $<TARGET_FILE:corx_python_ext>)
else()
  message(STATUS "corx: no Python headers or numpy for ${Python3_EXECUTABLE}: "
                 "the Python package will use its ctypes path only")
endif()
