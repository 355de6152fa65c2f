"""Importing zorvik.brandel: namespace, export table, sibling links, guards."""

import ctypes
import importlib
import importlib.util
import sys
from pathlib import Path

import pytest

from brandel_helpers import run_python, second_interpreter_import

import zorvik.brandel as module

SERIALIZER_PACKAGES = ("orjson", "msgpack", "msgspec")

EXPORTS = {
    "dict_get": "PyObject *(struct __pyx_obj_6zorvik_7brandel_brandel *, PyObject *, int __pyx_skip_dispatch)",
    "dict_insert": "int (struct __pyx_obj_6zorvik_7brandel_brandel *, PyObject *, PyObject *, int __pyx_skip_dispatch)",
    "dict_remove": "int (struct __pyx_obj_6zorvik_7brandel_brandel *, PyObject *, int __pyx_skip_dispatch)",
}


def capsule_name(capsule):
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    return get_name(capsule).decode()


def installed(package):
    return importlib.util.find_spec(package) is not None


def test_namespace_after_import():
    import json
    import logging
    import multiprocessing
    import os
    import pathlib
    import pickle
    import typing
    from logging.handlers import RotatingFileHandler

    expected = {
        "logging": logging,
        "multiprocessing": multiprocessing,
        "os": os,
        "Path": pathlib.Path,
        "RotatingFileHandler": RotatingFileHandler,
        "Callable": typing.Callable,
        "pickle": pickle,
        "json": json,
    }
    for name, value in expected.items():
        assert getattr(module, name) is value, name
    for package in SERIALIZER_PACKAGES:
        assert hasattr(module, package) == installed(package), package
    assert module.__builtins__ is sys.modules["builtins"]
    assert isinstance(module.brandel, type)
    for name in ("dict_insert", "dict_get", "dict_remove", "dict_expansion"):
        function = getattr(module, name)
        assert (function.__module__, function.__qualname__) == ("zorvik.brandel", name)


def test_export_table_capsule_names():
    assert list(module.__pyx_capi__) == list(EXPORTS)
    assert {key: capsule_name(capsule) for key, capsule in module.__pyx_capi__.items()} == EXPORTS


def test_sibling_export_tables():
    import zorvik.fennick
    import zorvik.ruddle

    assert {k: capsule_name(v) for k, v in zorvik.fennick.__pyx_capi__.items()} == {
        "hash_key": "Py_ssize_t (struct __pyx_obj_6zorvik_7fennick_fennick *, PyObject *)"
    }
    assert {k: capsule_name(v) for k, v in zorvik.ruddle.__pyx_capi__.items()} == {
        "mystring_from_pointer": "PyObject *(void *)",
        "unsigned_type": "PyObject *",
        "mmap_flags": "int",
        "mmap_privilege": "int",
        "platform": "int",
    }
    assert module.brandel.__base__ is zorvik.fennick.fennick
    assert "__pyx_vtable__" in vars(zorvik.ruddle.pellock)


def test_second_import_returns_the_same_module(monkeypatch):
    brandel_class = module.brandel
    monkeypatch.delitem(sys.modules, "zorvik.brandel")
    again = importlib.import_module("zorvik.brandel")
    assert again is module
    assert again.brandel is brandel_class


@pytest.mark.parametrize("order", ["main first", "subinterpreter first"])
def test_second_interpreter_is_refused(tmp_path, order):
    pytest.importorskip("_testcapi")
    out = second_interpreter_import("zorvik.brandel", order, tmp_path)
    assert out == (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


def test_isolated_interpreter_is_refused():
    interpreters = pytest.importorskip("concurrent.interpreters")
    interpreter = interpreters.create()
    try:
        with pytest.raises(interpreters.ExecutionFailed, match="ImportError"):
            interpreter.exec(f"import sys; sys.path[:] = {sys.path!r}; import zorvik.brandel")
    finally:
        interpreter.close()


def test_unimportable_serializers_stay_unbound(tmp_path):
    out = run_python(
        """
        import sys
        for name in ("orjson", "msgpack", "msgspec"):
            sys.modules[name] = None
        import zorvik.brandel as module
        print(sorted(n for n in ("pickle", "json", "orjson", "msgpack", "msgspec") if hasattr(module, n)))
        try:
            module.brandel(serializer="orjson", size=1 << 22, bucket_chunk_size_exponent=4)
        except NameError as error:
            print(error)
        """,
        cwd=tmp_path,
        env={"TMPDIR": str(tmp_path)},
    )
    assert out.splitlines() == ["['json', 'pickle']", "name 'orjson' is not defined"]


def test_msgspec_stays_bound_when_its_json_fails(tmp_path):
    # A stand-in msgspec whose json submodule cannot be imported.
    package = tmp_path / "msgspec"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "json.py").write_text("raise ImportError('no codec here')\n")
    out = run_python(
        """
        import zorvik.brandel as module
        print(module.msgspec.__name__, hasattr(module.msgspec, "json"))
        """,
        cwd=tmp_path,
    )
    assert out.strip() == "msgspec False"


