"""The line-end record: undoing what reading text with universal newlines changed."""

import io

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from qvc_cli.line_ends import LineEndRecorder, is_valid_record, record_of, restore


def as_read_by_the_library(data: bytes) -> bytes:
    return io.TextIOWrapper(io.BytesIO(data), encoding="utf-8").read().encode("utf-8")


pieces = st.lists(st.sampled_from([b"\r\n", b"\r", b"\n", b"a", b"bc ", b"\xc3\xa9", b""]), max_size=60)


@settings(max_examples=300, deadline=None)
@given(pieces, st.integers(min_value=1, max_value=7))
def test_restoring_gives_back_the_original_bytes(parts, piece_size):
    data = b"".join(parts)
    record = record_of(data)
    assert restore(as_read_by_the_library(data), record) == data
    # Fed in pieces of any size (a CR at the end of one piece, LF at the start of the next).
    recorder = LineEndRecorder()
    for start in range(0, len(data), piece_size):
        recorder.feed(data[start:start + piece_size])
    assert recorder.finish() == record


@pytest.mark.parametrize(
    "data, record",
    [
        (b"no carriage return\n\n", None),
        (b"a\r\nb\r\n", (2 << 2 | 1,)),
        (b"a\rb\r", (2 << 2 | 2,)),
        (b"\n\r\n\r\r\n", (1 << 2 | 0, 1 << 2 | 1, 1 << 2 | 2, 1 << 2 | 1)),
        (b"\r\r\n", (1 << 2 | 2, 1 << 2 | 1)),
    ],
)
def test_records_are_compact(data, record):
    assert record_of(data) == record
    assert record is None or is_valid_record(record)


@pytest.mark.parametrize("text, record", [(b"one line\n", (2 << 2 | 1,)), (b"a\nb\n", (1 << 2 | 1,))])
def test_a_record_that_does_not_fit_the_text_is_refused(text, record):
    assert restore(text, record) is None


@pytest.mark.parametrize("record", [(3,), (-4,), [5], (1.0,), ("x",)])
def test_malformed_records_are_recognised(record):
    assert not is_valid_record(record)


@pytest.mark.parametrize("text, record", [
    (b"a\nb\nc\nd\n", (1 << 2 | 1, 2 << 2 | 0, 1 << 2 | 2)),
    (b"\n\n\n", (3 << 2 | 1,)),
    (b"no line end", ()),
    (b"a\nb\n", (3 << 2 | 1,)),  # a record that does not fit: one line end too many
    (b"a\nb\nc\n", (1 << 2 | 1,)),  # one too few
])
@pytest.mark.parametrize("piece", [1, 2, 5, 100])
def test_line_ends_come_back_the_same_in_pieces_of_any_size(text, record, piece):
    from qvc_cli.line_ends import LineEndRestorer, restore

    restorer = LineEndRestorer(record)
    pieces = b"".join(restorer.feed(text[i:i + piece]) for i in range(0, len(text), piece))
    whole = restore(text, record)
    assert restorer.fits() == (whole is not None)
    if whole is not None:
        assert pieces == whole
