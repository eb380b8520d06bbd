"""encode_files: the package it writes, byte for byte, the vocabulary it leaves behind, and what
survives each failure."""

import copy
import functools
import os
import pathlib
import pickle
import random
import re
import struct
import sys
import threading
import types
from collections import OrderedDict, UserDict

import pytest
import zstandard

import qvc_compressor
from qvc_compressor import QVCompressor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "bench"))
import corpus  # noqa: E402
import plain_encoder  # noqa: E402

TOKEN = re.compile(r"\S+|\s+")
LAST_ID = 2**31 - 1


class Inheriting(QVCompressor):
    """A subclass that keeps the built-in tokenize."""


class Overriding(QVCompressor):
    """A subclass whose tokenize is its own (the same split, done by the regular expression)."""

    def tokenize(self, text):
        return TOKEN.findall(text)


# ---------------------------------------------------------------------------------------------
# Helpers


def write_files(directory, contents):
    """Writes name -> str (as UTF-8, no newline translation) or bytes; returns the paths."""
    paths = []
    for name, content in contents.items():
        path = directory / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content if isinstance(content, bytes) else content.encode("utf-8"))
        paths.append(str(path))
    return paths


def new_compressor(tmp_path, cls=QVCompressor):
    return cls(str(tmp_path / "absent_dict.bin"))


def state(vocabulary):
    return (
        list(vocabulary.global_dict.items()),
        list(vocabulary.inverse_dict.items()),
        vocabulary.next_id,
    )


def stream_ids(package):
    stream = zstandard.ZstdDecompressor().decompress(package["compressed"])
    return [int.from_bytes(stream[i : i + 4], "big") for i in range(0, len(stream), 4)]


def reference_vocabulary(texts):
    """Ids from 1 in order of first occurrence, as a fresh vocabulary hands them out."""
    vocabulary = {}
    for text in texts:
        for token in TOKEN.findall(text):
            vocabulary.setdefault(token, len(vocabulary) + 1)
    return vocabulary


def reference_ids(texts, vocabulary):
    return [vocabulary[token] for text in texts for token in TOKEN.findall(text)]


def load(path):
    with open(path, "rb") as f:
        return pickle.load(f)


def with_vocabulary(target, vocabulary, next_id):
    target.global_dict = vocabulary
    target.inverse_dict = {token_id: token for token, token_id in vocabulary.items()}
    target.next_id = next_id
    return target


# ---------------------------------------------------------------------------------------------
# The package


def test_worked_example(tmp_path):
    paths = write_files(tmp_path / "in", {"one.md": "to be", "two.md": "be\nto"})
    compressor = new_compressor(tmp_path)
    output = tmp_path / "package.bin"

    result = compressor.encode_files(paths, str(output))

    raw = output.read_bytes()
    assert raw[:2] == b"\x80\x04" and raw[-1:] == b"."
    package = pickle.loads(raw)
    assert list(package) == ["compressed", "file_boundaries", "filenames", "global_dict"]
    stream = zstandard.ZstdDecompressor().decompress(package["compressed"])
    assert stream == bytes.fromhex("00000001 00000002 00000003 00000003 00000004 00000001")
    assert zstandard.frame_content_size(package["compressed"]) == 24
    assert result == len(package["compressed"])
    assert package["file_boundaries"] == [3, 6]
    assert package["filenames"] == ["one.md", "two.md"]
    assert list(package["global_dict"].items()) == [("to", 1), (" ", 2), ("be", 3), ("\n", 4)]
    assert state(compressor)[1:] == ([(1, "to"), (2, " "), (3, "be"), (4, "\n")], 5)


