"""The site's own Sphinx extension.

- Signatures from the stubs. The objects of zorvik's compiled modules carry
  untyped signatures (the first line of their docstrings, as help() shows
  them); their types live in the .pyi stub beside each module. Here each
  such object gets the stub's signature, every @overload of it on a line of
  its own, with the stub's private aliases written out and its type
  variables named K, V and T.
- Plain-text docstrings. A compiled module's docstrings are plain text for
  help(); the characters reST would read as markup are escaped, so that a
  `*` or a `|` in one never becomes a warning or swallowed text.
- The `source` role names a file of the repository, checks that it exists
  (a warning otherwise, which fails the build) and links to a page of the
  site that shows the file, highlighted, with line numbers.
- The `essay` directive shows the comment at the top of a C++ file (or the
  part of it from a line to a line), where the core explains its records and
  protocols, as text, so that the site says what the code says today.
"""

import ast
import copy
import functools
import html
import importlib.machinery
import importlib.util
import posixpath
from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective, SphinxRole

REPOSITORY = Path(__file__).resolve().parents[2]
CODE_PAGES = "_code"  # the pages that show the repository's files
LEXERS = {".cpp": "cpp", ".hpp": "cpp", ".py": "python", ".pyi": "python", ".toml": "toml", ".md": "markdown"}

logger = logging.getLogger(__name__)


# ---- signatures from the stubs ----------------------------------------------------------------


def _stub_path(module_name):
    """The .pyi stub of a compiled module, or None for any other module."""
    try:
        spec = importlib.util.find_spec(module_name)
    except (ImportError, ValueError):
        return None
    origin = spec.origin if spec else None
    if not origin or not origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
        return None
    stub = Path(origin).with_name(module_name.rpartition(".")[2] + ".pyi")
    return stub if stub.is_file() else None


class _Spelled(ast.NodeTransformer):
    """Writes a private alias out (recursively) and names a type variable
    without its underscore."""

    def __init__(self, aliases, type_variables):
        self.aliases = aliases
        self.type_variables = type_variables

    def visit_Name(self, node):
        if node.id in self.aliases:
            return self.visit(copy.deepcopy(self.aliases[node.id]))
        if node.id in self.type_variables:
            return ast.Name(id=node.id.lstrip("_"), ctx=node.ctx)
        return node


@functools.cache
def _stub_signatures(module_name):
    """{qualified name: [(arguments, return annotation), ...]} of a compiled
    module's stub, one pair per definition (several for an @overload);
    methods without their first parameter."""
    stub = _stub_path(module_name)
    if stub is None:
        return {}
    tree = ast.parse(stub.read_text(), str(stub))
    aliases, type_variables = {}, set()
    for node in tree.body:
        if isinstance(node, ast.Assign) and len(node.targets) == 1 and isinstance(node.targets[0], ast.Name):
            name = node.targets[0].id
            if not name.startswith("_"):
                continue
            if isinstance(node.value, ast.Call) and getattr(node.value.func, "id", None) == "TypeVar":
                type_variables.add(name)
            else:
                aliases[name] = node.value
    spelled = _Spelled(aliases, type_variables)
    signatures = {}

    def collect(body, prefix, in_class):
        for node in body:
            if isinstance(node, ast.ClassDef):
                collect(node.body, f"{prefix}{node.name}.", True)
            elif isinstance(node, ast.FunctionDef):
                arguments = spelled.visit(copy.deepcopy(node.args))
                if in_class and not any(getattr(d, "id", None) == "staticmethod" for d in node.decorator_list):
                    first = arguments.posonlyargs or arguments.args
                    del first[0]
                returns = "" if node.returns is None else ast.unparse(spelled.visit(copy.deepcopy(node.returns)))
                signatures.setdefault(prefix + node.name, []).append((f"({ast.unparse(arguments)})", returns))

    collect(tree.body, "", False)
    return signatures


def _home(obj):
    """(the module that defines obj, its qualified name there), or None."""
    owner = getattr(obj, "__objclass__", None)  # a method or descriptor of a compiled class
    module = getattr(owner if owner is not None else obj, "__module__", None)
    qualname = getattr(obj, "__qualname__", None)
    if not isinstance(module, str) or not isinstance(qualname, str):
        return None
    return module, qualname


