# SPDX-License-Identifier: BSD-3-Clause
# The public header include/corx/corx.h is the one list of exported
# functions: every declaration marked CORX_API is exported, nothing else.
# corx_header_functions reads that list; the build derives the expected
# dynamic symbol table from it, and CheckExportLists.cmake checks the hand
# kept lists (the version script, the fuzz target's coverage) against it.
function(corx_header_functions header out_var)
  file(READ ${header} text)
  # Drop preprocessor lines (the CORX_API definition itself) and comments.
  string(REGEX REPLACE "\n#[^\n]*" "\n" text "\n${text}")
  string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" " " text "${text}")
  string(REGEX MATCHALL "CORX_API[^;]+;" decls "${text}")
  set(names)
  foreach(decl IN LISTS decls)
    string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*)[ \t\r\n]*\\(" m "${decl}")
    list(APPEND names ${CMAKE_MATCH_1})
  endforeach()
  list(LENGTH names n)
  if(n EQUAL 0)
    message(FATAL_ERROR "no CORX_API declaration found in ${header}")
  endif()
  set(${out_var} ${names} PARENT_SCOPE)
endfunction()

# corx_map_nodes(map names_var nodes_var): the version nodes of the version
# script src/corx.map in their order, and each node's global names in
# <names_var>_<node> (the dots of the node's name as underscores). Fails
# unless the script is CORX_1.0 { global: ...; local: *; }; followed by
# nodes CORX_1.N { global: ...; } CORX_1.<N-1>; each inheriting the one
# before it.
function(corx_map_nodes map names_var nodes_var)
  file(READ ${map} text)
  string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" " " text "${text}")
  set(node_re "[ \t\r\n]*(CORX_[0-9]+\\.[0-9]+)[ \t\r\n]*{[ \t\r\n]*global:([^}]*)}[ \t\r\n]*(CORX_[0-9]+\\.[0-9]+)?[ \t\r\n]*;")
  set(nodes)
  set(previous)
  while(NOT text MATCHES "^[ \t\r\n]*$")
    if(NOT text MATCHES "^${node_re}")
      message(FATAL_ERROR "${map}: expected a version node CORX_x.y { global: ...; } at: ${text}")
    endif()
    set(node ${CMAKE_MATCH_1})
    set(body "${CMAKE_MATCH_2}")
    set(parent "${CMAKE_MATCH_3}")
    string(LENGTH "${CMAKE_MATCH_0}" consumed)
    string(SUBSTRING "${text}" ${consumed} -1 text)
    if(NOT nodes)
      if(NOT node STREQUAL "CORX_1.0" OR NOT parent STREQUAL "" OR NOT body MATCHES "local:[ \t\r\n]*\\*;[ \t\r\n]*$")
        message(FATAL_ERROR "${map}: the first node must be CORX_1.0 { global: ...; local: *; };")
      endif()
      string(REGEX REPLACE "local:[ \t\r\n]*\\*;[ \t\r\n]*$" "" body "${body}")
    elseif(NOT parent STREQUAL previous OR body MATCHES "local:")
      message(FATAL_ERROR "${map}: node ${node} must add names only and inherit ${previous}")
    endif()
    string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" names "${body}")
    string(REPLACE "." "_" key "${node}")
    set(${names_var}_${key} ${names} PARENT_SCOPE)
    list(APPEND nodes ${node})
    set(previous ${node})
  endwhile()
  set(${nodes_var} ${nodes} PARENT_SCOPE)
endfunction()
