"""The type stubs shipped with the module: a strict type checker accepts real use, flags the
mistakes that fail at run time, and finds a short docstring for every member."""

import ast
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import qvc_compressor
from qvc_compressor import QVCompressor

USAGE_DIR = Path(__file__).parent / "typed_usage"
STUB = Path(sysconfig.get_paths()["purelib"]) / "qvc_compressor-stubs" / "__init__.pyi"
CHECKSUM = 0x3E12E10

MYPY_LINE = re.compile(r"^(?P<path>.+?):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$")


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory) -> dict[str, set[tuple[int, str]]]:
    """Strict runs over the installed stubs and over both usage files: (line, code) by file."""
    cache = tmp_path_factory.mktemp("mypy-cache")
    errors: dict[str, set[tuple[int, str]]] = {}
    for targets in (["-p", "qvc_compressor"], ["usage.py", "misuse.py"]):
        result = subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(cache),
             *targets],
            capture_output=True, text=True, cwd=USAGE_DIR, timeout=600,
        )
        assert result.returncode in (0, 1), result.stdout + result.stderr
        for line in result.stdout.splitlines():
            if ": note: " in line:
                continue
            match = MYPY_LINE.match(line)
            assert match, f"unexpected mypy output: {line}"
            name = "stub" if match["path"].endswith(".pyi") else match["path"]
            errors.setdefault(name, set()).add((int(match["line"]), match["code"]))
    return errors


def test_stub_and_real_use_pass_strict_checking(mypy_errors):
    assert mypy_errors.get("stub", set()) == set()
    assert mypy_errors.get("usage.py", set()) == set()


def test_every_misuse_is_flagged_with_its_error_code(mypy_errors):
    expected = set()
    for number, line in enumerate((USAGE_DIR / "misuse.py").read_text().splitlines(), start=1):
        if "# flags: " in line:
            expected.add((number, line.split("# flags: ")[1].strip()))
    assert len(expected) >= 20
    assert mypy_errors.get("misuse.py", set()) == expected


def stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text(), filename=str(STUB))


def stub_class() -> ast.ClassDef:
    return next(n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == "QVCompressor")


def stub_parameters(function: ast.FunctionDef) -> list[tuple[str, str]]:
    """(name, annotation) of each parameter after `self`."""
    arguments = function.args.posonlyargs + function.args.args
    return [(a.arg, ast.unparse(a.annotation)) for a in arguments if a.arg != "self"]


def stub_functions() -> dict[str, ast.FunctionDef]:
    functions = {n.name: n for n in stub_tree().body if isinstance(n, ast.FunctionDef)}
    functions.update(
        (n.name, n) for n in stub_class().body
        if isinstance(n, ast.FunctionDef) and not n.decorator_list
    )
    return functions


@pytest.fixture
def valid_arguments(tmp_path):
    """For each callable of the stub, arguments with which the call succeeds."""
    source = tmp_path / "a.txt"
    source.write_text("to be, or not\n")
    package = tmp_path / "p.qvc"
    QVCompressor(str(tmp_path / "v.bin")).encode_files([str(source)], str(package))
    return {
        "__init__": [str(tmp_path / "v.bin")],
        "tokenize": ["to be"],
        "detokenize": [["to", " ", "be"]],
        "encode_files": [[str(source)], str(tmp_path / "q.qvc"), 3, 1],
        "decode_package": [str(package), str(tmp_path / "out"), True],
        "__setstate__": [("v.bin", {}, {}, 1)],
        "__pyx_unpickle_QVCompressor": [QVCompressor, CHECKSUM, None],
    }


def call(name, arguments):
    """Runs in an empty directory, where the default dictionary file does not exist."""
    if name == "__init__":
        return QVCompressor(*arguments)
    if name == "__pyx_unpickle_QVCompressor":
        return qvc_compressor.__pyx_unpickle_QVCompressor(*arguments)
    return getattr(QVCompressor(), name)(*arguments)


def test_none_is_allowed_exactly_where_the_module_takes_it(valid_arguments, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    checked = []
    for name, function in stub_functions().items():
        if name not in valid_arguments:
            continue
        call(name, valid_arguments[name])
        for position, (parameter, annotation) in enumerate(stub_parameters(function)):
            arguments = list(valid_arguments[name])
            arguments[position] = None
            stub_allows_none = "None" in annotation or annotation == "object"
            try:
                call(name, arguments)
                refused = False
            except TypeError:
                refused = True
            except Exception:  # a value the call cannot use, but no type error
                refused = False
            assert refused != stub_allows_none, f"{name}({parameter}: {annotation}) with None"
            checked.append(parameter)
    assert {"text", "tokens", "filepaths", "output_path", "package_path", "use_zstd"} <= set(checked)


def test_every_member_has_a_short_docstring_in_the_stub():
    cls = stub_class()
    documented = {
        n.name for n in cls.body if isinstance(n, ast.FunctionDef) and ast.get_docstring(n)
    }
    # An attribute's docstring is the string statement right after its annotation.
    for annotation, following in zip(cls.body, cls.body[1:]):
        if isinstance(annotation, ast.AnnAssign) and isinstance(following, ast.Expr):
            documented.add(annotation.target.id)
    runtime = {n for n in vars(QVCompressor) if not n.startswith("__")} | {
        "__init__", "__reduce__", "__setstate__"
    }
    assert runtime <= documented
    assert ast.get_docstring(stub_class())
    assert ast.get_docstring(stub_functions()["__pyx_unpickle_QVCompressor"])
    for node in ast.walk(stub_tree()):
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and ast.get_docstring(node):
            assert len(ast.get_docstring(node).splitlines()) <= 3, node.name