@pytest.fixture(scope="module")
def mixed_corpus(tmp_path_factory):
    """Real source files and files made to hit every storage width, newline style and edge."""
    directory = tmp_path_factory.mktemp("corpus")
    sources = corpus.utf8_files(corpus.stdlib_sources()[::40])
    made = write_files(
        directory,
        {
            "latin1.txt": "café crème\r\nthe end\rof é line\r\n",
            "cjk.txt": "the 中文 text\u3000with é and\u00a0no-break",
            "astral.txt": "the 😀 smile\u2028é done \U0010ffff",
            "bom.txt": "\ufeffthe start",
            "empty.txt": "",
            "blank.txt": " \t\n\x1c\x85  ",
            "one.txt": "x",
            "whole.txt": "wholetextwithoutspaces",
            "é": "é 中 é",
            "a/dup.txt": "same name\n",
            "b/dup.txt": "same name, other dir\n",
        },
    )
    # Some paths twice: packed twice, the second time adding no ids.
    return sources[:20] + made + sources[20:] + [made[0], made[5]]


# The object's class, and the mapping type of its vocabulary (a plain dict when None).
VARIANTS = {
    "builtin": (QVCompressor, None),
    "inheriting": (Inheriting, None),
    "overriding": (Overriding, None),
    "ordered_dict": (QVCompressor, OrderedDict),
    "user_dict": (QVCompressor, UserDict),
}


@pytest.mark.parametrize("variant", sorted(VARIANTS))
@pytest.mark.parametrize("learned", [False, True], ids=["fresh", "learned"])
def test_package_matches_plain_encoder(tmp_path, mixed_corpus, variant, learned):
    cls, mapping = VARIANTS[variant]

    def initial_vocabulary():
        vocabulary = {"the": 7, "\n": 3, "def": 10, "é": 12, "中": 1} if learned else {}
        return mapping(vocabulary) if mapping else vocabulary

    compressor = with_vocabulary(cls.__new__(cls), initial_vocabulary(), 13 if learned else 1)
    reference = with_vocabulary(types.SimpleNamespace(), initial_vocabulary(), compressor.next_id)

    result = compressor.encode_files(mixed_corpus, str(tmp_path / "module.bin"))
    expected = plain_encoder.encode_files(reference, mixed_corpus, str(tmp_path / "plain.bin"))

    assert (tmp_path / "module.bin").read_bytes() == (tmp_path / "plain.bin").read_bytes()
    assert result == expected
    assert state(compressor) == state(reference)
    assert type(compressor.global_dict) is type(reference.global_dict)


@pytest.mark.parametrize("level, threads", [(1, 0), (-5, 1), (9, 2)])
def test_zstd_settings_reach_the_frame(tmp_path, mixed_corpus, level, threads):
    compressor = new_compressor(tmp_path)
    reference = with_vocabulary(types.SimpleNamespace(), {}, 1)
    compressor.encode_files(mixed_corpus, str(tmp_path / "module.bin"), level, threads=threads)
    plain_encoder.encode_files(reference, mixed_corpus, str(tmp_path / "plain.bin"), level, threads)
    assert (tmp_path / "module.bin").read_bytes() == (tmp_path / "plain.bin").read_bytes()


def test_equal_tokens_share_an_id_across_storage_widths(tmp_path):
    # 1-, 2- and 4-byte text storage; "é" also stands alone inside the wider texts.
    texts = {"a": "the é", "b": "the 中 é", "c": "é the 😀", "d": "中 😀 the"}
    paths = write_files(tmp_path, texts)
    compressor = new_compressor(tmp_path)
    compressor.encode_files(paths, str(tmp_path / "out.bin"))

    expected = reference_vocabulary(texts.values())
    package = load(tmp_path / "out.bin")
    assert package["global_dict"] == expected
    assert stream_ids(package) == reference_ids(texts.values(), expected)
    # A one-character Latin-1 token is the interpreter's shared string, as a substring would be.
    assert next(token for token in compressor.global_dict if token == "é") is chr(0xE9)


