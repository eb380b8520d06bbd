"""decode_package: the restored files, the adopted vocabulary, every failure with what is left
behind, and packages that arrive from elsewhere (no code runs, nothing lands outside the output
directory, nothing large is allocated)."""

import functools
import os
import pickle
import random
import tempfile

import pytest
import zstandard
from hypothesis import given, settings, strategies as st

import qvc_compressor
from conftest import CAN_LIMIT_ADDRESS_SPACE, run_python
from package_builder import (
    MISSING,
    compress,
    pack_records,
    package_dict,
    package_of_ids,
    package_of_texts,
    write_package,
)
from qvc_compressor import QVCompressor

WORKED_VOCABULARY = {"to": 1, " ": 2, "be": 3, "\n": 4}


# ---------------------------------------------------------------------------------------------
# Helpers


def reference_files(stream, boundaries, names, vocabulary):
    """The files decoding must write, worked out with the interpreter's own dict, int and list
    slicing: name -> text, later entries of one name replacing earlier ones."""
    inverse = {}
    for token, token_id in vocabulary.items():
        inverse[token_id] = token
    restored = [
        inverse.get(int.from_bytes(stream[4 * i : 4 * i + 4], "big"), "<UNK>")
        for i in range(len(stream) // 4)
    ]
    files, start = {}, 0
    for boundary, name in zip(boundaries, names):
        files[name] = "".join(restored[start:boundary])
        start = boundary
    return files


def read_tree(directory):
    """Every file under `directory`, by relative path, read back without newline translation."""
    found = {}
    for root, _, files in os.walk(directory):
        for name in files:
            path = os.path.join(root, name)
            with open(path, encoding="utf-8", newline="") as f:
                found[os.path.relpath(path, directory)] = f.read()
    return found


def fresh(tmp_path):
    return QVCompressor(str(tmp_path / "absent_dict.bin"))


def decode(compressor, package, tmp_path, *, out="out", protocol=None, **kwargs):
    path = tmp_path / "package.bin"
    write_package(path, package, protocol)
    result = compressor.decode_package(str(path), str(tmp_path / out), **kwargs)
    return result, tmp_path / out


def worked_package(extra_records=()):
    return package_of_ids(
        [1, 2, 3, 3, 4, 1, *extra_records], [3, 6], ["one.md", "two.md"], dict(WORKED_VOCABULARY)
    )


class FakeZstd:
    """Stands in for the module's `zstd` binding: records what it was asked to decompress."""

    def __init__(self, result=b"", on_decompress=None):
        self.result = result
        self.on_decompress = on_decompress
        self.calls = []

    def ZstdDecompressor(self):
        return self

    def decompress(self, data):
        self.calls.append(data)
        if self.on_decompress is not None:
            self.on_decompress()
        return self.result


# ---------------------------------------------------------------------------------------------
# The worked example and the restored files


@pytest.mark.parametrize("extra_records", [(), (9,)], ids=["as-written", "unk-after-last-file"])
def test_worked_example(tmp_path, extra_records):
    compressor = fresh(tmp_path)
    result, out = decode(compressor, worked_package(extra_records), tmp_path)
    assert result == ["one.md", "two.md"]
    assert read_tree(out) == {"one.md": "to be", "two.md": "be\nto"}
    assert compressor.global_dict == WORKED_VOCABULARY
    assert list(compressor.global_dict) == list(WORKED_VOCABULARY)
    assert compressor.inverse_dict == {1: "to", 2: " ", 3: "be", 4: "\n"}


LATIN1, UCS2, UCS4 = "d\u00e9j\u00e0", "\u4e2d\u6587", "\U0001f600x"
ABC = {"a": 1, "b": 2, "c": 3}


@pytest.mark.parametrize(
    "ids, boundaries, names, vocabulary",
    [
        pytest.param([], [], [], {}, id="zero-files"),
        pytest.param([1, 2], [1, 1, 2], ["a", "empty", "b"], {"x": 1, "y": 2}, id="empty-file"),
        pytest.param([7, 8, 9], [3, 3], ["a", "b"], {"t": 7}, id="unknown-ids"),
        pytest.param([1, 2, 1], [3], ["a"], {"first": 1, "second": 1, "s": 2}, id="last-wins"),
        pytest.param([1, 2, 3], [2], ["a", "b", "c"], ABC, id="more-names"),
        pytest.param([1, 2, 3], [1, 2, 3], ["a"], ABC, id="more-boundaries"),
        pytest.param([1, 2, 3, 1], [3, 1, 4], ["a", "b", "c"], ABC, id="decreasing"),
        pytest.param([1, 2, 3, 1], [-1, 9], ["a", "b"], ABC, id="negative-and-beyond"),
        pytest.param([1, 2, 3], [-9, 2, -2], ["a", "b", "c"], ABC, id="clamped-negative"),
        pytest.param([1, 2], [1, 2], ["same", "same"], {"one": 1, "two": 2}, id="same-name"),
        pytest.param([1, 2, 1], [3], ["a"], {"line\r\n": 1, "\r": 2}, id="cr-lf-unchanged"),
        pytest.param(
            [1, 2, 3, 4, 1, 2, 1, 4, 3],
            [2, 4, 6, 9],
            ["ascii", "latin1", "ucs2-ucs4", "all"],
            {"ab": 1, LATIN1: 2, UCS2: 3, UCS4: 4},
            id="widening-kinds",
        ),
        pytest.param(
            [0, 2147483647, 1000000000, 5, 3],
            [5],
            ["a"],
            {"zero": 0, "top": 2147483647, "far": 1000000000, "neg": -3, "big": 2**40, "s": 5},
            id="sparse-and-extreme-ids",
        ),
        pytest.param([3000, 1, 2, 4000], [4], ["a"], {"a": 1, "b": 3000, "c": 2}, id="gap-in-ids"),
        pytest.param(
            [1, 2, 3, 1, 4],
            [2, 5],
            ["ascii-then-latin1", "ucs2-then-ucs4"],
            {"x" * 500: 1, "\u00e9" * 300: 2, "\u4e2d" * 200: 3, "\U0001f600" * 100: 4},
            id="long-tokens-of-each-kind",
        ),
        pytest.param([1, 2, 1], [3], ["a"], {"one": 1.0, "two": True}, id="float-and-bool-ids"),
        pytest.param([1, 2], [2], ["a"], {"x": 1, "y": 2, 3: 3, "z": "id"}, id="non-int-ids"),
    ],
)
def test_restored_files_follow_list_semantics(tmp_path, ids, boundaries, names, vocabulary):
    package = package_of_ids(ids, boundaries, names, vocabulary)
    result, out = decode(fresh(tmp_path), package, tmp_path)
    assert result == names
    assert read_tree(out) == reference_files(pack_records(ids), boundaries, names, vocabulary)


# Tokens around every size and storage limit a decoder might keep short tokens by: 1, 12, 16,
# 24 and 25 bytes of one, two and four bytes per character.
TOKEN_SHAPES = [
    *(c * n for c in ("a", "\u00e9", "\u0101", "\U0001f600") for n in (1, 2, 6, 7, 12, 13, 24, 25)),
    " ", "\n", "\r\n", "x" * 300, "\u4e2d" * 100,
]


@pytest.mark.parametrize("seed", range(4))
def test_long_files_of_every_token_shape(tmp_path, seed):
    rng = random.Random(seed)
    vocabulary = {token: i + 1 for i, token in enumerate(TOKEN_SHAPES)}
    # Mostly one-byte tokens, as in real text, with the wider ones turning up now and then.
    narrow = [i for t, i in vocabulary.items() if max(t) < "\u0100"]
    ids = [rng.choice(narrow) if rng.random() < 0.97 else rng.randint(0, len(TOKEN_SHAPES) + 2)
           for _ in range(3000)]
    boundaries = sorted(rng.sample(range(len(ids)), 6)) + [len(ids)]
    names = [f"f{k}" for k in range(len(boundaries))]
    _, out = decode(fresh(tmp_path), package_of_ids(ids, boundaries, names, vocabulary), tmp_path)
    assert read_tree(out) == reference_files(pack_records(ids), boundaries, names, vocabulary)


def test_a_file_too_long_to_be_written_in_place(tmp_path):
    # More than 174,762 records: the text is gathered apart and copied, not written in place.
    rng = random.Random(7)
    vocabulary = {token: i + 1 for i, token in enumerate(TOKEN_SHAPES)}
    ids = [rng.randint(1, 6) for _ in range(200_000)]
    ids[150_000] = vocabulary["\u00e9" * 7]
    ids[199_000] = vocabulary["\u0101"]
    ids[199_500] = vocabulary["\U0001f600" * 2]
    boundaries, names = [len(ids)], ["big"]
    _, out = decode(fresh(tmp_path), package_of_ids(ids, boundaries, names, vocabulary), tmp_path)
    assert read_tree(out) == reference_files(pack_records(ids), boundaries, names, vocabulary)


@pytest.mark.parametrize("trailing", [b"", b"\x00", b"\x00\x00\x01", b"\xff\xff\xff"])
@pytest.mark.parametrize("records", [[], [1, 2]])
def test_bytes_after_the_last_whole_record_are_ignored(tmp_path, records, trailing):
    stream = pack_records(records) + trailing
    package = package_dict(
        compressed=compress(stream), file_boundaries=[1, 5], filenames=["a", "b"],
        global_dict={"x": 1, "y": 2},
    )
    _, out = decode(fresh(tmp_path), package, tmp_path)
    assert read_tree(out) == reference_files(stream, [1, 5], ["a", "b"], {"x": 1, "y": 2})


def test_without_global_dict_every_token_is_unknown(tmp_path):
    compressor = fresh(tmp_path)
    compressor.global_dict["kept?"] = 1
    package = package_of_ids([1, 2, 1], [3], ["a"], MISSING)
    _, out = decode(compressor, package, tmp_path)
    assert read_tree(out) == {"a": "<UNK>" * 3}
    assert (compressor.global_dict, compressor.inverse_dict) == ({}, {})


@pytest.mark.parametrize(
    "compressed",
    [
        pytest.param(pack_records([1, 2, 1]), id="bytes"),
        pytest.param(bytearray(pack_records([1, 2, 1])), id="bytearray"),
        pytest.param(list(pack_records([1, 2, 1])), id="list-of-ints"),
        pytest.param(tuple(pack_records([1, 2, 1])) + (True,), id="tuple-with-trailing-bool"),
    ],
)
def test_uncompressed_stream_when_use_zstd_is_false(tmp_path, compressed):
    package = package_dict(compressed=compressed, file_boundaries=[2, 3], filenames=["a", "b"],
                           global_dict={"x": 1, "y": 2})
    # Protocol 5 has an opcode of its own for bytearray; older ones would name a global.
    _, out = decode(fresh(tmp_path), package, tmp_path, protocol=5, use_zstd=[])
    assert read_tree(out) == {"a": "xy", "b": "x"}


def test_existing_directory_and_files_are_reused_and_nested_paths_made(tmp_path):
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "one.md").write_text("old content that is longer")
    _, out = decode(fresh(tmp_path), worked_package(), tmp_path)
    assert read_tree(out) == {"one.md": "to be", "two.md": "be\nto"}
    _, nested = decode(fresh(tmp_path), worked_package(), tmp_path, out="x/y/z")
    assert read_tree(nested) == {"one.md": "to be", "two.md": "be\nto"}


