"""The documentation: every code example of the README and of the site (docs/)
runs, so that none goes stale, and the site builds without a warning.

A fenced block is run by its language:

    pycon     a session: the pycon blocks of a page run in order, in one
              interpreter, under doctest, which compares what each line
              shows with what the page shows
    python    a program: each block runs on its own in a fresh interpreter
              and must end with status 0; the comment after a print() call
              (`print(len(d))  # 100`) is what it prints: the program's
              output must hold those lines, in order. A program that reads
              REDIS_URL gets the URL of the tests' Redis server there (its
              page's test is skipped where no server can run)
    console   each `zorvik ...` or `python -m zorvik ...` line must be one the
              command line accepts (what it prints is a file's, not ours)
    sh        each script it names in the repository (a .py file, or one in
              .ci/) must exist, where its folder does

The python blocks and examples/ also type-check under mypy --strict.

A page shows code that is not to be run with the code-block directive
(```{code-block} python), which this runner leaves alone. Examples run in an
empty directory of their own, with TMPDIR another: an example that leaves a
temporary file behind fails.
"""

import ast
import contextlib
import fcntl
import io
import itertools
import os
import re
import shlex
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import zorvik
from zorvik import SharedDict, _docs

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
PAGES = [ROOT / "README.md", *sorted(DOCS.rglob("*.md"))]
# ```lang at the start of a line, up to the closing fence of the same length.
FENCE = re.compile(r"^(?P<fence>```+)(?P<lang>[\w-]*)[^\n]*\n(?P<body>.*?)^(?P=fence)\s*$", re.M | re.S)
# A line that prints, and the comment that shows what it prints.
PRINTS = re.compile(r"^\s*print\(.*\)\s+#\s?(?P<shown>.*?)\s*$")
# Folders of the repository that shell examples name files in.
TOP_FOLDERS = ("bench", "docs", "examples", "scripts", "src", "tests", ".ci")
LIMIT = 300  # seconds; a guard against a hang, never part of a check
# The variable a program that needs a Redis server reads its URL from.
SERVER_URL = "REDIS_URL"


def blocks(page, language):
    """(line of the block's first line of code, its code) for each block of `language`."""
    text = page.read_text(encoding="utf-8")
    for found in FENCE.finditer(text):
        if found["lang"] == language:
            yield text.count("\n", 0, found.start("body")) + 1, found["body"]


def cases(language):
    return [pytest.param(page, id=str(page.relative_to(ROOT))) for page in PAGES if any(blocks(page, language))]


def at_its_lines(page, language, only_line=None):
    """The page's code of `language` at the line numbers it has in the page
    (blank lines elsewhere), so that tracebacks and doctest point into it."""
    lines = [""] * (page.read_text(encoding="utf-8").count("\n") + 1)
    for first, code in blocks(page, language):
        if only_line is None or first == only_line:
            for offset, line in enumerate(code.splitlines()):
                lines[first - 1 + offset] = line
    return "\n".join(lines) + "\n"


@pytest.fixture
def places(tmp_path):
    """(an empty working directory, an empty TMPDIR, the environment to run in)."""
    work, temporary = tmp_path / "work", tmp_path / "tmp"
    work.mkdir()
    temporary.mkdir()
    return work, temporary, {**os.environ, "TMPDIR": str(temporary)}


def run_in(places, script_name, code, *arguments):
    work, temporary, environment = places
    script = work.parent / script_name
    script.write_text(code)
    done = subprocess.run([sys.executable, *arguments, str(script)], cwd=work, env=environment,
                          capture_output=True, text=True, timeout=LIMIT)
    if done.returncode != 0:
        pytest.fail(done.stdout + done.stderr, pytrace=False)
    if os.listdir(temporary):
        pytest.fail(f"{script_name}: an example left a temporary file behind: {os.listdir(temporary)}", pytrace=False)
    return done.stdout


@pytest.mark.parametrize("page", cases("pycon"))
def test_sessions(places, page):
    # The page's sessions, checked by doctest with the page's line numbers.
    run_in(places, f"{page.name}.txt", at_its_lines(page, "pycon"), "-m", "doctest", "-o", "ELLIPSIS")


@pytest.mark.parametrize("page", cases("python"))
def test_programs(places, page, request):
    for first, code in blocks(page, "python"):
        if SERVER_URL in code:  # a program for a Redis server: the tests' own, started on first use
            places[2][SERVER_URL] = request.getfixturevalue("redis_server").url
        printed = run_in(places, f"{page.stem}_line_{first}.py", at_its_lines(page, "python", only_line=first))
        lines = iter(line.strip() for line in printed.splitlines())
        for number, line in enumerate(code.splitlines(), first):
            shown = PRINTS.match(line)
            if shown and not any(printed_line == shown["shown"] for printed_line in lines):
                pytest.fail(f"{page.name}, line {number}: the program did not print {shown['shown']!r} there; "
                            f"it printed:\n{printed}", pytrace=False)