NEAR_MISSES = {
    # the same bytes in other storage widths: U+6261 is stored as 61 62, U+F600 U+0001 as 😀 is
    "widths": ["ab", "\u6261", "ab\u6261", "\uf600\x01", "\U0001f600", "\xe9", "\u00e9\u4e2d"],
    # zero padding and lengths around the 8 and 16 bytes a token is compared by in one piece
    "padding": ["a", "a\x00", "a\x00\x00", "\x00", "\x00\x00", "12345678", "123456789",
                "1234567890123456", "12345678901234567", "1234567\x00"],
    # long tokens alike at both ends
    "long": ["begin-" + middle + "-the-same-end" for middle in ("x", "y", "xy", "yx", "xx")]
    + ["begin-x-the-same-end" * 2, "\u4e2d" * 9, "\u4e2d" * 8 + "\u4e2e", "\U0001f600" * 5],
}


@pytest.mark.parametrize("kind", sorted(NEAR_MISSES))
def test_tokens_that_differ_slightly_get_ids_of_their_own(tmp_path, kind):
    tokens = NEAR_MISSES[kind]
    # Each token on its own in a text of every width, and all of them together, twice.
    texts = {f"{i}": f"{token} \u4e2d \U0001f600" for i, token in enumerate(tokens)}
    texts["all"] = " ".join(tokens + tokens)
    paths = write_files(tmp_path, texts)
    compressor = new_compressor(tmp_path)
    compressor.encode_files(paths, str(tmp_path / "out.bin"))

    expected = reference_vocabulary(texts.values())
    package = load(tmp_path / "out.bin")
    assert list(package["global_dict"].items()) == list(expected.items())
    assert stream_ids(package) == reference_ids(texts.values(), expected)


def test_text_is_read_with_universal_newlines_and_passed_whole(tmp_path):
    seen = []

    class Recording(QVCompressor):
        def tokenize(self, text):
            seen.append(text)
            return super().tokenize(text)

    raw = {"crlf": b"a\r\nb\rc\n", "bom": b"\xef\xbb\xbfword here", "empty": b""}
    paths = write_files(tmp_path, raw)
    compressor = new_compressor(tmp_path, Recording)
    compressor.encode_files(paths, str(tmp_path / "out.bin"))

    assert seen == ["a\nb\nc\n", "\ufeffword here", ""]
    package = load(tmp_path / "out.bin")
    assert package["file_boundaries"] == [6, 9, 9]
    assert "\ufeffword" in package["global_dict"]


def test_returned_list_is_copied_when_tokenize_returns(tmp_path):
    class Reusing(QVCompressor):
        buffer = []

        def tokenize(self, text):
            self.buffer[:] = TOKEN.findall(text)
            return self.buffer

    paths = write_files(tmp_path, {"1": "alpha beta", "2": "gamma\n"})
    compressor = new_compressor(tmp_path, Reusing)
    compressor.encode_files(paths, str(tmp_path / "out.bin"))
    package = load(tmp_path / "out.bin")
    assert list(package["global_dict"]) == ["alpha", " ", "beta", "gamma", "\n"]
    assert stream_ids(package) == [1, 2, 3, 4, 5]


def test_path_types_give_their_names(tmp_path):
    (path,) = write_files(tmp_path / "dir", {"name.txt": "x"})
    compressor = new_compressor(tmp_path)
    compressor.encode_files([os.fsencode(path), pathlib.Path(path), path], str(tmp_path / "o"))
    assert load(tmp_path / "o")["filenames"] == [b"name.txt", "name.txt", "name.txt"]


