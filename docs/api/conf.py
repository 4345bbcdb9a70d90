"""Sphinx configuration of the API reference, built from the installed vantrel's docstrings.

Build: python -m sphinx -W --keep-going -b html docs/api build/docs (tests/test_docs.py does).
"""

import vantrel

project = "vantrel"
author = "the vantrel developers"
release = version = vantrel.__version__

extensions = ["sphinx.ext.autodoc", "numpydoc"]

# Members are listed by autodoc directives in the pages; numpydoc only renders sections.
numpydoc_show_class_members = False
# Type names in parameter lists stay plain text: there is no network to fetch other
# projects' inventories, so cross-references to pandas or NumPy could not resolve.
numpydoc_xref_param_type = False
autodoc_default_options = {"member-order": "bysource"}
autodoc_typehints = "none"  # the numpydoc sections already state the types

html_theme = "alabaster"
html_theme_options = {"description": "stock-portfolio backtests with a C++ core", "page_width": "1100px"}
exclude_patterns = ["_build"]
# Documented parameters that the signature does not have are stale or misparsed text.
numpydoc_validation_checks = {"GL08", "PR02"}
