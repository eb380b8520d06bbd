"""Importing the module: its namespace, the import order and the one-module rules."""

import importlib
import os
import pickle
import re
import struct
import sys

import pytest
import zstandard

import qvc_compressor
from conftest import run_python

METHOD_NAMES = ["load_dict", "save_dict", "tokenize", "detokenize", "encode_files", "decode_package"]


def test_namespace_binds_the_modules_then_the_class_then_the_unpickle_function():
    assert qvc_compressor.os is os
    assert qvc_compressor.re is re
    assert qvc_compressor.struct is struct
    assert qvc_compressor.pickle is pickle
    assert qvc_compressor.zstd is zstandard
    public = [name for name in vars(qvc_compressor) if not name.startswith("__") or name.startswith("__pyx")]
    assert public == ["os", "re", "struct", "pickle", "zstd", "QVCompressor", "__pyx_unpickle_QVCompressor"]
    assert qvc_compressor.__doc__ is None


def test_class_identity_and_absent_docstrings():
    cls = qvc_compressor.QVCompressor
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("qvc_compressor", "QVCompressor", "QVCompressor")
    assert cls.__doc__ is None
    for name in METHOD_NAMES:
        assert getattr(cls, name).__doc__ is None
    for name in ["dict_path", "global_dict", "inverse_dict", "next_id"]:
        assert getattr(cls, name).__doc__ is None


@pytest.mark.parametrize("name", METHOD_NAMES)
def test_methods_are_named_function_objects_that_bind_like_functions(name):
    function = getattr(qvc_compressor.QVCompressor, name)
    assert function.__name__ == name
    assert function.__qualname__ == f"QVCompressor.{name}"
    assert function.__module__ == "qvc_compressor"
    compressor = qvc_compressor.QVCompressor.__new__(qvc_compressor.QVCompressor)
    bound = getattr(compressor, name)
    assert bound.__func__ is function and bound.__self__ is compressor
    assert function.__get__(None, qvc_compressor.QVCompressor) is function
    # Pickled by reference, like a Python function.
    assert pickle.loads(pickle.dumps(function)) is function


def test_defaults_tuples_are_for_introspection_only(tmp_path):
    cls = qvc_compressor.QVCompressor
    assert cls.encode_files.__defaults__ == (6, 4)
    assert cls.decode_package.__defaults__ == (True,)
    assert cls.tokenize.__defaults__ is None
    saved = cls.encode_files.__defaults__
    try:
        cls.encode_files.__defaults__ = ("not", "used")
        assert cls.encode_files.__defaults__ == ("not", "used")
        with pytest.raises(TypeError):
            cls.encode_files.__defaults__ = [1, 2]
        compressor = cls(str(tmp_path / "absent.bin"))
        # The call still runs with the fixed defaults: the replaced tuple would fail conversion.
        assert compressor.tokenize("a b") == ["a", " ", "b"]
    finally:
        cls.encode_files.__defaults__ = saved


def test_importing_touches_no_file_and_creates_no_object(tmp_path):
    result = run_python(
        """
        import gc, os, sys
        import qvc_compressor
        assert not [o for o in gc.get_objects() if type(o) is qvc_compressor.QVCompressor]
        print(sorted(os.listdir(".")))
        """,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


def test_imports_its_modules_in_order():
    result = run_python(
        """
        import builtins
        wanted = {"os", "re", "struct", "pickle", "zstandard"}
        seen = []
        original = builtins.__import__
        def recording_import(name, globals=None, *args, **kwargs):
            # The module's own imports run inside the import machinery's frame; those that the
            # imported modules make in turn carry their own globals.
            if name in wanted and (globals or {}).get("__name__") == "_frozen_importlib":
                seen.append(name)
            return original(name, globals, *args, **kwargs)
        builtins.__import__ = recording_import
        import qvc_compressor
        builtins.__import__ = original
        print(seen)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['os', 're', 'struct', 'pickle', 'zstandard']"


def test_missing_zstandard_fails_the_import_with_its_own_error_and_a_retry_can_succeed():
    result = run_python(
        """
        import sys
        sys.modules["zstandard"] = None
        try:
            import zstandard
        except ImportError as e:
            expected = (type(e), str(e))
        try:
            import qvc_compressor
        except ImportError as e:
            assert (type(e), str(e)) == expected, (e, expected)
        else:
            raise AssertionError("import succeeded without zstandard")
        assert "qvc_compressor" not in sys.modules
        del sys.modules["zstandard"]
        import qvc_compressor
        print(qvc_compressor.QVCompressor.__name__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "QVCompressor"


def test_second_module_object_is_refused_and_reload_is_harmless():
    result = run_python(
        """
        import importlib, sys
        import qvc_compressor
        first = qvc_compressor
        assert importlib.reload(first) is first
        import qvc_compressor as again
        assert again is first
        del sys.modules["qvc_compressor"]
        try:
            import qvc_compressor
        except RuntimeError as e:
            print(e)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "Module 'qvc_compressor' has already been imported. Re-initialisation is not supported."
    )


@pytest.mark.skipif(importlib.util.find_spec("_interpreters") is None, reason="needs _interpreters (3.13)")
@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_second_interpreter_is_refused(config):
    result = run_python(
        f"""
        import _interpreters
        import qvc_compressor
        interp = _interpreters.create({config!r})
        failure = _interpreters.run_string(interp, "import qvc_compressor")
        print(failure.type.__name__, failure.msg, sep="|")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "ImportError|Interpreter change detected - this module can only be loaded into one "
        "interpreter per process."
    )


@pytest.mark.parametrize(
    "name, parameters",
    [
        ("__init__", "(dict_path='vornakel_dict.bin')"),
        ("load_dict", "()"),
        ("save_dict", "()"),
        ("tokenize", "(text)"),
        ("detokenize", "(tokens)"),
        ("encode_files", "(filepaths, output_path, zstd_level=6, threads=4)"),
        ("decode_package", "(package_path, output_dir, use_zstd=True)"),
    ],
)
def test_signatures_show_the_real_parameters(name, parameters):
    import inspect

    cls = qvc_compressor.QVCompressor
    assert str(inspect.signature(getattr(cls, name))) == "(self" + (", " if parameters != "()" else "") + parameters[1:]
    instance = cls.__new__(cls)
    assert str(inspect.signature(getattr(instance, name))) == parameters
    if name == "__init__" and inspect_sees_init_beside_builtin_new():
        assert str(inspect.signature(cls)) == parameters


def inspect_sees_init_beside_builtin_new() -> bool:
    """Early 3.11 releases (Debian's 3.11.2 among them) take a class's signature from its own
    `__new__` when it has one and give up when that is built in, as every extension type's is;
    later releases go on to its `__init__`."""
    import inspect

    class Probe:
        __new__ = object.__new__

        def __init__(self, a):
            pass

    try:
        return str(inspect.signature(Probe)) == "(a)"
    except ValueError:
        return False
