# SPDX-License-Identifier: BSD-3-Clause
# The library version has one source: project(corx VERSION ...) in the
# top-level CMakeLists.txt. corx_write_version_header writes
# <dir>/corx/version.h from it; corx_read_project_version recovers it for
# builds that compile the sources outside the top-level project (the fuzz
# target).
set(_corx_version_dir ${CMAKE_CURRENT_LIST_DIR})

function(corx_read_project_version root out_var)
  file(STRINGS ${root}/CMakeLists.txt line REGEX "^project\\(corx VERSION [0-9]+\\.[0-9]+\\.[0-9]+")
  string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" version "${line}")
  if(NOT version)
    message(FATAL_ERROR "no project(corx VERSION x.y.z) line in ${root}/CMakeLists.txt")
  endif()
  set(${out_var} ${version} PARENT_SCOPE)
endfunction()

function(corx_write_version_header dir version)
  string(REPLACE "." ";" parts ${version})
  list(GET parts 0 CORX_VERSION_MAJOR)
  list(GET parts 1 CORX_VERSION_MINOR)
  list(GET parts 2 CORX_VERSION_PATCH)
  configure_file(${_corx_version_dir}/version.h.in ${dir}/corx/version.h @ONLY)
endfunction()
