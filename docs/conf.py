"""Sphinx's settings for zorvik's documentation site.

Pages are Markdown (MyST), as the README is, so that one runner
(tests/python/test_docs.py) runs the code examples of both. The API reference
is autodoc's, from the installed package's docstrings, with the signatures of
the compiled modules taken from their .pyi stubs (_ext/zorvik_docs.py). Build
it with `python3 scripts/dev.py docs`; the tests build it too, with warnings
as errors.
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

# The installed package: its version, and its docstrings. The compiled modules
# are imported here, before autodoc looks for them: left to itself, a recent
# autodoc would load a native module's .pyi stub in its place, and the stubs
# hold no docstrings (_ext/zorvik_docs.py takes their signatures instead).
import zorvik  # noqa: E402
import zorvik._shared  # noqa: E402, F401
import zorvik.brandel  # noqa: E402, F401
import zorvik.fennick  # noqa: E402, F401
import zorvik.tools  # noqa: E402, F401

project = "zorvik"
author = "the zorvik developers"
copyright = "2026, the zorvik developers"
release = version = zorvik.__version__

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "zorvik_docs",
]

source_suffix = {".md": "markdown"}
exclude_patterns = ["_build", "_ext"]
# Links to a page's sections ([text](page.md#a-heading)) down to ###.
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

# Single backquotes in the Python modules' docstrings (reST) mean code.
default_role = "code"
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_class_signature = "mixed"

html_theme = "furo"
html_title = f"zorvik {release}"
html_static_path = []
