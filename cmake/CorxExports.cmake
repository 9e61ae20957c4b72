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