def test_module_names_are_looked_up_at_each_call(tmp_path, monkeypatch):
    calls = []
    compressor = new_compressor(tmp_path)

    class RecordingCompressor:
        def __init__(self, **settings):
            calls.append(settings)

        def compress(self, data):
            calls.append(data)
            return b"frame"

    fake_zstd = types.SimpleNamespace(ZstdCompressor=RecordingCompressor)
    monkeypatch.setattr(qvc_compressor, "zstd", fake_zstd)
    fake_path = types.SimpleNamespace(basename=lambda p: "name:" + os.path.basename(p))
    monkeypatch.setattr(qvc_compressor, "os", types.SimpleNamespace(path=fake_path))
    paths = write_files(tmp_path, {"f": "to be"})

    assert compressor.encode_files(paths, str(tmp_path / "o")) == len(b"frame")
    assert calls == [{"level": 6, "threads": 4}, bytes.fromhex("00000001 00000002 00000003")]
    assert type(calls[1]) is bytes
    package = load(tmp_path / "o")
    assert package["compressed"] == b"frame" and package["filenames"] == ["name:f"]


# ---------------------------------------------------------------------------------------------
# Failures and what survives them


def learned_compressor(tmp_path, cls=QVCompressor):
    return with_vocabulary(new_compressor(tmp_path, cls), {"known": 1, " ": 2}, 3)


class ReturnsTuple(QVCompressor):
    def tokenize(self, text):
        return tuple(TOKEN.findall(text))


class ReturnsNone(QVCompressor):
    def tokenize(self, text):
        return None


PHASE_ONE_FAILURES = {
    "missing file": (QVCompressor, lambda d: str(d / "missing.txt"), FileNotFoundError, None),
    "not utf-8": (QVCompressor, lambda d: write_files(d, {"bad": b"ok \xff"})[0],
                  UnicodeDecodeError, None),
    "directory": (QVCompressor, lambda d: str(d), IsADirectoryError, None),
    "tuple tokens": (ReturnsTuple, None, TypeError, "Expected list, got tuple"),
    "none tokens": (ReturnsNone, None, TypeError, "'NoneType' object is not iterable"),
}


@pytest.mark.parametrize("case", sorted(PHASE_ONE_FAILURES))
def test_phase_one_failure_changes_nothing(tmp_path, case):
    cls, third_path, error, message = PHASE_ONE_FAILURES[case]
    paths = write_files(tmp_path / "in", {"1": "new words here", "2": "known more"})
    if third_path is not None:
        paths.append(third_path(tmp_path / "in"))
    compressor = learned_compressor(tmp_path, cls)
    before = copy.deepcopy(state(compressor))
    output = tmp_path / "out.bin"
    output.write_bytes(b"previous package")

    with pytest.raises(error) as raised:
        compressor.encode_files(paths, str(output))

    if message is not None:
        assert str(raised.value) == message
    assert state(compressor) == before
    assert output.read_bytes() == b"previous package"


def test_filepaths_none(tmp_path):
    compressor = learned_compressor(tmp_path)
    with pytest.raises(TypeError, match=r"^'NoneType' object is not iterable$"):
        compressor.encode_files(None, str(tmp_path / "out.bin"))
    assert not (tmp_path / "out.bin").exists()


class InjectsInt(QVCompressor):
    def tokenize(self, text):
        tokens = TOKEN.findall(text)
        return [5 if token == "bad" else token for token in tokens]


@pytest.mark.parametrize(
    "cls, bad_value, error, message",
    [
        (QVCompressor, "seven", TypeError, "an integer is required"),
        (Overriding, "seven", TypeError, "an integer is required"),
        (QVCompressor, 2**40, OverflowError, "value too large to convert to int"),
        (Overriding, 2**40, OverflowError, "value too large to convert to int"),
        (InjectsInt, 99, TypeError, "Expected str, got int"),
    ],
)
def test_phase_two_failure_keeps_earlier_new_tokens(tmp_path, cls, bad_value, error, message):
    paths = write_files(tmp_path, {"1": "a b", "2": "b bad c"})
    compressor = with_vocabulary(new_compressor(tmp_path, cls), {"bad": bad_value}, 1)
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        compressor.encode_files(paths, str(tmp_path / "out.bin"))
    expected = [("bad", bad_value), ("a", 1), (" ", 2), ("b", 3)]
    assert list(compressor.global_dict.items()) == expected
    assert list(compressor.inverse_dict.items())[-3:] == [(1, "a"), (2, " "), (3, "b")]
    assert compressor.next_id == 4
    assert not (tmp_path / "out.bin").exists()


