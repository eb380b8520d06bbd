"""Pickling, copying and restoring QVCompressor objects."""

import copy
import os
import pickle

import pytest

import qvc_compressor
from qvc_compressor import QVCompressor

unpickle = qvc_compressor.__pyx_unpickle_QVCompressor

WRITTEN_CHECKSUM = 0x3E12E10
ACCEPTED_CHECKSUMS = [0x3E12E10, 0x7D3093E, 0x18C54B4]
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


class Tagged(QVCompressor):
    """A Python subclass: instances have an attribute dictionary."""


class Slotted(QVCompressor):
    """A Python subclass without an attribute dictionary."""

    __slots__ = ()


class Tracked(QVCompressor):
    """Records the dict_path of every instance that is released, to see that none leaks."""

    released = []

    def __del__(self):
        Tracked.released.append(self.dict_path)


def blank(cls=QVCompressor):
    return cls.__new__(cls)


def with_vocabulary(cls=QVCompressor, text="the cat sat on the mat\n"):
    """An object in the state that packing files leaves behind, built without a dictionary file."""
    obj = blank(cls)
    obj.dict_path = "words.bin"
    obj.global_dict = {}
    obj.inverse_dict = {}
    obj.next_id = 1
    for token in obj.tokenize(text):
        if token not in obj.global_dict:
            obj.global_dict[token] = obj.next_id
            obj.inverse_dict[obj.next_id] = token
            obj.next_id += 1
    return obj


def pickled(protocol=pickle.DEFAULT_PROTOCOL):
    """A duplicator that goes through a serialized stream."""

    def round_trip(obj):
        return pickle.loads(pickle.dumps(obj, protocol))

    round_trip.__name__ = f"pickle_protocol_{protocol}"
    return round_trip


def fields(obj):
    return obj.dict_path, obj.global_dict, obj.inverse_dict, obj.next_id


def set_fields(obj, *values):
    obj.dict_path, obj.global_dict, obj.inverse_dict, obj.next_id = values


def incompatible_message(checksum):
    return (
        f"Incompatible checksums (0x{checksum:x} vs (0x3e12e10, 0x7d3093e, 0x18c54b4) = "
        "(dict_path, global_dict, inverse_dict, next_id))"
    )


# --- __reduce__ --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "values, form_length",
    [
        ((None, None, None, 0), 2),
        ((None, None, None, INT32_MIN), 2),
        (("words.bin", None, None, 0), 3),
        ((None, {"a": 1}, None, 0), 3),
        ((None, None, {1: "a"}, 0), 3),
        ((7, [1], (2,), INT32_MAX), 3),
    ],
)
def test_reduce_form_depends_only_on_reference_fields(values, form_length):
    obj = blank()
    set_fields(obj, *values)
    reduced = obj.__reduce__()
    assert len(reduced) == form_length
    function, args = reduced[0], reduced[1]
    assert function is unpickle
    assert args[0] is QVCompressor and args[1] == WRITTEN_CHECKSUM
    if form_length == 3:
        assert args[2] is None
        state = reduced[2]
    else:
        state = args[2]
    assert type(state) is tuple and len(state) == 4
    # The state holds the object's own values, not copies.
    assert all(a is b for a, b in zip(state[:3], fields(obj)[:3]))
    assert state[3] == values[3] and type(state[3]) is int


@pytest.mark.parametrize("cls", [Tagged, Slotted])
@pytest.mark.parametrize("initialised", [False, True])
def test_reduce_of_subclass_names_the_subclass(cls, initialised):
    obj = with_vocabulary(cls) if initialised else blank(cls)
    reduced = obj.__reduce__()
    has_dict = cls is Tagged
    # An instance dictionary, even an empty one, always selects __setstate__.
    assert len(reduced) == (3 if has_dict or initialised else 2)
    args = reduced[1]
    assert args[0] is cls
    state = reduced[2] if len(reduced) == 3 else args[2]
    assert len(state) == (5 if has_dict else 4)
    if has_dict:
        assert state[4] is obj.__dict__
    restored = pickle.loads(pickle.dumps(obj))
    assert type(restored) is cls and fields(restored) == fields(obj)