def test_python_examples_type_check_strictly(tmp_path):
    # The python blocks of the README and the site, and examples/, as a user's
    # code under mypy --strict: the stubs type `with SharedDict() as d:` and
    # the rest without a note from the reader.
    pytest.importorskip("mypy", reason="the test extra is not installed")
    checked = tmp_path / "checked"
    checked.mkdir()
    for page in PAGES:
        for first, code in blocks(page, "python"):
            (checked / f"{page.stem.replace('-', '_')}_line_{first}.py").write_text(code)
    examples = ROOT / "examples"
    if examples.is_dir():
        for example in examples.glob("*.py"):
            (checked / f"example_{example.name}").write_text(example.read_text(encoding="utf-8"))
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                           "--no-error-summary", *sorted(os.listdir(checked))],
                          cwd=checked, capture_output=True, text=True, timeout=LIMIT)
    if done.returncode != 0:
        pytest.fail(done.stdout + done.stderr, pytrace=False)


@pytest.mark.parametrize("page", cases("console"))
def test_command_lines(page):
    from zorvik.__main__ import parser

    for first, code in blocks(page, "console"):
        for number, line in enumerate(code.splitlines(), first):
            if not line.startswith("$ "):
                continue  # what the command printed
            lexer = shlex.shlex(line[2:], posix=True, punctuation_chars=True)
            lexer.commenters = "#"
            lexer.wordchars += ":@"  # a server's URL is one word, as a shell reads it
            words = list(itertools.takewhile(lambda word: word not in ("<", ">", "|", ";", "&&"), lexer))
            if words[:1] == ["zorvik"] or words[:3] == ["python", "-m", "zorvik"]:
                arguments = words[1:] if words[0] == "zorvik" else words[3:]
                said = io.StringIO()
                try:
                    with contextlib.redirect_stdout(said), contextlib.redirect_stderr(said):
                        parser().parse_args(arguments)
                except SystemExit as exit:  # --help and --version exit with 0
                    if exit.code != 0:
                        pytest.fail(f"{page.name}, line {number}: {line}\n{said.getvalue()}", pytrace=False)


@pytest.mark.parametrize("page", cases("sh"))
def test_shell_examples_name_files_that_exist(page):
    for first, code in blocks(page, "sh"):
        for number, line in enumerate(code.splitlines(), first):
            for word in re.findall(r"[\w./-]+", line.split("#")[0]):
                script = word.endswith(".py") or word.startswith(".ci/")
                folder = word.split("/")[0]
                # A tree without the folder (an sdist leaves .ci out) has nothing to check.
                if script and folder in TOP_FOLDERS and (ROOT / folder).is_dir():
                    assert (ROOT / word).exists(), f"{page.name}, line {number}: {word} does not exist"


def test_the_site_builds_without_a_warning(tmp_path):
    pytest.importorskip("sphinx", reason="the docs extra is not installed")
    pytest.importorskip("myst_parser", reason="the docs extra is not installed")
    pytest.importorskip("redis", reason="the docs extra is not installed")
    done = subprocess.run([sys.executable, "-m", "sphinx", "--fresh-env", "--fail-on-warning", "--keep-going",
                           "--quiet", "--builder", "html", str(DOCS), str(tmp_path / "html")],
                          cwd=ROOT, capture_output=True, text=True, timeout=LIMIT)
    if done.returncode != 0:
        pytest.fail(done.stdout + done.stderr, pytrace=False)
    # The API reference's signatures come from the stubs, typed.
    reference = (tmp_path / "html" / "api.html").read_text(encoding="utf-8")
    assert "initial_buckets" in reference and "Iterable" in reference
    # Every name the package exports, and every public method and property of
    # its dictionaries, has an entry: one added without a docstring (autodoc
    # leaves those out) or without a line in docs/api.md is caught.
    from zorvik import RedisDict

    public = [f"zorvik.{name}" for name in zorvik.__all__]
    for dictionary in (SharedDict, RedisDict):
        public += [f"zorvik.{dictionary.__name__}.{name}" for name in vars(dictionary) if not name.startswith("_")]
    missing = [name for name in public if f'id="{name}"' not in reference]
    assert not missing, f"not in the API reference: {missing}"
    # Every section an error's note links to is there, under the id linked.
    for topic, place in _docs.SECTIONS.items():
        page, anchor = place.split("#")
        assert f'id="{anchor}"' in (tmp_path / "html" / page).read_text(encoding="utf-8"), topic


