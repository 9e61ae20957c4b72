# SPDX-License-Identifier: BSD-3-Clause
# The floating-point model of the build: every product and sum rounded on its
# own, evaluated in double precision, no value-changing optimisation, and no
# start-up code that turns on flush-to-zero. A build that cannot have it
# stops here with the reason.
include(CheckCXXCompilerFlag)

# Contraction into fused multiply-add is on by default for g++ on several
# targets, and nothing in the source can detect it: a compiler that cannot
# switch it off cannot build the library.
check_cxx_compiler_flag(-ffp-contract=off CORX_HAS_FP_CONTRACT_OFF)
if(NOT CORX_HAS_FP_CONTRACT_OFF)
  message(FATAL_ERROR
    "${CMAKE_CXX_COMPILER} does not accept -ffp-contract=off: it could fuse a product "
    "and a sum into one rounding, and corx's results would not have their prescribed bits.")
endif()
set(CORX_FP_FLAGS -ffp-contract=off)
# The rest restate the default; a compiler that does not know one, or that
# warns it does not support it on the target (clang for wasm32 on
# -fno-unsafe-math-optimizations, which has no floating-point exceptions to
# model), gets nothing rather than a warning on every source.
include(CheckCXXSourceCompiles)
foreach(flag -fno-fast-math -fno-unsafe-math-optimizations)
  string(MAKE_C_IDENTIFIER "CORX_HAS${flag}" var)
  set(CMAKE_REQUIRED_FLAGS ${flag})
  check_cxx_source_compiles("int main() { return 0; }" ${var}
    FAIL_REGEX "[Uu]nsupported" "[Uu]nknown" "[Uu]nrecognized" "not supported" "unused")
  unset(CMAKE_REQUIRED_FLAGS)
  if(${var})
    list(APPEND CORX_FP_FLAGS ${flag})
  endif()
endforeach()

# Included ahead of every library source: its #error lines stop a
# translation unit compiled under another model.
set(CORX_FLOAT_MODEL_HEADER ${PROJECT_SOURCE_DIR}/src/runtime/float_model.h)
string(TOUPPER "${CMAKE_BUILD_TYPE}" _corx_config)

# The driver links crtfastmath.o, start-up code that sets flush-to-zero for
# the whole process, into whatever it links with -ffast-math, -Ofast or
# -funsafe-math-optimizations, shared libraries included. A later
# -fno-fast-math takes the first and the last back, which every target of
# the project gets below; nothing but another -O level takes -Ofast back, so
# -Ofast among the flags of a compile or a link is refused, even where the
# build type's own -O level happens to follow it.
foreach(var CMAKE_CXX_FLAGS CMAKE_C_FLAGS CMAKE_EXE_LINKER_FLAGS CMAKE_SHARED_LINKER_FLAGS CMAKE_MODULE_LINKER_FLAGS)
  foreach(v ${var} ${var}_${_corx_config})
    if(" ${${v}} " MATCHES "[ \t]-Ofast[ \t]")
      message(FATAL_ERROR
        "${v} contains -Ofast: it allows value-changing optimisations, and a program or library "
        "linked with it turns on flush-to-zero at start-up, so corx's results would not have "
        "their prescribed bits. Use -O3.")
    endif()
  endforeach()
endforeach()

# The flags the build was given, before the library's own are added: the
# library's flags would override -ffast-math in its own sources, but not in
# what the same flags build and link around it, so such a build is refused
# rather than half honoured.
set(CMAKE_TRY_COMPILE_CONFIGURATION ${CMAKE_BUILD_TYPE})  # with the build type's flags too
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/float_model_check.cpp
  CONTENT "#include \"${CORX_FLOAT_MODEL_HEADER}\"\nint main() { return 0; }\n")
try_compile(CORX_FLOAT_MODEL_OK ${PROJECT_BINARY_DIR}/float_model_check
  SOURCES ${PROJECT_BINARY_DIR}/float_model_check.cpp
  OUTPUT_VARIABLE _corx_output)
unset(CMAKE_TRY_COMPILE_CONFIGURATION)
if(NOT CORX_FLOAT_MODEL_OK)
  string(REGEX MATCH "#error \"([^\"]*)\"" _corx_error "${_corx_output}")
  if(CMAKE_MATCH_1)
    set(_corx_reason "${CMAKE_MATCH_1}")
  else()
    set(_corx_reason "the compiler cannot build a program with the flags given:\n${_corx_output}")
  endif()
  message(FATAL_ERROR "${_corx_reason}\n(CMAKE_CXX_FLAGS: \"${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${_corx_config}}\")")
endif()

set(CORX_FP_LINK_FLAGS)
foreach(flag -fno-fast-math -fno-unsafe-math-optimizations)
  string(MAKE_C_IDENTIFIER "CORX_HAS${flag}" var)
  if(${var})
    list(APPEND CORX_FP_LINK_FLAGS ${flag})
  endif()
endforeach()