def _signature_from_stub(app, what, name, obj, options, signature, return_annotation):
    # autodoc takes a replacement only for a signature it has found (in the
    # docstring's first line, or by inspect): not for properties, nor for a
    # class that gives none.
    if signature is None:
        return None
    if what == "class":
        home = _home(obj)
        home = home and (home[0], f"{home[1]}.__init__")
    elif what in ("method", "function"):
        home = _home(obj)
    else:
        return None
    found = _stub_signatures(home[0]).get(home[1]) if home else None
    if not found:
        return None
    if what == "class":
        return found[0][0], ""
    # autodoc adds the return annotation it is given to the last line, and
    # reads each line as a signature of the same object.
    lines = [f"{arguments} -> {returns}" if returns else arguments for arguments, returns in found[:-1]]
    lines.append(found[-1][0])
    return lines[0] + "".join(f"\n{home[1]}{line}" for line in lines[1:]), found[-1][1]


# ---- plain-text docstrings ----------------------------------------------------------------------

# Characters that start inline markup in reST, escaped in plain text.
_MARKUP = str.maketrans({"\\": "\\\\", "*": "\\*", "`": "\\`", "|": "\\|", "_": "\\_"})


def _plain_docstring(app, what, name, obj, options, lines):
    home = _home(obj)
    if home is None or _stub_path(home[0]) is None:
        return
    lines[:] = [line.translate(_MARKUP) if not line.lstrip().startswith(":") else line for line in lines]


# ---- the source role and the pages that show the repository's files ---------------------------


def _sources(env):
    if not hasattr(env, "zorvik_sources"):
        env.zorvik_sources = {}
    return env.zorvik_sources


class SourceRole(SphinxRole):
    """{source}`path/in/the/repository`: the path as code, linked to its page."""

    def run(self):
        path = self.text.strip()
        if not (REPOSITORY / path).is_file() or ".." in Path(path).parts:
            logger.warning("%s: no such file in the repository", path, location=self.get_location())
            return [nodes.literal(path, path)], []
        return [_source_link(self.env, path)], []


def _source_link(env, path):
    """A reference to the page that shows `path`, from the document being read."""
    _sources(env).setdefault(env.docname, set()).add(path)
    depth = env.docname.count("/")
    uri = posixpath.join(*([".."] * depth), CODE_PAGES, path + ".html") if depth else f"{CODE_PAGES}/{path}.html"
    reference = nodes.reference("", "", internal=True, refuri=uri)
    reference += nodes.literal(path, path)
    return reference


class EssayDirective(SphinxDirective):
    """The top comment of a C++ file as text: ```{essay} path``` with, as
    options, `from` and `to`: the first line shown (one that contains the
    text) and the line it stops before."""

    required_arguments = 1
    option_spec = {"from": directives.unchanged_required, "to": directives.unchanged_required}

    def run(self):
        path = self.arguments[0]
        file = REPOSITORY / path
        if not file.is_file():
            logger.warning("%s: no such file in the repository", path, location=self.get_location())
            return []
        self.env.note_dependency(str(file))  # read again when the file changes
        comment = []
        for line in file.read_text(encoding="utf-8").splitlines():
            if not line.startswith("//"):
                break
            comment.append(line[3:] if line.startswith("// ") else line[2:])
        start, end = 0, len(comment)
        for option in ("from", "to"):
            if option not in self.options:
                continue
            found = next((i for i, line in enumerate(comment) if self.options[option] in line), None)
            if found is None:
                logger.warning("%s: its top comment has no line with %r", path, self.options[option],
                               location=self.get_location())
                return []
            start, end = (found, end) if option == "from" else (start, found)
        text = "\n".join(comment[start:end]).strip("\n")
        block = nodes.literal_block(text, text, language="none")
        caption = nodes.paragraph("", "From ")
        caption += _source_link(self.env, path)
        return [block, caption]


def _purge(app, env, docname):
    _sources(env).pop(docname, None)


def _merge(app, env, docnames, other):
    _sources(env).update({name: paths for name, paths in _sources(other).items() if name in docnames})


def _code_pages(app):
    """One page for each repository file a `source` role names."""
    if app.builder.format != "html":
        return
    paths = sorted(set().union(*_sources(app.env).values()))
    for path in paths:
        text = (REPOSITORY / path).read_text(encoding="utf-8")
        lexer = LEXERS.get(Path(path).suffix, "text")
        body = app.builder.highlighter.highlight_block(text, lexer, linenos=True)
        yield f"{CODE_PAGES}/{path}", {"title": path, "body": f"<h1>{html.escape(path)}</h1>\n{body}"}, "page.html"


def setup(app):
    app.connect("autodoc-process-signature", _signature_from_stub)
    app.connect("autodoc-process-docstring", _plain_docstring)
    app.add_role("source", SourceRole())
    app.add_directive("essay", EssayDirective)
    app.connect("env-purge-doc", _purge)
    app.connect("env-merge-info", _merge)
    app.connect("html-collect-pages", _code_pages)
    return {"parallel_read_safe": True, "parallel_write_safe": True, "env_version": 1}
