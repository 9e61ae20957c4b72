# SPDX-License-Identifier: BSD-3-Clause
"""The ctypes table of the package against the public header corx.h, the one
list of exported functions: the same functions, with the same result and
argument types, and the same by-value structs and function pointer types."""
import ctypes
import pathlib
import re

import corx

HEADER = pathlib.Path(__file__).resolve().parents[2] / "include" / "corx" / "corx.h"

SCALARS = {
    "void": None, "bool": ctypes.c_bool, "double": ctypes.c_double, "int32_t": ctypes.c_int32,
    "int64_t": ctypes.c_int64, "uint64_t": ctypes.c_uint64, "CorxStatus": ctypes.c_int32,
    "CorxMatrix": ctypes.c_void_p, "CorxSparse": ctypes.c_void_p,
    "CorxVec2": corx._Vec2, "CorxVec3": corx._Vec3, "CorxVec4": corx._Vec4,
}


def ctype(decl):
    """The ctypes type of a C type as written in the header ("const double*")."""
    decl = decl.replace("const ", "").strip()
    if decl == "char*":
        return ctypes.c_char_p
    if decl == "void*":
        return ctypes.c_void_p
    if decl in FUNCTION_TYPES:
        return FUNCTION_TYPES[decl]
    if decl.endswith("*"):
        return ctypes.POINTER(SCALARS[decl[:-1].strip()])
    return SCALARS[decl]


def header_text():
    text = re.sub(r"/\*.*?\*/", " ", HEADER.read_text(), flags=re.S)
    return re.sub(r"^#.*$", "", text, flags=re.M)


def parameter_types(params):
    """The C types of a parameter list as written in the header, names dropped."""
    if params.strip() == "void":
        return []
    return [re.sub(r"\s*\b\w+$", "", p.strip()).replace(" *", "*") for p in params.split(",")]


# The header's function pointer typedefs, in the order they are declared
# (a later one may take an earlier one), as CFUNCTYPE types.
FUNCTION_TYPES = {}


def read_function_types():
    for m in re.finditer(r"typedef\s+([^;(]*?)\s*\(\s*\*\s*(\w+)\s*\)\s*\(([^)]*)\)\s*;", header_text()):
        result, name, params = m.groups()
        FUNCTION_TYPES[name] = ctypes.CFUNCTYPE(ctype(result), *map(ctype, parameter_types(params)))


def header_prototypes():
    protos = {}
    for m in re.finditer(r"CORX_API\s+([^;(]*?)\s*\b(\w+)\s*\(([^)]*)\)\s*;", header_text()):
        result, name, params = m.groups()
        args = parameter_types(params)
        protos[name] = (ctype(result.replace(" *", "*")), [ctype(a) for a in args])
    return protos


def same(a, b):
    if a is None or b is None:
        return a is b
    if isinstance(a, type) and issubclass(a, ctypes._CFuncPtr):
        return (isinstance(b, type) and issubclass(b, ctypes._CFuncPtr) and a._flags_ == b._flags_
                and same(a._restype_, b._restype_) and len(a._argtypes_) == len(b._argtypes_)
                and all(map(same, a._argtypes_, b._argtypes_)))
    if hasattr(a, "_type_") and hasattr(b, "_type_") and issubclass(a, ctypes._Pointer):
        return issubclass(b, ctypes._Pointer) and same(a._type_, b._type_)
    return a is b


def test_ctypes_table_matches_the_header():
    read_function_types()
    assert same(corx._Task, FUNCTION_TYPES["CorxTask"])
    assert same(corx._Executor, FUNCTION_TYPES["CorxExecutor"])
    assert not same(corx._Executor, FUNCTION_TYPES["CorxTask"])
    protos = header_prototypes()
    assert len(protos) == len(re.findall(r"\bCORX_API\s", header_text())) > 50
    assert sorted(corx._SIGNATURES) == sorted(protos)
    for name, (result, args) in protos.items():
        got_result, got_args = corx._SIGNATURES[name]
        assert same(got_result, result), (name, got_result, result)
        assert len(got_args) == len(args) and all(map(same, got_args, args)), (name, got_args, args)
    for n, struct in ((2, corx._Vec2), (3, corx._Vec3), (4, corx._Vec4)):
        body = re.search(rf"typedef struct CorxVec{n} {{([^}}]*)}}", header_text()).group(1)
        members = re.findall(r"(\w+)\s+(\w+)\s*;", body)
        assert [(f, t) for f, t in struct._fields_] == [(name, ctype(c)) for c, name in members]