def test_a_package_decodes_alike_whatever_the_object_held(tmp_path):
    package = worked_package()
    plain = fresh(tmp_path)
    _, out_plain = decode(plain, package, tmp_path, out="plain")
    grown = fresh(tmp_path)
    grown.global_dict.update({"other": 1, "words": 2})
    grown.inverse_dict.update({1: "other", 2: "words", 3: "!"})
    grown.next_id = 4
    _, out_grown = decode(grown, package, tmp_path, out="grown")
    assert read_tree(out_plain) == read_tree(out_grown) == {"one.md": "to be", "two.md": "be\nto"}
    assert grown.global_dict == WORKED_VOCABULARY and "other" not in grown.inverse_dict.values()


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_every_pickle_protocol_reads(tmp_path, protocol):
    _, out = decode(fresh(tmp_path), worked_package(), tmp_path, protocol=protocol)
    assert read_tree(out) == {"one.md": "to be", "two.md": "be\nto"}


TOKEN_TEXT = st.text(st.characters(blacklist_categories=("Cs",)), min_size=1, max_size=4)


@settings(max_examples=60, deadline=None)
@given(
    tokens=st.lists(TOKEN_TEXT, max_size=6),
    extra_ids=st.lists(st.integers(0, 2**31 - 1), max_size=3),
    picks=st.lists(st.integers(0, 9), max_size=30),
    boundaries=st.lists(st.integers(-40, 40), max_size=5),
)
def test_matches_the_plain_rules_on_random_packages(tokens, extra_ids, picks, boundaries):
    vocabulary = {token: i + 1 for i, token in enumerate(tokens)}
    vocabulary.update({f"extra{i}": token_id for i, token_id in enumerate(extra_ids)})
    known = list(vocabulary.values()) + [0, 99]
    ids = [known[p % len(known)] for p in picks]
    names = [f"f{i}" for i in range(len(boundaries))]
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "p.bin")
        write_package(path, package_of_ids(ids, boundaries, names, vocabulary))
        compressor = QVCompressor(os.path.join(work, "absent"))
        assert compressor.decode_package(path, os.path.join(work, "out")) == names
        assert read_tree(os.path.join(work, "out")) == reference_files(
            pack_records(ids), boundaries, names, vocabulary
        )


