# SPDX-License-Identifier: BSD-3-Clause
# cmake -DROOT=<source dir> -P CheckExportLists.cmake
#
# Checks the lists kept beside the public header against it: the version
# script must export exactly the header's CORX_API functions, and the fuzz
# target must call every one of them except the runtime entries (corx_init
# runs the start-up; the teardown ends the library's life). A function added
# to, renamed in or removed from the header without the others fails here.
cmake_policy(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/CorxExports.cmake)
corx_header_functions(${ROOT}/include/corx/corx.h header)

file(READ ${ROOT}/src/corx.map map)
string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" " " map "${map}")
if(NOT map MATCHES "^[ \t\r\n]*CORX_1\\.0[ \t\r\n]*{[ \t\r\n]*global:([^}]*)local:[ \t\r\n]*\\*;[ \t\r\n]*};[ \t\r\n]*$")
  set(failed 1)
  message(SEND_ERROR "src/corx.map: expected one node CORX_1.0 { global: ...; local: *; };")
endif()
string(REPLACE ";" " " globals "${CMAKE_MATCH_1}")
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" in_map "${globals}")
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