def test_failed_write_keeps_the_old_file_and_leaves_no_temporary(tmp_path, monkeypatch):
    def dump(package, file):
        file.write(b"half a package")
        raise RuntimeError("disk trouble")

    monkeypatch.setattr(qvc_compressor, "pickle", types.SimpleNamespace(dump=dump))
    paths = write_files(tmp_path / "in", {"1": "fresh words"})
    output = tmp_path / "out" / "package.bin"
    output.parent.mkdir()
    output.write_bytes(b"previous package")
    compressor = new_compressor(tmp_path)

    with pytest.raises(RuntimeError, match="disk trouble"):
        compressor.encode_files(paths, str(output))

    assert output.read_bytes() == b"previous package"
    assert os.listdir(output.parent) == ["package.bin"]
    assert list(compressor.global_dict) == ["fresh", " ", "words"]


@pytest.mark.parametrize("output", ["missing/dir/package.bin", "in/1/package.bin", "in", None])
def test_unwritable_output_keeps_additions(tmp_path, output):
    paths = write_files(tmp_path / "in", {"1": "fresh words"})
    compressor = new_compressor(tmp_path)
    target = None if output is None else str(tmp_path / output)
    with pytest.raises((OSError, TypeError)) as expected:
        open(target, "wb")
    with pytest.raises(type(expected.value)) as raised:
        compressor.encode_files(paths, target)
    assert str(raised.value) == str(expected.value)
    assert getattr(raised.value, "filename", None) == getattr(expected.value, "filename", None)
    assert compressor.next_id == 4


def test_compressor_failure_keeps_additions_and_writes_nothing(tmp_path):
    paths = write_files(tmp_path / "in", {"1": "fresh words"})
    compressor = new_compressor(tmp_path)
    with pytest.raises(ValueError, match="level must be less than 23"):
        compressor.encode_files(paths, str(tmp_path / "out.bin"), zstd_level=23)
    assert compressor.next_id == 4
    assert not (tmp_path / "out.bin").exists()


# ---------------------------------------------------------------------------------------------
# Hardening: a package never maps two tokens to one id, nor holds an id a reader refuses


def encode_text(compressor, tmp_path, text, name="out.bin"):
    (path,) = write_files(tmp_path / "in", {"f": text})
    compressor.encode_files([path], str(tmp_path / name))
    return load(tmp_path / name)


@pytest.mark.parametrize("cls", [QVCompressor, Overriding])
def test_new_ids_skip_ids_already_held(tmp_path, cls):
    compressor = with_vocabulary(new_compressor(tmp_path, cls), {"a": 1, "b": 2, "c": 5}, 2)
    package = encode_text(compressor, tmp_path, "a x y z b")
    # " " takes 3, "x" 4, then 5 is held by "c": "y" takes 6 and "z" 7.
    assert stream_ids(package) == [1, 3, 4, 3, 6, 3, 7, 3, 2]
    assert compressor.next_id == 8
    assert sorted(package["global_dict"].values()) == [1, 2, 3, 4, 5, 6, 7]


@pytest.mark.parametrize("cls", [QVCompressor, Overriding])
@pytest.mark.parametrize("text", ["new token", ""])
def test_vocabulary_with_a_shared_id_is_refused(tmp_path, cls, text):
    compressor = with_vocabulary(new_compressor(tmp_path, cls), {"a": 1, "b": 1}, 2)
    before = copy.deepcopy(state(compressor))
    with pytest.raises(ValueError, match="more than one token to the id 1"):
        encode_text(compressor, tmp_path, text)
    assert state(compressor) == before
    assert not (tmp_path / "out.bin").exists()