# ---------------------------------------------------------------------------------------------
# next_id after adopting a vocabulary


@pytest.mark.parametrize(
    "vocabulary, next_id_before, expected",
    [
        ({"a": 1, "b": 2, "c": 4}, 1, 5),
        ({"a": 1, "b": 2}, 10, 10),
        ({}, 7, 7),
        ({"a": 3}, -10, 4),
        ({"a": -5}, 1, 1),
        ({"a": "x", "b": 2.5}, 1, 1),
        ({"a": 2147483646}, 1, 2147483647),
        ({"a": 2147483647}, 1, 2147483647),
        ({"a": 2**40, "b": 1}, 5, 2147483647),
        ({"a": 2147483647}, 2147483647, 2147483647),
    ],
)
def test_next_id_rises_above_the_adopted_ids(tmp_path, vocabulary, next_id_before, expected):
    compressor = fresh(tmp_path)
    compressor.next_id = next_id_before
    decode(compressor, package_of_ids([], [], [], vocabulary), tmp_path)
    assert compressor.next_id == expected


def test_next_id_is_raised_even_when_the_stream_then_fails(tmp_path):
    compressor = fresh(tmp_path)
    package = package_dict(file_boundaries=[], filenames=[], global_dict={"a": 41})
    with pytest.raises(KeyError):
        decode(compressor, package, tmp_path)
    assert compressor.next_id == 42


# ---------------------------------------------------------------------------------------------
# Failures and what is done by then


def test_unreadable_package_changes_nothing(tmp_path):
    compressor = fresh(tmp_path)
    before = (compressor.global_dict, compressor.inverse_dict, compressor.next_id)
    (tmp_path / "garbage.bin").write_bytes(b"not a pickle at all")
    (tmp_path / "cut.bin").write_bytes(pickle.dumps(worked_package())[:-30])
    (tmp_path / "list.bin").write_bytes(pickle.dumps([1, 2]))
    cases = [
        (None, TypeError),
        (str(tmp_path / "missing.bin"), FileNotFoundError),
        (str(tmp_path / "garbage.bin"), pickle.UnpicklingError),
        (str(tmp_path / "cut.bin"), (pickle.UnpicklingError, EOFError)),
        (str(tmp_path / "list.bin"), AttributeError),
    ]
    for path, error in cases:
        with pytest.raises(error):
            compressor.decode_package(path, str(tmp_path / "out"))
        assert (compressor.global_dict, compressor.inverse_dict, compressor.next_id) == before
        assert compressor.global_dict is before[0] and compressor.inverse_dict is before[1]
    assert not (tmp_path / "out").exists()


def test_vocabulary_that_cannot_be_inverted(tmp_path):
    compressor = fresh(tmp_path)
    old_inverse = compressor.inverse_dict
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
        decode(compressor, package_of_ids([1], [1], ["a"], None), tmp_path)
    assert compressor.global_dict is None and compressor.inverse_dict is old_inverse
    with pytest.raises(TypeError, match="unhashable"):
        decode(compressor, package_of_ids([1], [1], ["a"], {"a": [1]}), tmp_path)
    assert compressor.global_dict == {"a": [1]} and compressor.inverse_dict is old_inverse
    assert not (tmp_path / "out").exists()


FRAME_WITHOUT_SIZE = zstandard.ZstdCompressor(write_content_size=False).compress(b"x" * 8)


def overflowing_records(vocabulary):
    return package_of_ids([1, 2**31, 1], [3], ["a"], vocabulary)


@pytest.mark.parametrize(
    "package, kwargs, error, message",
    [
        (package_dict(file_boundaries=[], filenames=[], global_dict={"a": 1}), {}, KeyError,
         "compressed"),
        (package_dict(compressed=b"\x28\xb5\x2f\xfd junk", file_boundaries=[], filenames=[]), {},
         zstandard.ZstdError, None),
        (overflowing_records({"a": 1}), {}, OverflowError, "^value too large to convert to int$"),
        (overflowing_records({"a": 1.0}), {}, OverflowError, "^value too large to convert to int$"),
        (package_dict(compressed=pack_records([1, 2**31]), file_boundaries=[], filenames=[]),
         {"use_zstd": False}, OverflowError, "^value too large to convert to int$"),
        (package_dict(compressed=[0, 0, 0, 1] + [2**32, 0, 0, 0], file_boundaries=[], filenames=[]),
         {"use_zstd": False}, OverflowError, "^value too large to convert to int$"),
        (package_dict(compressed="abcdefgh", file_boundaries=[], filenames=[]), {"use_zstd": False},
         TypeError, "unsupported operand type"),
        (package_dict(compressed=12, file_boundaries=[], filenames=[]), {"use_zstd": False},
         TypeError, "has no len"),
        (package_dict(compressed=FRAME_WITHOUT_SIZE, file_boundaries=[], filenames=[]), {},
         zstandard.ZstdError, None),
    ],
    ids=["no-compressed", "not-a-frame", "overflow", "overflow-generic-lookup", "overflow-raw",
         "overflow-items", "str-stream", "int-stream", "frame-without-size"],
)
def test_stream_failures_create_nothing(tmp_path, package, kwargs, error, message):
    compressor = fresh(tmp_path)
    with pytest.raises(error, match=message):
        decode(compressor, package, tmp_path, **kwargs)
    assert not (tmp_path / "out").exists()
    assert compressor.global_dict == package.get("global_dict", {})