def test_reduce_looks_the_unpickle_function_up_at_each_call(monkeypatch):
    obj = blank()

    def replacement(*args):
        raise AssertionError("not called")

    monkeypatch.setattr(qvc_compressor, "__pyx_unpickle_QVCompressor", replacement)
    assert obj.__reduce__()[0] is replacement

    monkeypatch.delattr(qvc_compressor, "__pyx_unpickle_QVCompressor")
    with pytest.raises(NameError, match=r"^name '__pyx_unpickle_QVCompressor' is not defined$"):
        obj.__reduce__()

    monkeypatch.setattr("builtins.__pyx_unpickle_QVCompressor", replacement, raising=False)
    assert obj.__reduce__()[0] is replacement


# --- pickle, copy, deepcopy --------------------------------------------------------------------


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_pickle_round_trip(protocol):
    source = with_vocabulary()
    data = pickle.dumps(source, protocol)
    # The names a stream refers to are persisted: later versions must find them.
    assert b"qvc_compressor" in data and b"__pyx_unpickle_QVCompressor" in data
    restored = pickle.loads(data)
    assert type(restored) is QVCompressor
    assert fields(restored) == fields(source)
    assert restored.global_dict is not source.global_dict
    assert restored.inverse_dict is not source.inverse_dict


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("next_id", [0, 5, INT32_MIN, INT32_MAX])
def test_pickle_round_trip_of_all_none_object(protocol, next_id):
    source = with_vocabulary()
    del source.dict_path, source.global_dict, source.inverse_dict
    source.next_id = next_id
    assert len(source.__reduce__()) == 2
    assert fields(pickle.loads(pickle.dumps(source, protocol))) == (None, None, None, next_id)


def test_shallow_copy_shares_the_mappings():
    source = with_vocabulary()
    duplicate = copy.copy(source)
    assert type(duplicate) is QVCompressor
    for a, b in zip(fields(source)[:3], fields(duplicate)[:3]):
        assert a is b
    assert duplicate.next_id == source.next_id

    # What the encoder does when it meets a new token, done through one of the two.
    source.global_dict["dog"] = source.next_id
    source.inverse_dict[source.next_id] = "dog"
    source.next_id += 1
    assert duplicate.global_dict["dog"] == source.next_id - 1
    assert duplicate.inverse_dict[source.next_id - 1] == "dog"
    assert duplicate.next_id == source.next_id - 1


def test_deep_copy_has_mappings_of_its_own():
    source = with_vocabulary()
    clone = copy.deepcopy(source)
    assert fields(clone) == fields(source)
    clone.global_dict["dog"] = 99
    assert "dog" not in source.global_dict
    assert clone.inverse_dict is not source.inverse_dict


@pytest.mark.parametrize(
    "duplicate", [copy.copy, copy.deepcopy] + [pickled(protocol) for protocol in PROTOCOLS]
)
def test_subclass_attributes_travel_with_the_state(duplicate):
    source = with_vocabulary(Tagged)
    source.label = "corpus"
    source.me = source
    clone = duplicate(source)
    assert type(clone) is Tagged
    assert fields(clone) == fields(source)
    assert clone.label == "corpus"
    # The object exists before its state is applied, so a reference to itself survives.
    assert clone.me is (source if duplicate is copy.copy else clone)


def _protocol0_stream(checksum, three_element_form):
    """A pickle written by hand, as an old release would have written it."""
    head = b"cqvc_compressor\n__pyx_unpickle_QVCompressor\n(cqvc_compressor\nQVCompressor\n"
    if three_element_form:
        state = b"(Vwords.bin\n(Vhi\nI1\nV \nI2\nd(I1\nVhi\nI2\nV \ndI3\nt"
        return head + b"I%d\nNtR" % checksum + state + b"b."
    return head + b"I%d\n(NNNI7\nttR." % checksum


@pytest.mark.parametrize("checksum", ACCEPTED_CHECKSUMS)
def test_hand_written_streams_are_read(checksum):
    restored = pickle.loads(_protocol0_stream(checksum, three_element_form=True))
    assert type(restored) is QVCompressor
    assert fields(restored) == ("words.bin", {"hi": 1, " ": 2}, {1: "hi", 2: " "}, 3)

    restored = pickle.loads(_protocol0_stream(checksum, three_element_form=False))
    assert fields(restored) == (None, None, None, 7)


