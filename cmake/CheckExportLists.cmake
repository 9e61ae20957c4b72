# SPDX-License-Identifier: BSD-3-Clause
# cmake -DROOT=<source dir> -P CheckExportLists.cmake
#
# Checks the lists kept beside the public header against it: the version
# script must export exactly the header's CORX_API functions, each under one
# version node (CORX_1.0, then each later node inheriting the one before it),
# and the fuzz target must call every one of them except the runtime entries
# (corx_init runs the start-up; the teardown ends the library's life). A
# function added to, renamed in or removed from the header without the
# others fails here.
cmake_policy(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/CorxExports.cmake)
corx_header_functions(${ROOT}/include/corx/corx.h header)

corx_map_nodes(${ROOT}/src/corx.map map_names map_nodes)
set(in_map)
foreach(node IN LISTS map_nodes)
  string(REPLACE "." "_" key "${node}")
  foreach(name IN LISTS map_names_${key})
    if(name IN_LIST in_map)
      set(failed 1)
      message(SEND_ERROR "src/corx.map: ${name} is in more than one version node")
    endif()
    list(APPEND in_map ${name})
  endforeach()
endforeach()
set(missing ${header})
list(REMOVE_ITEM missing ${in_map})
set(extra ${in_map})
list(REMOVE_ITEM extra ${header})
if(missing OR extra)
  set(failed 1)
  message(SEND_ERROR "src/corx.map differs from corx.h: not in the map: ${missing}; not in the header: ${extra}")
endif()

file(READ ${ROOT}/tests/fuzz/c_api_fuzz.cpp fuzz)
set(unfuzzed)
foreach(name IN LISTS header)
  if(NOT name MATCHES "^corxrt_" AND NOT fuzz MATCHES "[^A-Za-z0-9_]${name}\\(")
    list(APPEND unfuzzed ${name})
  endif()
endforeach()
if(unfuzzed)
  set(failed 1)
  message(SEND_ERROR "the fuzz target never calls: ${unfuzzed}")
endif()
list(LENGTH header n)
if(NOT failed)
  message(STATUS "${n} exported functions: the version script and the fuzz target agree with corx.h")
endif()