def test_output_directory_that_cannot_be_made(tmp_path):
    (tmp_path / "out").write_text("a file in the way")
    compressor = fresh(tmp_path)
    with pytest.raises(FileExistsError):
        decode(compressor, worked_package(), tmp_path)
    assert compressor.global_dict == WORKED_VOCABULARY
    with pytest.raises(TypeError):
        compressor.decode_package(str(tmp_path / "package.bin"), None)


@pytest.mark.parametrize("missing", ["file_boundaries", "filenames"])
def test_missing_walk_entry_after_the_directory_is_made(tmp_path, missing):
    package = worked_package()
    del package[missing]
    with pytest.raises(KeyError) as raised:
        decode(fresh(tmp_path), package, tmp_path)
    assert raised.value.args == (missing,)
    assert (tmp_path / "out").is_dir() and read_tree(tmp_path / "out") == {}


@pytest.mark.parametrize(
    "bad_boundary, bad_name, error, message",
    [
        ("3", "b", TypeError, "^an integer is required$"),
        (2**31, "b", OverflowError, "^value too large to convert to int$"),
        (3.9, b"b", TypeError, "^Expected str, got bytes$"),
        (3, 7, TypeError, "^Expected str, got int$"),
        (3, None, TypeError, "NoneType"),
        (3, "a_directory", IsADirectoryError, "a_directory"),
    ],
)
def test_walk_failures_keep_earlier_files(tmp_path, bad_boundary, bad_name, error, message):
    package = package_of_ids([1, 2, 1], [1, bad_boundary, 3], ["first", bad_name, "third"],
                             {"x": 1, "y": 2})
    (tmp_path / "out" / "a_directory").mkdir(parents=True)
    with pytest.raises(error, match=message):
        decode(fresh(tmp_path), package, tmp_path)
    assert read_tree(tmp_path / "out") == {"first": "x"}


@pytest.mark.parametrize(
    "vocabulary, error_of",
    [
        ({"x": 1, 5: 2}, lambda: "".join(["x", 5])),
        ({"x": 1, "\ud800": 2}, lambda: "x\ud800".encode("utf-8")),
    ],
    ids=["non-str-token", "unencodable"],
)
def test_bad_token_leaves_its_file_empty(tmp_path, vocabulary, error_of):
    with pytest.raises(Exception) as expected:
        error_of()
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "second").write_text("previous content")
    package = package_of_ids([1, 1, 2], [1, 3], ["first", "second"], vocabulary)
    with pytest.raises(expected.type) as raised:
        decode(fresh(tmp_path), package, tmp_path)
    assert str(raised.value) == str(expected.value)
    assert read_tree(tmp_path / "out") == {"first": "x", "second": ""}


@pytest.mark.parametrize(
    "bad_token", [5, b"bytes", "\ud800", "a\udfff"], ids=["int", "bytes", "surrogate", "late-surrogate"]
)
def test_a_bad_token_that_no_record_uses_changes_no_file(tmp_path, bad_token):
    vocabulary = {"x": 1, " ": 2, "\u00e9\u4e2d": 3, bad_token: 4}
    package = package_of_ids([1, 2, 3, 1, 9], [2, 5], ["first", "second"], vocabulary)
    result, out = decode(fresh(tmp_path), package, tmp_path)
    assert result == ["first", "second"]
    assert read_tree(out) == {"first": "x ", "second": "\u00e9\u4e2dx<UNK>"}


class AngleMapping(dict):
    def get(self, key, default=None):
        return f"<{key}>"


@pytest.mark.parametrize(
    "mutate, expected",
    [
        (lambda c: c.inverse_dict.update({2: "late"}), "x late"),
        (lambda c: c.inverse_dict.__setitem__(1, "y"), "y <UNK>"),
        (lambda c: setattr(c, "inverse_dict", AngleMapping()), "<1><3><2>"),
    ],
    ids=["key-added", "value-replaced", "replaced-by-subclass"],
)
def test_records_are_looked_up_in_the_objects_inverse_dict_after_decompressing(
    tmp_path, monkeypatch, mutate, expected
):
    compressor = fresh(tmp_path)
    fake = FakeZstd(pack_records([1, 3, 2]), on_decompress=lambda: mutate(compressor))
    monkeypatch.setattr(qvc_compressor, "zstd", fake)
    package = package_dict(compressed=b"anything", file_boundaries=[3], filenames=["a"],
                           global_dict={"x": 1, " ": 3})
    decode(compressor, package, tmp_path)
    assert fake.calls == [b"anything"]
    assert read_tree(tmp_path / "out") == {"a": expected}


# ---------------------------------------------------------------------------------------------
# Packages from elsewhere


class RunsCommand:
    def __init__(self, command):
        self.command = command

    def __reduce__(self):
        return os.system, (self.command,)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_a_pickle_that_would_run_a_command_runs_nothing(tmp_path, protocol):
    marker = tmp_path / "ran"
    compressor = fresh(tmp_path)
    before = (compressor.global_dict, compressor.inverse_dict)
    package = worked_package()
    package["global_dict"] = RunsCommand(f"touch {marker}")
    with pytest.raises(pickle.UnpicklingError, match="system"):
        decode(compressor, package, tmp_path, protocol=protocol)
    assert not marker.exists()
    assert (compressor.global_dict, compressor.inverse_dict) == before
    assert compressor.global_dict is before[0]
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    "unsafe",
    ["../escape", "ABSOLUTE", "", ".", "..", "sub/file", "nul\x00byte"]
    + ([os.altsep + "x"] if os.altsep else []),
)
def test_names_that_leave_the_output_directory_are_refused(tmp_path, unsafe):
    if unsafe == "ABSOLUTE":
        unsafe = str(tmp_path / "absolute")
    package = package_of_ids([1, 2], [1, 2], ["safe", unsafe], {"x": 1, "y": 2})
    with pytest.raises(ValueError, match="refusing to restore") as raised:
        decode(fresh(tmp_path), package, tmp_path)
    assert repr(unsafe) in str(raised.value)
    assert sorted(os.listdir(tmp_path)) == ["package.bin"]


