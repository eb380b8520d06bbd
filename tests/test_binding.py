"""Argument binding: counts, keywords, conversions before type tests, exact-type parameters."""

import pathlib

import pytest

from qvc_compressor import QVCompressor


class StrSubclass(str):
    pass


class ListSubclass(list):
    pass


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError("no truth here")


@pytest.fixture
def compressor(in_tmp_dir):
    return QVCompressor()


COUNT = "{}() takes {} {} positional argument{} ({} given)"

COUNT_CASES = [
    ("load_dict", (1,), {}, COUNT.format("load_dict", "exactly", 0, "s", 1)),
    ("save_dict", (1, 2), {}, COUNT.format("save_dict", "exactly", 0, "s", 2)),
    ("tokenize", (), {}, COUNT.format("tokenize", "exactly", 1, "", 0)),
    ("tokenize", ("a", "b"), {}, COUNT.format("tokenize", "exactly", 1, "", 2)),
    ("detokenize", (), {}, COUNT.format("detokenize", "exactly", 1, "", 0)),
    ("detokenize", ([], []), {}, COUNT.format("detokenize", "exactly", 1, "", 2)),
    ("encode_files", (), {}, COUNT.format("encode_files", "at least", 2, "s", 0)),
    ("encode_files", ([],), {}, COUNT.format("encode_files", "at least", 2, "s", 1)),
    ("encode_files", ([], "o", 6, 4, 5), {}, COUNT.format("encode_files", "at most", 4, "s", 5)),
    ("encode_files", (), {"output_path": "o"}, COUNT.format("encode_files", "at least", 2, "s", 0)),
    ("encode_files", ([],), {"threads": 2}, COUNT.format("encode_files", "at least", 2, "s", 1)),
    ("decode_package", ("p",), {"use_zstd": False}, COUNT.format("decode_package", "at least", 2, "s", 1)),
    ("decode_package", ("p", "d", True, 1), {}, COUNT.format("decode_package", "at most", 3, "s", 4)),
    # A required parameter missing after one given by keyword: counted as the position reached.
    ("decode_package", (), {"package_path": "p"}, COUNT.format("decode_package", "at least", 2, "s", 1)),
    # The count is checked before unknown keywords are.
    ("decode_package", (), {"bogus": 1}, COUNT.format("decode_package", "at least", 2, "s", 0)),
]

KEYWORD_CASES = [
    ("load_dict", (), {"x": 1}, "load_dict() got an unexpected keyword argument 'x'"),
    ("save_dict", (), {"dict_path": "y"}, "save_dict() got an unexpected keyword argument 'dict_path'"),
    ("tokenize", (), {"text": "a", "extra": 1}, "tokenize() got an unexpected keyword argument 'extra'"),
    ("tokenize", ("a",), {"text": "b"}, "tokenize() got multiple values for keyword argument 'text'"),
    ("encode_files", ([], "o"), {"level": 3}, "encode_files() got an unexpected keyword argument 'level'"),
    ("encode_files", ([], "o"), {"filepaths": []},
     "encode_files() got multiple values for keyword argument 'filepaths'"),
    ("decode_package", ("p", "d"), {"output_dir": "e"},
     "decode_package() got multiple values for keyword argument 'output_dir'"),
]


@pytest.mark.parametrize("method, args, kwargs, message", COUNT_CASES + KEYWORD_CASES)
def test_binding_errors(compressor, method, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(compressor, method)(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("a", "b"), {}, "__init__() takes at most 1 positional argument (2 given)"),
        ((), {"path": "x"}, "__init__() got an unexpected keyword argument 'path'"),
        (("x",), {"dict_path": "y"}, "__init__() got multiple values for keyword argument 'dict_path'"),
        ((), {1: "x"}, "__init__() keywords must be strings"),
    ],
)
def test_constructor_binding_errors(in_tmp_dir, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        QVCompressor(*args, **kwargs)
    assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        QVCompressor.__init__(QVCompressor.__new__(QVCompressor), *args, **kwargs)
    # Through a method call, the interpreter refuses non-string keywords itself.
    non_string_keyword = any(not isinstance(key, str) for key in kwargs)
    assert str(info.value) == ("keywords must be strings" if non_string_keyword else message)


def test_keyword_arguments_bind_by_name(compressor):
    assert compressor.tokenize(text="a b") == ["a", " ", "b"]
    assert compressor.detokenize(tokens=["a", " "]) == "a "
    assert QVCompressor(dict_path="other.bin").dict_path == "other.bin"


TYPE_MESSAGE = "Argument '{}' has incorrect type (expected {}, got {})"


@pytest.mark.parametrize(
    "method, args, message",
    [
        ("tokenize", (StrSubclass("a"),), TYPE_MESSAGE.format("text", "str", "StrSubclass")),
        ("tokenize", (b"a",), TYPE_MESSAGE.format("text", "str", "bytes")),
        ("detokenize", (("a",),), TYPE_MESSAGE.format("tokens", "list", "tuple")),
        ("detokenize", (ListSubclass(["a"]),), TYPE_MESSAGE.format("tokens", "list", "ListSubclass")),
        ("encode_files", ((), "o"), TYPE_MESSAGE.format("filepaths", "list", "tuple")),
        ("encode_files", ([], 5), TYPE_MESSAGE.format("output_path", "str", "int")),
        ("encode_files", ((), 5), TYPE_MESSAGE.format("filepaths", "list", "tuple")),
        ("encode_files", ([], pathlib.Path("o")), TYPE_MESSAGE.format("output_path", "str", "PosixPath")),
        ("decode_package", (b"p", "d"), TYPE_MESSAGE.format("package_path", "str", "bytes")),
        ("decode_package", ("p", StrSubclass("d")), TYPE_MESSAGE.format("output_dir", "str", "StrSubclass")),
        ("decode_package", (1, 2), TYPE_MESSAGE.format("package_path", "str", "int")),
    ],
)
def test_exact_type_parameters(compressor, method, args, message):
    with pytest.raises(TypeError) as info:
        getattr(compressor, method)(*args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, error, message",
    [
        # Conversions run before the type tests, in parameter order.
        (((), "o", "6"), TypeError, "an integer is required"),
        (((), 5, 6, 2**31), OverflowError, "value too large to convert to int"),
        (([], "o", 6.5, "x"), TypeError, "an integer is required"),
        (([], "o", 6, None), TypeError, "an integer is required"),
    ],
)
def test_integer_arguments_convert_before_type_tests(compressor, args, error, message):
    with pytest.raises(error) as info:
        compressor.encode_files(*args)
    assert str(info.value) == message


def test_truth_test_error_propagates_before_type_tests(compressor):
    with pytest.raises(ZeroDivisionError, match="no truth here"):
        compressor.decode_package(1, 2, BadTruth())


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: QVCompressor.tokenize(), "unbound method QVCompressor.tokenize() needs an argument"),
        (lambda: QVCompressor.tokenize(5, "a"),
         "descriptor 'tokenize' for 'qvc_compressor.QVCompressor' objects doesn't apply to a 'int' object"),
    ],
)
def test_methods_called_through_the_class_check_the_object(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_methods_called_through_the_class_take_the_object_first(compressor):
    assert QVCompressor.tokenize(compressor, "x  y") == ["x", "  ", "y"]
    assert QVCompressor.detokenize(compressor, tokens=["x", "y"]) == "xy"