def test_converted_id_held_by_another_token_is_refused(tmp_path):
    compressor = with_vocabulary(new_compressor(tmp_path), {"a": 1, "b": 1.5}, 2)
    with pytest.raises(ValueError, match="more than one token to the id 1"):
        encode_text(compressor, tmp_path, "a b")
    assert not (tmp_path / "out.bin").exists()


@pytest.mark.parametrize("cls", [QVCompressor, Overriding])
def test_negative_ids(tmp_path, cls):
    compressor = with_vocabulary(new_compressor(tmp_path, cls), {"neg": -3}, 1)
    # Held but not used: the package may carry it, no record refers to it.
    assert stream_ids(encode_text(compressor, tmp_path, "x", "first.bin")) == [1]
    with pytest.raises(ValueError, match="-3"):
        encode_text(compressor, tmp_path, "y neg")
    assert not (tmp_path / "out.bin").exists()

    compressor.next_id = -5
    assert stream_ids(encode_text(compressor, tmp_path, "x", "known.bin")) == [1]
    with pytest.raises(ValueError, match="next_id is -5"):
        encode_text(compressor, tmp_path, "fresh")
    assert "fresh" not in compressor.global_dict


@pytest.mark.parametrize("cls", [QVCompressor, Overriding])
def test_ids_end_without_wrapping(tmp_path, cls):
    compressor = with_vocabulary(new_compressor(tmp_path, cls), {}, LAST_ID - 1)
    with pytest.raises(OverflowError):
        encode_text(compressor, tmp_path, "a b")
    assert compressor.global_dict == {"a": LAST_ID - 1, " ": LAST_ID}
    assert compressor.next_id == LAST_ID
    assert not (tmp_path / "out.bin").exists()

    known_only = encode_text(compressor, tmp_path, "a a")
    assert stream_ids(known_only) == [LAST_ID - 1, LAST_ID, LAST_ID - 1]
    before = copy.deepcopy(state(compressor))
    with pytest.raises(OverflowError):
        encode_text(compressor, tmp_path, "c", "late.bin")
    assert state(compressor) == before


def test_more_tokens_than_a_package_holds(tmp_path):
    # One character a token: the smallest file with 2**29 + 1 tokens.
    path = tmp_path / "huge.txt"
    chunk = b"a " * 2**19
    with open(path, "wb") as f:
        for _ in range(2**9):
            f.write(chunk)
        f.write(b"a")
    compressor = learned_compressor(tmp_path)
    before = copy.deepcopy(state(compressor))
    with pytest.raises(ValueError, match="more than 536870912 tokens"):
        compressor.encode_files([str(path)], str(tmp_path / "out.bin"))
    assert state(compressor) == before
    assert not (tmp_path / "out.bin").exists()


class AddsSpaceWhenConverted:
    """An id whose conversion puts a token into the vocabulary, under the id it converts to."""

    def __init__(self, vocabulary):
        self.vocabulary = vocabulary

    def __int__(self):
        self.vocabulary[" "] = 2
        return 2


def shared_ids(vocabulary):
    inverse = {}
    for token, token_id in vocabulary.items():
        inverse.setdefault(token_id, []).append(token)
    return {token_id: tokens for token_id, tokens in inverse.items() if len(tokens) > 1}


@pytest.mark.parametrize(
    "make_vocabulary, text",
    [
        pytest.param(lambda: UserDict({"alpha": 1}), "delta", id="userdict"),
        pytest.param(lambda: {"alpha": 1.0}, "delta", id="float-id"),
        pytest.param(lambda: {"alpha": True}, "delta", id="bool-id"),
        pytest.param(lambda: OrderedDict({"alpha": 1.0, "beta": 2}), "delta alpha", id="ordered"),
    ],
)
def test_new_ids_skip_ids_held_in_any_form(tmp_path, make_vocabulary, text):
    vocabulary = make_vocabulary()
    compressor = with_vocabulary(new_compressor(tmp_path), vocabulary, 1)
    package = encode_text(compressor, tmp_path, text)
    assert shared_ids(package["global_dict"]) == {}
    inverse = {int(token_id): token for token, token_id in package["global_dict"].items()}
    assert "".join(inverse[i] for i in stream_ids(package)) == text