def test_names_of_other_types_keep_their_walk_order_error(tmp_path):
    package = package_of_ids([1, 2], [1, 2, 2], ["safe", b"../bytes", "../late"], {"x": 1, "y": 2})
    with pytest.raises(ValueError, match="'../late'"):
        decode(fresh(tmp_path), package, tmp_path)
    package["filenames"] = ["safe", b"../bytes"]
    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        decode(fresh(tmp_path), package, tmp_path)
    assert read_tree(tmp_path / "out") == {"safe": "x"}


MAGIC = b"\x28\xb5\x2f\xfd"


def frame_header(descriptor, fcs, fcs_size, dictionary_id_size=0):
    """A frame header whose Dictionary_ID bytes are all 0xff, so that a misplaced read of the
    content size field shows."""
    window = b"" if descriptor & 0x20 else b"\x58"
    stored = fcs - 256 if fcs_size == 2 else fcs
    return (MAGIC + bytes([descriptor]) + window + b"\xff" * dictionary_id_size
            + stored.to_bytes(fcs_size, "little") + b"\x01\x00\x00")


LIMIT = 2**31


@pytest.mark.parametrize(
    "header, refused",
    [
        (frame_header(0x20, 200, 1), False),
        (frame_header(0x61, 65791, 2, 1), False),
        (frame_header(0x82, LIMIT, 4, 2), False),
        (frame_header(0x82, LIMIT + 1, 4, 2), True),
        (frame_header(0x80, 2**32 - 1, 4), True),
        (frame_header(0xC3, 5, 8, 4), False),
        (frame_header(0xC3, 2**40, 8, 4), True),
        (frame_header(0xE1, 2**40, 8, 1), True),
        (frame_header(0xE0, LIMIT, 8), False),
        (MAGIC + b"\x00\x58", False),  # no content size: the binding's own business
        (MAGIC + b"\xc0", False),  # cut short
    ],
)
def test_frame_content_size_is_checked_before_decompressing(tmp_path, monkeypatch, header, refused):
    fake = FakeZstd()
    monkeypatch.setattr(qvc_compressor, "zstd", fake)
    package = package_dict(compressed=header, file_boundaries=[], filenames=[])
    if refused:
        with pytest.raises(ValueError, match="refusing to decompress"):
            decode(fresh(tmp_path), package, tmp_path)
        assert fake.calls == [] and not (tmp_path / "out").exists()
    else:
        decode(fresh(tmp_path), package, tmp_path)
        assert fake.calls == [header]


def test_a_frame_claiming_a_terabyte_is_refused_by_the_real_binding_path(tmp_path):
    package = package_dict(compressed=frame_header(0xE0, 2**40, 8), file_boundaries=[0],
                           filenames=["a"], global_dict={"x": 1})
    compressor = fresh(tmp_path)
    with pytest.raises(ValueError, match=str(2**40)):
        decode(compressor, package, tmp_path)
    assert not (tmp_path / "out").exists()
    assert compressor.global_dict == {"x": 1}


# ---------------------------------------------------------------------------------------------
# Files far larger than their package: a few records can stand for gigabytes of text

# A file's text goes out in one write up to this many bytes of str storage, in pieces beyond.
PIECE_BYTES = 2**24
# An address space limit means nothing to a process that maps terabytes of sanitizer shadow.
def stream_of_runs(runs):
    """The packed stream of `runs`, a list of (ids, repeats): each list of ids written `repeats`
    times in a row."""
    return b"".join(pack_records(ids) * repeats for ids, repeats in runs)


def text_segments(runs, vocabulary):
    """The text of `runs` under `vocabulary`, as (text, repeats) segments."""
    inverse = {token_id: token for token, token_id in vocabulary.items()}
    return [("".join(inverse.get(i, "<UNK>") for i in ids), repeats) for ids, repeats in runs]