SIBLING_FAULTS = [
    (
        "del zorvik.fennick.__pyx_capi__['hash_key']",
        "ImportError: zorvik.fennick does not export expected C function hash_key",
    ),
    (
        "zorvik.fennick.__pyx_capi__['hash_key'] = zorvik.ruddle.__pyx_capi__['platform']",
        "TypeError: C function zorvik.fennick.hash_key has wrong signature (expected Py_ssize_t "
        "(struct __pyx_obj_6zorvik_7fennick_fennick *, PyObject *), got int)",
    ),
    (
        "del zorvik.ruddle.__pyx_capi__['platform']",
        "ImportError: zorvik.ruddle does not export expected C variable platform",
    ),
    (
        "zorvik.ruddle.__pyx_capi__['unsigned_type'] = zorvik.ruddle.__pyx_capi__['platform']",
        "TypeError: C variable zorvik.ruddle.unsigned_type has wrong signature (expected PyObject *, got int)",
    ),
    (
        "zorvik.ruddle.__pyx_capi__['mystring_from_pointer'] = 'not a capsule'",
        "TypeError: C function zorvik.ruddle.mystring_from_pointer has wrong signature "
        "(expected PyObject *(void *), got (not a capsule))",
    ),
    ("zorvik.ruddle.gridlet = 5", "TypeError: zorvik.ruddle.gridlet is not a type object"),
    (
        "zorvik.ruddle.pellock = zorvik.ruddle.gridlet",
        "ValueError: zorvik.ruddle.pellock size changed, may indicate binary incompatibility. "
        "Expected 24 from C header, got 16 from PyObject",
    ),
    (
        "zorvik.fennick.fennick = type('sub', (zorvik.fennick.fennick,), {})",
        "TypeError: zorvik.fennick.fennick is not the native base type this module was built for",
    ),
]


@pytest.mark.parametrize(("fault", "expected"), SIBLING_FAULTS)
def test_sibling_link_errors(tmp_path, fault, expected):
    out = run_python(
        f"""
        import traceback, warnings
        warnings.simplefilter("ignore", RuntimeWarning)
        import zorvik.fennick, zorvik.ruddle
        saved = (dict(zorvik.fennick.__pyx_capi__), dict(zorvik.ruddle.__pyx_capi__),
                 zorvik.fennick.fennick, zorvik.ruddle.pellock, zorvik.ruddle.gridlet)
        {fault}
        try:
            import zorvik.brandel
        except Exception as error:
            print(type(error).__name__ + ": " + str(error))
            print([frame.name for frame in traceback.extract_tb(error.__traceback__)][-1])
        # A failed initialisation starts over on the next import.
        zorvik.fennick.__pyx_capi__.update(saved[0])
        zorvik.ruddle.__pyx_capi__.update(saved[1])
        zorvik.fennick.fennick, zorvik.ruddle.pellock, zorvik.ruddle.gridlet = saved[2:]
        import zorvik.brandel
        print(zorvik.brandel.brandel.__name__)
        """,
        cwd=tmp_path,
    )
    assert out.splitlines() == [expected, "init zorvik.brandel", "brandel"]


def test_larger_sibling_type_only_warns(tmp_path):
    out = run_python(
        """
        import warnings
        import zorvik.ruddle
        zorvik.ruddle.gridlet = zorvik.ruddle.pellock
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import zorvik.brandel
        print([str(w.message) for w in caught if w.category is RuntimeWarning])
        """,
        cwd=tmp_path,
    )
    assert out.strip() == (
        "['zorvik.ruddle.gridlet size changed, may indicate binary incompatibility. "
        "Expected 16 from C header, got 24 from PyObject']"
    )


def test_python_started_in_the_project_root_imports_the_installed_build():
    # `python -c` puts the current directory first on sys.path: a source folder
    # zorvik/ at the root (without built modules) would shadow the installed
    # package there. The sources live under src/.
    root = Path(__file__).resolve().parents[2]
    found = run_python("import zorvik.brandel; print(zorvik.brandel.__file__)", cwd=root)
    assert not Path(found.strip()).is_relative_to(root / "src"), found