@pytest.mark.parametrize("cls", [QVCompressor, Overriding])
def test_an_id_whose_conversion_adds_a_token_under_it_is_refused(tmp_path, cls):
    compressor = new_compressor(tmp_path, cls)
    compressor.global_dict["zzz"] = AddsSpaceWhenConverted(compressor.global_dict)
    compressor.next_id = 2
    with pytest.raises(ValueError, match="more than one token to the id 2"):
        encode_text(compressor, tmp_path, "zzz ")
    assert not (tmp_path / "out.bin").exists()


@pytest.mark.parametrize(
    "vocabulary, shared",
    [({"a": 1.0, "b": 1}, "1"), ({"a": 2**40, "b": 2**40}, str(2**40)),
     ({"a": True, "b": 1}, "1")],
)
def test_unused_tokens_sharing_an_id_are_refused(tmp_path, vocabulary, shared):
    compressor = with_vocabulary(new_compressor(tmp_path), vocabulary, 5)
    with pytest.raises(ValueError, match=f"more than one token to the id {shared}"):
        encode_text(compressor, tmp_path, "x")
    assert not (tmp_path / "out.bin").exists()


def test_unhashable_values_of_unused_tokens_are_no_ids(tmp_path):
    compressor = new_compressor(tmp_path)
    compressor.global_dict.update({"a": [1], "b": [1]})
    assert stream_ids(encode_text(compressor, tmp_path, "x")) == [1]


# ---------------------------------------------------------------------------------------------
# Where the package goes, and how its frame is made


@pytest.mark.parametrize("length", [234, 255])
def test_package_under_the_longest_names(tmp_path, length):
    paths = write_files(tmp_path / "in", {"f": "to be"})
    output = tmp_path / "out" / ("p" * length)
    output.parent.mkdir()
    output.write_bytes(b"old")
    new_compressor(tmp_path).encode_files(paths, str(output))
    assert load(output)["filenames"] == ["f"]
    assert os.listdir(output.parent) == [output.name]


def test_package_to_a_hard_linked_file_keeps_the_links_shared(tmp_path):
    paths = write_files(tmp_path / "in", {"f": "to be"})
    output, other = tmp_path / "out.bin", tmp_path / "other.bin"
    output.write_bytes(b"old")
    os.link(output, other)
    new_compressor(tmp_path).encode_files(paths, str(output))
    assert os.path.samefile(output, other)
    assert load(other)["filenames"] == ["f"]


def test_package_into_a_fifo(tmp_path):
    paths = write_files(tmp_path / "in", {"f": "to be"})
    output = tmp_path / "out.fifo"
    os.mkfifo(output)
    received = []
    reader = threading.Thread(target=lambda: received.append(output.read_bytes()))
    reader.start()
    new_compressor(tmp_path).encode_files(paths, str(output))
    reader.join()
    assert pickle.loads(received[0])["filenames"] == ["f"]


@functools.lru_cache(maxsize=3)
def packed_stream(records):
    """A packed token stream of Zipf-like ids, as text gives them."""
    generator = random.Random(records)
    ids = [int(1 / (generator.random() + 1e-6)) + 1 for _ in range(records)]
    return struct.pack(f">{records}I", *ids)