def assert_file_holds(path, segments):
    """The file is exactly the UTF-8 text of `segments`, compared a megabyte or so at a time so
    that neither side is ever held whole."""
    offset = 0
    with open(path, "rb") as f:
        for text, repeats in segments:
            data = text.encode("utf-8")
            per_block = max(1, 2**20 // max(1, len(data)))
            full, rest = divmod(repeats, per_block)
            for block, times in ((data * per_block, full), (data * rest, 1)):
                for _ in range(times):
                    end = offset + len(block)
                    if f.read(len(block)) != block:
                        pytest.fail(f"{path} differs within bytes {offset} to {end}")
                    offset = end
        assert f.read(1) == b"", f"{path} is longer than its {offset} bytes"


class RecordingOpen:
    """Stands in for the builtin open: the real file, and for a file opened to write text, the
    length of every text written to it and whether it was closed."""

    def __init__(self, real_open):
        self.real_open = real_open
        self.writes = {}
        self.closed = set()

    def __call__(self, path, mode="r", *args, **kwargs):
        file = self.real_open(path, mode, *args, **kwargs)
        if mode != "w":
            return file
        name = os.path.basename(path)
        lengths = self.writes.setdefault(name, [])
        closed = self.closed

        class Recorded:
            def write(self, text):
                lengths.append(len(text))
                return file.write(text)

            def close(self):
                closed.add(name)
                return file.close()

        return Recorded()


def test_a_small_package_of_a_huge_file_is_restored_in_bounded_memory(tmp_path):
    vocabulary = {"w" * 97: 1, " ": 2, "\u00e9t\u00e9" * 20: 3, "\n": 4}
    pattern = [1, 2, 1, 2, 3, 4, 1]
    [(pattern_text, _)] = text_segments([(pattern, 1)], vocabulary)
    repeats = 12 * PIECE_BYTES // len(pattern_text)
    runs = [(pattern, repeats)]
    package = package_dict(
        compressed=compress(stream_of_runs(runs)), file_boundaries=[-1, 2**31 - 1],
        filenames=["huge", "tail"], global_dict=vocabulary,
    )
    write_package(tmp_path / "package.bin", package)
    assert os.path.getsize(tmp_path / "package.bin") < 64 * 1024
    text_bytes = repeats * len(pattern_text.encode("utf-8"))
    # Room for the decoder's working data, but not for the text whole: a single write holds the
    # text at least twice over (the str and its encoded bytes).
    budget = text_bytes // 2 if CAN_LIMIT_ADDRESS_SPACE else 0
    result = run_python(
        f"""
        import resource
        from qvc_compressor import QVCompressor

        compressor = QVCompressor({str(tmp_path / 'absent')!r})
        if {budget}:
            with open("/proc/self/status") as status:
                size = next(int(line.split()[1]) * 1024 for line in status
                            if line.startswith("VmSize:"))
            _, hard = resource.getrlimit(resource.RLIMIT_AS)
            resource.setrlimit(resource.RLIMIT_AS, (size + {budget}, hard))
        compressor.decode_package({str(tmp_path / 'package.bin')!r}, {str(tmp_path / 'out')!r})
        """
    )
    assert result.returncode == 0, result.stderr[-2000:]
    huge_ids = [(pattern, repeats - 1), (pattern[:-1], 1)]
    assert_file_holds(tmp_path / "out" / "huge", text_segments(huge_ids, vocabulary))
    assert_file_holds(tmp_path / "out" / "tail", text_segments([(pattern[-1:], 1)], vocabulary))


# Tokens of every storage kind, and one of more than a piece's storage on its own.
LARGE_VOCABULARY = {
    "a" * 97: 1, " ": 2, "\u00e9" * 5: 3, "\u4e2d\u6587": 4, "\U0001f600": 5,
    "\u4e2d" * (PIECE_BYTES // 2 + 7): 6, "": 7,
}
LARGE_RUNS = [
    ([2, 3, 4], 1),
    ([1, 2, 1, 2, 3, 2, 7], 120_000),  # 24 million characters of one byte: a piece and a half
    ([5], 1),  # a character of four bytes, so every character near it is stored in four
    ([1, 4, 2, 5, 7, 7], 40_000),  # 4 million characters, about a piece at four bytes each
    ([6], 1),  # the token longer than a piece
    ([7], 100_000),  # empty tokens, no text at all
    ([1, 2, 4], 55_000),  # 5.5 million characters of two bytes
    ([3], 1),
]


@pytest.mark.parametrize("id_type", [int, float], ids=["decoder-table", "interpreter-lookups"])
def test_a_large_file_is_written_in_pieces_that_make_its_exact_text(
    tmp_path, monkeypatch, id_type
):
    vocabulary = {token: id_type(token_id) for token, token_id in LARGE_VOCABULARY.items()}
    # The slices [0:3], [3:-1], [-1:2**31-1] and [2**31-1:5], as lists take them.
    boundaries = [3, -1, 2**31 - 1, 5]
    names = ["small", "big", "last", "empty"]
    package = package_dict(compressed=compress(stream_of_runs(LARGE_RUNS)),
                           file_boundaries=boundaries, filenames=names, global_dict=vocabulary)
    write_package(tmp_path / "package.bin", package)
    compressor, out = fresh(tmp_path), tmp_path / "out"
    recording = RecordingOpen(open)
    monkeypatch.setattr("builtins.open", recording)
    result = compressor.decode_package(str(tmp_path / "package.bin"), str(out))
    monkeypatch.undo()
    assert result == names

    segments = text_segments(LARGE_RUNS, LARGE_VOCABULARY)
    assert_file_holds(out / "small", segments[:1])
    assert_file_holds(out / "big", segments[1:-1])
    assert_file_holds(out / "last", segments[-1:])
    assert_file_holds(out / "empty", [])
    big_length = sum(len(text) * repeats for text, repeats in segments[1:-1])
    assert big_length > 2 * PIECE_BYTES
    # Ordinary files are written whole; the large one in pieces, none near its whole size.
    assert recording.writes["small"] == [len(segments[0][0])]
    assert recording.writes["last"] == [len(segments[-1][0])]
    assert recording.writes["empty"] == [0]
    pieces = recording.writes["big"]
    assert sum(pieces) == big_length
    assert len(pieces) > 4 and max(pieces) <= 2 * PIECE_BYTES
    assert recording.closed == set(names)


@pytest.mark.parametrize("character", ["\u00e9", "\u4e2d"], ids=["latin-1", "cjk"])
def test_a_text_within_a_piece_of_str_storage_is_one_write(tmp_path, monkeypatch, character):
    # Its UTF-8 form is longer than a piece: only the str's storage decides.
    token = character * 100
    bytes_per_char = 1 if ord(character) < 0x100 else 2
    repeats = PIECE_BYTES // (bytes_per_char * len(token)) - 2
    text_chars = repeats * len(token)
    assert len((token * repeats).encode("utf-8")) > PIECE_BYTES
    package = package_of_ids([1] * repeats, [repeats], ["big"], {token: 1})
    recording = RecordingOpen(open)
    monkeypatch.setattr("builtins.open", recording)
    decode(fresh(tmp_path), package, tmp_path)
    monkeypatch.undo()
    assert recording.writes["big"] == [text_chars]
    assert (tmp_path / "out" / "big").read_text(encoding="utf-8") == token * repeats


@pytest.mark.parametrize("id_type", [int, float], ids=["decoder-table", "interpreter-lookups"])
@pytest.mark.parametrize("position", [0, 1, 3000, 250_000], ids=lambda p: f"item-{p}")
def test_a_token_that_is_not_a_str_leaves_a_large_file_empty(tmp_path, id_type, position):
    vocabulary = {"first": id_type(1), "a" * 100: id_type(2), 7: id_type(3)}
    big = [2] * 300_000  # 30 million characters
    big[position] = 3
    ids = [1, *big]
    inverse = {token_id: token for token, token_id in vocabulary.items()}
    with pytest.raises(TypeError) as expected:
        "".join([inverse[i] for i in big])
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "big").write_text("previous content")
    package = package_of_ids(ids, [1, len(ids)], ["first", "big"], vocabulary)
    with pytest.raises(TypeError) as raised:
        decode(fresh(tmp_path), package, tmp_path)
    assert str(raised.value) == str(expected.value)
    assert read_tree(tmp_path / "out") == {"first": "first", "big": ""}


@pytest.mark.parametrize("id_type", [int, float], ids=["decoder-table", "interpreter-lookups"])
def test_an_unencodable_character_far_into_a_large_file(tmp_path, id_type):
    vocabulary = {"a" * 100: id_type(1), "\ud800": id_type(2)}
    ids = [1] * 400_000
    ids[350_000] = 2
    package = package_of_ids(ids, [len(ids)], ["big"], vocabulary)
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "big").write_text("previous content")
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        decode(fresh(tmp_path), package, tmp_path)
    # As one write of the whole text would: the file is truncated and nothing is written.
    assert (tmp_path / "out" / "big").read_bytes() == b""


