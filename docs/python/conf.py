# SPDX-License-Identifier: BSD-3-Clause
# Sphinx configuration of the Python API reference (numpydoc docstrings).
#   /usr/bin/python3 -m sphinx -W -b html docs/python <out>
# or cmake --build <build> --target python-docs. The package is imported
# from this source tree; it needs the library (CORX_LIBRARY or build/).
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))

import corx  # noqa: E402

project = "corx"
author = "The corx developers"
copyright = "the corx developers"
version = release = corx.__version__

extensions = ["sphinx.ext.autodoc", "numpydoc"]
# Every public function documents its parameters and its result and shows
# an example; a missing section fails the build (sphinx -W).
numpydoc_validation_checks = {"PR01", "PR02", "RT01", "EX01"}
numpydoc_validation_exclude = {r"\.__\w+__$", r"\.Error\.", r"Error$", r"\.with_traceback$",
                               r"\.add_note$", r"SparseMatrix\.(nnz|T|shape)$"}
numpydoc_show_class_members = False
autodoc_typehints = "none"
autodoc_member_order = "bysource"
html_theme = "alabaster"
html_static_path = []
exclude_patterns = ["_build"]
nitpicky = False