@pytest.mark.parametrize("level", [1, 6])
@pytest.mark.parametrize("threads", [1, 4, -1])
# 10 MB: several of the compressor's jobs at both levels.
@pytest.mark.parametrize("records", [0, 1000, 2_500_000])
def test_a_frame_streamed_with_its_size_pledged_is_the_one_shot_frame(level, threads, records):
    # With worker threads the frame does not depend on how the stream is handed over.
    stream = packed_stream(records)
    one_shot = zstandard.ZstdCompressor(level=level, threads=threads).compress(stream)
    pieces = [p for p in (1, 4096, 65_537, 1 << 20) if len(stream) // p < 5000]
    for piece in pieces + [len(stream) or 1]:
        chunker = zstandard.ZstdCompressor(level=level, threads=threads).chunker(
            size=len(stream), chunk_size=1 << 17)
        frame = []
        for start in range(0, len(stream), piece):
            frame.extend(chunker.compress(stream[start : start + piece]))
        frame.extend(chunker.finish())
        assert b"".join(frame) == one_shot, (piece, len(stream))


class ReadThroughTheInterpreter(QVCompressor):
    """A subclass: its files are read and its stream packed the generic way."""


@pytest.mark.parametrize("cls", [QVCompressor, ReadThroughTheInterpreter])
@pytest.mark.parametrize("threads", [0, 1, 4, -1])
def test_the_encoders_frame_is_the_one_shot_frame(tmp_path, threads, cls):
    words = [f"w{i}" for i in range(5000)]
    generator = random.Random(threads)
    text = " ".join(generator.choice(words) for _ in range(600_000))  # over 4 MiB of records
    paths = write_files(tmp_path / "in", {"f": text})
    compressor = new_compressor(tmp_path, cls)
    size = compressor.encode_files(paths, str(tmp_path / "out.bin"), zstd_level=3,
                                   threads=threads)
    package = load(tmp_path / "out.bin")
    stream = zstandard.ZstdDecompressor().decompress(package["compressed"])
    assert len(stream) > 4 << 20
    expected = zstandard.ZstdCompressor(level=3, threads=threads).compress(stream)
    assert package["compressed"] == expected and size == len(expected)


def texts_read_another_way(directory):
    """Files whose text, read with newline="" and errors="surrogateescape", keeps its CRs and holds
    lone surrogates; one of them is large enough to be scanned in several pieces."""
    rng = random.Random(7)
    large = "".join(rng.choice(["alpha ", "é\r\n", "中文 ", "x\r", "  \u2003"]) for _ in range(1_400_000))
    return write_files(
        directory,
        {
            "crlf.txt": b"one\r\ntwo\rthree\r\n\r\nfour",
            "invalid.txt": b"ok \xff\xfe bad\r\n\xed\xa0\x80 one two",
            "after.txt": "two one ok\n",
            "large.txt": large + "\r",
            "mixed.txt": b"alpha \xc3 \xe4\xb8\xad\r\n\xe4\xb8 \r",
        },
    )


@pytest.mark.parametrize("cls", [QVCompressor, Inheriting, Overriding], ids=lambda c: c.__name__)
def test_text_read_by_a_wrapped_open_is_split_as_the_reader_gave_it(tmp_path, monkeypatch, cls):
    """A wrapped open may give CRs and lone surrogates: they stay in the tokens, as the plain
    encoder keeps them, whichever class splits the text."""
    paths = texts_read_another_way(tmp_path)
    real_open = open

    def reading_raw(file, mode="r", *args, **kwargs):
        if "b" not in mode:
            kwargs.update(newline="", errors="surrogateescape")
        return real_open(file, mode, *args, **kwargs)

    monkeypatch.setattr("builtins.open", reading_raw)
    compressor = with_vocabulary(cls.__new__(cls), {"one": 5, "\udcff": 2}, 9)
    reference = with_vocabulary(types.SimpleNamespace(), {"one": 5, "\udcff": 2}, 9)
    result = compressor.encode_files(paths, str(tmp_path / "module.bin"))
    expected = plain_encoder.encode_files(reference, paths, str(tmp_path / "plain.bin"))
    monkeypatch.undo()

    assert (tmp_path / "module.bin").read_bytes() == (tmp_path / "plain.bin").read_bytes()
    assert result == expected
    assert state(compressor) == state(reference)
    assert "\r\n" in compressor.global_dict and "\udcff\udcfe" in compressor.global_dict