def test_restoring_touches_no_dictionary_file(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    named = with_vocabulary(Tagged)
    named.dict_path = str(tmp_path / "words.bin")
    default = QVCompressor()  # "vornakel_dict.bin", relative, absent
    assert default.dict_path == "vornakel_dict.bin"

    # Not a pickle: reading it would fail, writing it would change it.
    trap = tmp_path / "words.bin"
    trap.write_bytes(b"not a dictionary")
    os.utime(trap, (1_000_000_000, 1_000_000_000))
    listing = sorted(os.listdir(tmp_path))

    for source in (named, default):
        for protocol in PROTOCOLS:
            pickle.loads(pickle.dumps(source, protocol))
        copy.copy(source)
        copy.deepcopy(source)
        source.__setstate__(source.__reduce__()[2])
        unpickle(type(source), WRITTEN_CHECKSUM, source.__reduce__()[2])

    assert sorted(os.listdir(tmp_path)) == listing
    assert trap.read_bytes() == b"not a dictionary"
    assert trap.stat().st_mtime == 1_000_000_000


# --- __pyx_unpickle_QVCompressor ---------------------------------------------------------------


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


@pytest.mark.parametrize(
    "checksum",
    ACCEPTED_CHECKSUMS + [float(WRITTEN_CHECKSUM), IntLike(0x7D3093E), WRITTEN_CHECKSUM + 0.9],
)
@pytest.mark.parametrize("cls", [QVCompressor, Tagged])
def test_unpickle_accepts_the_layout_checksums(checksum, cls):
    state = ("p", {"a": 1}, {1: "a"}, 2)
    obj = unpickle(cls, checksum, state)
    assert type(obj) is cls
    assert fields(obj) == state
    assert all(a is b for a, b in zip(fields(obj)[:3], state[:3]))

    blank_obj = unpickle(cls, checksum, None)
    assert type(blank_obj) is cls and fields(blank_obj) == (None, None, None, 0)


@pytest.mark.parametrize(
    "checksum", [0, 1, WRITTEN_CHECKSUM + 1, -WRITTEN_CHECKSUM, -0x1F, 2**63 - 1, -(2**63)]
)
def test_unpickle_refuses_other_checksums(checksum):
    Tracked.released.clear()
    with pytest.raises(pickle.PickleError) as raised:
        unpickle(Tracked, checksum, None)
    assert str(raised.value) == incompatible_message(checksum)
    assert Tracked.released == []


@pytest.mark.parametrize(
    "checksum, error, message",
    [
        ("65089040", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        ([WRITTEN_CHECKSUM], TypeError, "an integer is required"),
        (2**63, OverflowError, None),
        (-(2**63) - 1, OverflowError, None),
    ],
)
def test_unpickle_checksum_conversion_errors(checksum, error, message):
    Tracked.released.clear()
    with pytest.raises(error) as raised:
        unpickle(Tracked, checksum, None)
    if message is not None:
        assert str(raised.value) == message
    assert Tracked.released == []


@pytest.mark.parametrize(
    "cls, fragment",
    [(int, "is not a subtype of"), (object, "is not a subtype of"), (5, "is not a type object")],
)
def test_unpickle_refuses_foreign_types(cls, fragment):
    with pytest.raises(TypeError, match=fragment):
        unpickle(cls, WRITTEN_CHECKSUM, ("p", None, None, 1))


class TupleSubclass(tuple):
    pass


@pytest.mark.parametrize(
    "state, type_name",
    [
        (["p", None, None, 1], "list"),
        (TupleSubclass(("p", None, None, 1)), "TupleSubclass"),
        ({}, "dict"),
    ],
)
def test_unpickle_refuses_state_that_is_not_a_tuple(state, type_name):
    Tracked.released.clear()
    with pytest.raises(TypeError, match=rf"^Expected tuple, got {type_name}$"):
        unpickle(Tracked, WRITTEN_CHECKSUM, state)
    # The object had been created before the state was tested, and was released again untouched.
    assert Tracked.released == [None]


@pytest.mark.parametrize(
    "state, error",
    [
        (("p", None), IndexError),
        (("p", None, None, 2**31), OverflowError),
        (("p", None, None, "1"), TypeError),
    ],
)
def test_unpickle_releases_the_half_restored_object(state, error):
    Tracked.released.clear()
    with pytest.raises(error):
        unpickle(Tracked, WRITTEN_CHECKSUM, state)
    assert Tracked.released == ["p"]


# --- __setstate__ ------------------------------------------------------------------------------


@pytest.fixture
def target():
    obj = with_vocabulary()
    return obj, fields(obj)


@pytest.mark.parametrize(
    "state, type_name",
    [(["a", {}, {}, 1], "list"), (TupleSubclass(("a", {}, {}, 1)), "TupleSubclass"), (0, "int")],
)
def test_setstate_refuses_state_that_is_not_a_tuple(target, state, type_name):
    obj, before = target
    with pytest.raises(TypeError, match=rf"^Expected tuple, got {type_name}$"):
        obj.__setstate__(state)
    assert fields(obj) == before


def test_setstate_with_none_changes_nothing(target):
    obj, before = target
    with pytest.raises(TypeError, match=r"^'NoneType' object is not subscriptable$"):
        obj.__setstate__(None)
    assert fields(obj) == before


@pytest.mark.parametrize("length", range(4))
def test_setstate_with_short_tuple_keeps_the_fields_it_replaced(target, length):
    obj, before = target
    replacements = ("other.bin", {"x": 1}, {1: "x"})[:length]
    with pytest.raises(IndexError, match=r"^tuple index out of range$"):
        obj.__setstate__(replacements)
    assert fields(obj) == replacements + before[length:]


@pytest.mark.parametrize(
    "bad_id, error, message",
    [
        (2**31, OverflowError, "value too large to convert to int"),
        (INT32_MIN - 1, OverflowError, "value too large to convert to int"),
        ("7", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
    ],
)
def test_setstate_with_bad_next_id_replaces_the_references_only(target, bad_id, error, message):
    obj, before = target
    with pytest.raises(error, match=rf"^{message}$"):
        obj.__setstate__(("other.bin", {"x": 1}, {1: "x"}, bad_id))
    assert fields(obj) == ("other.bin", {"x": 1}, {1: "x"}, before[3])


@pytest.mark.parametrize(
    "given, stored",
    [
        (INT32_MIN, INT32_MIN),
        (INT32_MAX, INT32_MAX),
        (7.9, 7),
        (-2.9, -2),
        (True, 1),
        (IntLike(-1), -1),
    ],
)
def test_setstate_converts_next_id(given, stored):
    obj = blank()
    obj.__setstate__((None, None, None, given))
    assert obj.next_id == stored


def test_setstate_stores_any_objects_unchanged():
    obj = with_vocabulary()
    values = (12, [1, 2], object())
    assert obj.__setstate__(values + (4,)) is None
    assert all(a is b for a, b in zip(fields(obj)[:3], values))


@pytest.mark.parametrize(
    "extra", [(), ({"label": 1},), ("not a mapping",), ("not a mapping", "more", 3)]
)
def test_plain_object_ignores_elements_after_next_id(extra):
    obj = blank()
    obj.__setstate__(("p", {}, {}, 3) + extra)
    assert fields(obj) == ("p", {}, {}, 3)


def test_subclass_merges_the_fifth_element_and_ignores_the_rest():
    obj = blank(Tagged)
    obj.kept = "yes"
    obj.__setstate__(("p", {}, {}, 3, {"label": "new", "kept": "replaced"}, "ignored", 9))
    assert fields(obj) == ("p", {}, {}, 3)
    assert obj.__dict__ == {"kept": "replaced", "label": "new"}


@pytest.mark.parametrize("bad_dict, error", [(5, TypeError), ([("a", 1, 2)], ValueError)])
def test_subclass_update_failure_leaves_all_four_fields_set(bad_dict, error):
    obj = blank(Tagged)
    with pytest.raises(error):
        obj.__setstate__(("p", {"x": 1}, {1: "x"}, 3, bad_dict))
    assert fields(obj) == ("p", {"x": 1}, {1: "x"}, 3)


def test_arguments_by_keyword():
    obj = unpickle(__pyx_state=("p", None, None, 4), __pyx_checksum=0x18C54B4, __pyx_type=Tagged)
    assert type(obj) is Tagged and fields(obj) == ("p", None, None, 4)
    obj.__setstate__(__pyx_state=("q", None, None, 5))
    assert fields(obj) == ("q", None, None, 5)