# ---------------------------------------------------------------------------------------------
# Reading large streams: in pieces, as the one-shot calls would


@functools.lru_cache(maxsize=2)
def _large_stream_package(records):
    vocabulary = {"w%d" % i: i for i in range(1, 50)} | {" ": 50}
    ids = [(i * 7919) % 49 + 1 if i % 2 == 0 else 50 for i in range(records)]
    return package_of_ids(ids, [records], ["big"], vocabulary), ids, vocabulary


def large_stream_package(records=6_000_000):
    """A package whose frame holds more than the decoder decompresses in one call (a copy of
    the package dict, the ids and the vocabulary)."""
    package, ids, vocabulary = _large_stream_package(records)
    return dict(package), ids, vocabulary


def test_a_large_frame_decompresses_in_pieces_to_the_same_text(tmp_path):
    package, ids, vocabulary = large_stream_package()
    assert len(zstandard.ZstdDecompressor().decompress(package["compressed"])) >= 2**24
    decode(fresh(tmp_path), package, tmp_path)
    inverse = {token_id: token for token, token_id in vocabulary.items()}
    assert (tmp_path / "out" / "big").read_text() == "".join(inverse[i] for i in ids)


@functools.lru_cache(maxsize=1)
def damaged_frames():
    """Large frames that are not a clean single frame of the size their header states."""
    package, _, _ = large_stream_package()
    frame = package["compressed"]
    corrupt = bytearray(frame)
    corrupt[len(frame) // 2] ^= 0xFF
    # A frame that claims a content size one record larger than it holds.
    other = zstandard.ZstdCompressor(write_content_size=False).compress(
        zstandard.ZstdDecompressor().decompress(frame))
    claims_more = MAGIC + bytes([0x80 | (other[4] & 0x3F)]) + other[5:6] + (
        len(zstandard.ZstdDecompressor().decompress(frame)) + 4).to_bytes(4, "little") + other[6:]
    return {
        "corrupt-block": bytes(corrupt),
        "cut-short": frame[:-100],
        "trailing-bytes": frame + b"\x00" * 7,
        "two-frames": frame + compress(b"\x00\x00\x00\x01"),
        "claims-more": claims_more,
    }


@pytest.mark.parametrize("case", sorted(damaged_frames()))
def test_a_large_damaged_frame_fails_or_decodes_as_the_one_shot_call_does(tmp_path, case):
    frame = damaged_frames()[case]
    try:
        expected = zstandard.ZstdDecompressor().decompress(frame)
    except zstandard.ZstdError as error:
        expected = error
    package, _, _ = large_stream_package()
    package["compressed"] = frame
    package["file_boundaries"] = [2**31 - 1]
    if isinstance(expected, Exception):
        with pytest.raises(zstandard.ZstdError) as raised:
            decode(fresh(tmp_path), package, tmp_path)
        assert str(raised.value) == str(expected)
        assert not (tmp_path / "out").exists()
    else:
        decode(fresh(tmp_path), package, tmp_path)
        # The same records handed over already decompressed: no frame to read at all.
        decode(fresh(tmp_path), dict(package, compressed=expected), tmp_path, out="reference",
               use_zstd=False)
        restored = (tmp_path / "out" / "big").read_bytes()
        assert restored == (tmp_path / "reference" / "big").read_bytes()


def test_two_threads_decoding_at_once(tmp_path):
    # Each decode watches the vocabulary it adopted while the decompressor lets the other thread
    # run, so the two decodes' watches begin and end interleaved, in either order.
    for name, records in (("small.bin", 1000), ("large.bin", 5_000_000)):
        package, _, _ = large_stream_package(records)
        write_package(tmp_path / name, package)
    result = run_python(
        f"""
        import os, threading
        from qvc_compressor import QVCompressor

        root = {str(tmp_path)!r}
        expected = {{}}
        for name in ("small.bin", "large.bin"):
            QVCompressor(os.path.join(root, "absent")).decode_package(
                os.path.join(root, name), os.path.join(root, "reference", name))
            with open(os.path.join(root, "reference", name, "big"), "rb") as f:
                expected[name] = f.read()
        failures = []

        def decode_many(worker):
            compressor = QVCompressor(os.path.join(root, "absent"))
            try:
                for round in range(12):
                    name = ("small.bin", "large.bin")[(round + worker) % 2]
                    out = os.path.join(root, f"out-{{worker}}-{{round}}")
                    compressor.decode_package(os.path.join(root, name), out)
                    with open(os.path.join(out, "big"), "rb") as f:
                        if f.read() != expected[name]:
                            failures.append((worker, round))
                    inverse = {{v: k for k, v in compressor.global_dict.items()}}
                    if compressor.inverse_dict != inverse:
                        failures.append((worker, round, "inverse"))
            except BaseException as error:
                failures.append(repr(error))

        threads = [threading.Thread(target=decode_many, args=(w,)) for w in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print(failures)
        """
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip() == "[]"


@pytest.mark.parametrize("link_to", ["outside-file", "dangling"])
def test_a_symlink_in_the_output_directory_is_not_written_through(tmp_path, link_to):
    outside = tmp_path / "outside.txt"
    if link_to == "outside-file":
        outside.write_text("keep me")
    (tmp_path / "out").mkdir()
    os.symlink(outside, tmp_path / "out" / "two.md")
    with pytest.raises(OSError) as raised:
        decode(fresh(tmp_path), worked_package(), tmp_path)
    assert raised.value.filename == str(tmp_path / "out" / "two.md")
    assert "symbolic link" in str(raised.value)
    assert os.path.islink(tmp_path / "out" / "two.md")
    assert (tmp_path / "out" / "one.md").read_text() == "to be"
    if link_to == "outside-file":
        assert outside.read_text() == "keep me"
    else:
        assert not outside.exists()


def test_a_directory_symlink_above_the_output_is_followed(tmp_path):
    (tmp_path / "real").mkdir()
    os.symlink(tmp_path / "real", tmp_path / "link")
    decode(fresh(tmp_path), worked_package(), tmp_path, out="link/out")
    assert read_tree(tmp_path / "real" / "out") == {"one.md": "to be", "two.md": "be\nto"}


# ---------------------------------------------------------------------------------------------
# Encode, then decode (these need encode_files)


def _encoder_available():
    with tempfile.TemporaryDirectory() as work:
        try:
            QVCompressor(os.path.join(work, "d")).encode_files([], os.path.join(work, "p"))
        except NotImplementedError:
            return False
    return True


needs_encoder = pytest.mark.skipif(not _encoder_available(), reason="encode_files not built yet")

ROUND_TRIP_TEXTS = [
    ("prose.txt", "To be, or not to be: that is the question.\n\tWhether 'tis nobler\n"),
    ("unicode.md", "d\u00e9j\u00e0 vu \u4e2d\u6587 \U0001f600  \u2003em space\u00a0nbsp\n"),
    ("crlf.txt", "windows\r\nline\r\nends\r\n"),
    ("bom.txt", "\ufeffstarts with a mark"),
    ("empty.txt", ""),
    ("blank.txt", " \n\n\t "),
]


def write_inputs(directory, files):
    directory.mkdir(parents=True, exist_ok=True)
    paths = []
    for name, text in files:
        path = directory / name
        path.write_bytes(text.encode("utf-8"))
        paths.append(str(path))
    return paths


def text_as_read(text):
    return text.replace("\r\n", "\n").replace("\r", "\n")


@needs_encoder
def test_worked_example_through_the_encoder(tmp_path):
    paths = write_inputs(tmp_path / "in", [("one.md", "to be"), ("two.md", "be\nto")])
    fresh(tmp_path).encode_files(paths, str(tmp_path / "p.bin"))
    reader = fresh(tmp_path)
    assert reader.decode_package(str(tmp_path / "p.bin"), str(tmp_path / "out")) == [
        "one.md",
        "two.md",
    ]
    assert read_tree(tmp_path / "out") == {"one.md": "to be", "two.md": "be\nto"}
    assert list(reader.global_dict.items()) == list(WORKED_VOCABULARY.items())
    assert reader.inverse_dict == {1: "to", 2: " ", 3: "be", 4: "\n"}
    assert reader.next_id == 5


@needs_encoder
def test_round_trip_in_another_object_and_process(tmp_path):
    paths = write_inputs(tmp_path / "in", ROUND_TRIP_TEXTS)
    encoder = fresh(tmp_path)
    encoder.encode_files(paths, str(tmp_path / "p.bin"))
    expected = {name: text_as_read(text) for name, text in ROUND_TRIP_TEXTS}

    other = fresh(tmp_path)
    other.global_dict.update({"To": 99, "be,": 1})
    other.inverse_dict.update({99: "To", 1: "be,"})
    assert other.decode_package(str(tmp_path / "p.bin"), str(tmp_path / "here")) == [
        name for name, _ in ROUND_TRIP_TEXTS
    ]
    assert read_tree(tmp_path / "here") == expected
    assert other.global_dict == encoder.global_dict

    result = run_python(
        f"""
        from qvc_compressor import QVCompressor
        names = QVCompressor({str(tmp_path / 'absent')!r}).decode_package(
            {str(tmp_path / 'p.bin')!r}, {str(tmp_path / 'there')!r})
        print(names)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == repr([name for name, _ in ROUND_TRIP_TEXTS])
    assert read_tree(tmp_path / "there") == expected


@needs_encoder
def test_encoding_after_a_decode_hands_out_free_ids(tmp_path):
    paths = write_inputs(tmp_path / "in", [("a.txt", "alpha beta gamma\n")])
    source = fresh(tmp_path)
    source.encode_files(paths, str(tmp_path / "first.bin"))
    reader = fresh(tmp_path)
    reader.decode_package(str(tmp_path / "first.bin"), str(tmp_path / "out1"))
    more = write_inputs(tmp_path / "more", [("b.txt", "delta alpha epsilon\n")])
    reader.encode_files(more, str(tmp_path / "second.bin"))
    ids = list(reader.global_dict.values())
    assert len(ids) == len(set(ids))
    fresh(tmp_path).decode_package(str(tmp_path / "second.bin"), str(tmp_path / "out2"))
    assert read_tree(tmp_path / "out2") == {"b.txt": "delta alpha epsilon\n"}


@needs_encoder
def test_plain_writer_and_encoder_agree(tmp_path):
    """The test packages of this file are written like the encoder's."""
    files = ROUND_TRIP_TEXTS[:2]
    paths = write_inputs(tmp_path / "in", files)
    encoder = fresh(tmp_path)
    encoder.encode_files(paths, str(tmp_path / "p.bin"))
    with open(tmp_path / "p.bin", "rb") as f:
        written = pickle.load(f)
    expected = package_of_texts(files)
    assert written["file_boundaries"] == expected["file_boundaries"]
    assert written["global_dict"] == expected["global_dict"]
    assert zstandard.ZstdDecompressor().decompress(written["compressed"]) == (
        zstandard.ZstdDecompressor().decompress(expected["compressed"])
    )