# The constructors whose whole signature a page shows (in a code-block), and
# the file that defines it: a compiled class's stub, or the class's source.
SIGNATURES = [("SharedDict", "docs/shared-dict.md", "src/zorvik/_shared.pyi"),
              ("brandel", "docs/brandel.md", "src/zorvik/brandel.pyi"),
              ("RedisDict", "docs/redis.md", "src/zorvik/redis_dict/dictionary.py")]


def parameters(function):
    """(name, keyword-only, the default's tree or None for none) of each of a
    def's parameters but self; a stub's `...` default is any default (the
    string "any")."""
    arguments = function.args
    positional = [*arguments.posonlyargs, *arguments.args]
    defaults = [None] * (len(positional) - len(arguments.defaults)) + list(arguments.defaults)
    shown = [(a.arg, False, d) for a, d in zip(positional, defaults)]
    shown += [(a.arg, True, d) for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults)]
    return [(name, keyword, "any" if isinstance(d, ast.Constant) and d.value is Ellipsis
             else None if d is None else ast.dump(d))
            for name, keyword, d in shown if name != "self"]


@pytest.mark.parametrize("name, page, source", SIGNATURES, ids=[name for name, _, _ in SIGNATURES])
def test_the_signatures_pages_show_are_the_code_s(name, page, source):
    if not (ROOT / source).exists():  # an installed package without its sources
        pytest.skip(f"no {source} beside the tests")
    shown = re.search(rf"^```{{code-block}} python\n({name}\(.*?)^```", (ROOT / page).read_text(encoding="utf-8"),
                      re.M | re.S)
    assert shown, f"{page} shows no signature of {name}"
    on_the_page = parameters(ast.parse(f"def {shown[1].strip()}: ...").body[0])
    classes = [node for node in ast.walk(ast.parse((ROOT / source).read_text(encoding="utf-8")))
               if isinstance(node, ast.ClassDef) and node.name == name]
    (constructor,) = [node for node in classes[0].body if isinstance(node, ast.FunctionDef) and node.name == "__init__"]
    in_the_code = parameters(constructor)
    assert [(n, k) for n, k, _ in on_the_page] == [(n, k) for n, k, _ in in_the_code], page
    for (parameter, _, default), (_, _, real) in zip(on_the_page, in_the_code):
        assert (default is None) == (real is None) and real in ("any", default), f"{page}: {parameter}'s default"


def anchors(page):
    """The ids of a Markdown page's headings, as the site and code hosts make them."""
    headings = re.findall(r"^#+\s+(.*?)\s*$", page.read_text(encoding="utf-8"), re.M)
    return {re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-") for heading in headings}


def test_the_readmes_links_lead_somewhere():
    # The site's build checks its own pages' links; the README is no page of
    # the site, and its links are the way into it.
    readme = ROOT / "README.md"
    for target in re.findall(r"\]\(([^)\s]+)\)", readme.read_text(encoding="utf-8")):
        if re.match(r"\w+://", target):
            continue
        path, _, anchor = target.partition("#")
        assert (ROOT / path).exists(), f"README.md links to {path}, which does not exist"
        assert not anchor or anchor in anchors(ROOT / path), f"README.md links to {target}: no such section"


def test_the_links_go_where_the_package_says_its_documentation_is():
    pyproject = ROOT / "pyproject.toml"
    if not pyproject.exists():  # an installed package without its sources
        pytest.skip("no pyproject.toml beside the tests")
    assert tomllib.loads(pyproject.read_text())["project"]["urls"]["Documentation"] == _docs.BASE


def fill(path):
    with SharedDict(path, capacity=4 << 20) as d:
        for n in range(1000):
            d[n] = b"x" * 10_000


def open_writable_by_all(path):
    SharedDict(path).close()
    os.chmod(path, 0o666)
    SharedDict(path)


def open_while_a_repair_holds(path):
    SharedDict(path).close()
    with open(path, "rb") as repairing:
        fcntl.flock(repairing, fcntl.LOCK_EX)  # as a repair holds it
        SharedDict(path)


@pytest.mark.parametrize("failure, topic", [(fill, "full"), (open_writable_by_all, "trust"),
                                            (open_while_a_repair_holds, "repair")])
def test_errors_that_need_more_than_a_line_link_to_their_section(segment_dir, failure, topic):
    with pytest.raises(OSError) as raised:
        failure(segment_dir / "d.zvk")
    assert raised.value.__notes__ == [f"See {_docs.link(topic)}"]


def test_the_command_line_shows_the_link_under_a_refusal(segment_dir):
    path = segment_dir / "d.zvk"
    with SharedDict(path):  # held open: the repair is refused
        done = subprocess.run([sys.executable, "-m", "zorvik", "repair", str(path)], capture_output=True, text=True)
    assert done.returncode != 0 and done.stderr.splitlines()[-1].strip() == f"See {_docs.link('repair')}"
