"""The QVCompressor object: fields, attribute access, construction and the 32-bit conversion."""

import decimal
import fractions
import gc
import os
import warnings
import weakref

import pytest

from qvc_compressor import QVCompressor


def fresh():
    return QVCompressor.__new__(QVCompressor)


def test_construction_without_a_dictionary_file(in_tmp_dir):
    compressor = QVCompressor()
    assert compressor.dict_path == "vornakel_dict.bin"
    assert compressor.global_dict == {} and type(compressor.global_dict) is dict
    assert compressor.inverse_dict == {} and type(compressor.inverse_dict) is dict
    assert compressor.global_dict is not compressor.inverse_dict
    assert compressor.next_id == 1
    assert os.listdir(in_tmp_dir) == []


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, "x"), {"dict_path": "ignored"})])
def test_creation_without_construction(in_tmp_dir, args, kwargs):
    compressor = QVCompressor.__new__(QVCompressor, *args, **kwargs)
    assert (compressor.dict_path, compressor.global_dict, compressor.inverse_dict) == (None, None, None)
    assert compressor.next_id == 0
    assert os.listdir(in_tmp_dir) == []


def test_dict_path_is_stored_unchanged(in_tmp_dir):
    path = object()
    with pytest.raises(TypeError):  # the existence test rejects it, after it was stored
        QVCompressor(path)
    compressor = fresh()
    compressor.dict_path = path
    assert compressor.dict_path is path


@pytest.mark.parametrize("name", ["dict_path", "global_dict", "inverse_dict"])
def test_reference_fields_store_anything_and_delete_to_none(name):
    compressor = fresh()
    value = [1, 2]
    setattr(compressor, name, value)
    assert getattr(compressor, name) is value
    delattr(compressor, name)
    assert getattr(compressor, name) is None


def test_mappings_are_shared_not_copied(in_tmp_dir):
    compressor = QVCompressor()
    vocabulary = compressor.global_dict
    vocabulary["word"] = 7
    assert compressor.global_dict is vocabulary and compressor.global_dict["word"] == 7


def test_deleting_next_id_fails_and_keeps_the_value():
    compressor = fresh()
    compressor.next_id = 42
    with pytest.raises(NotImplementedError) as info:
        del compressor.next_id
    assert str(info.value) == "__del__"
    assert compressor.next_id == 42


@pytest.mark.parametrize("name", ["other", "tokenize", "load_dict", "__dict__"])
def test_no_other_attribute_can_be_assigned(name):
    with pytest.raises(AttributeError):
        setattr(fresh(), name, 1)


def test_no_instance_dict_and_no_weak_references():
    compressor = fresh()
    assert not hasattr(compressor, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(compressor)


def test_subclass_gains_a_dict_and_inherits_the_fields(in_tmp_dir):
    class Sub(QVCompressor):
        pass

    sub = Sub()
    sub.extra = "kept"
    assert sub.__dict__ == {"extra": "kept"}
    assert weakref.ref(sub)() is sub
    assert sub.tokenize("a b") == ["a", " ", "b"] and sub.next_id == 1


def test_default_equality_hash_and_repr():
    a, b = fresh(), fresh()
    assert a != b and a == a
    assert hash(a) != hash(b) or a is b
    assert repr(a).startswith("<qvc_compressor.QVCompressor object at 0x")


def test_cycles_through_the_fields_are_collected():
    class Marker:
        pass

    marker = Marker()
    alive = weakref.ref(marker)
    compressor = fresh()
    compressor.global_dict = {"self": compressor, "marker": marker}
    compressor.inverse_dict = [compressor]
    compressor.dict_path = (compressor,)
    assert set(map(id, gc.get_referents(compressor))) >= {
        id(compressor.global_dict), id(compressor.inverse_dict), id(compressor.dict_path)}
    del compressor, marker
    gc.collect()
    assert alive() is None


def test_reinitialising_discards_the_vocabulary_and_loads_the_new_path(in_tmp_dir):
    source = QVCompressor("saved.bin")
    source.global_dict.update({"a": 5, "b": 9})
    source.next_id = 10
    source.save_dict()

    compressor = QVCompressor("absent.bin")
    compressor.global_dict["grown"] = 1
    compressor.inverse_dict[1] = "grown"
    compressor.next_id = 2
    compressor.__init__("saved.bin")
    assert compressor.dict_path == "saved.bin"
    assert compressor.global_dict == {"a": 5, "b": 9}
    assert compressor.inverse_dict == {5: "a", 9: "b"}
    assert compressor.next_id == 10
    compressor.__init__("absent.bin")
    assert (compressor.global_dict, compressor.inverse_dict, compressor.next_id) == ({}, {}, 1)


def test_constructor_calls_an_overridden_load_dict(in_tmp_dir):
    calls = []

    class Sub(QVCompressor):
        def load_dict(self):
            calls.append((self.dict_path, dict(self.global_dict), self.next_id))
            return "ignored"

    Sub("p.bin")
    assert calls == [("p.bin", {}, 1)]

    class Failing(QVCompressor):
        def load_dict(self):
            raise LookupError("from load_dict")

    with pytest.raises(LookupError, match="from load_dict"):
        Failing()


# --- The 32-bit integer conversion, seen through `next_id` ---------------------------------------


class IntSubclass(int):
    def __int__(self):  # never consulted: an int subclass is taken as it is
        return 99


class WithInt:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class OnlyIndex:
    def __index__(self):
        return 3


class FailingInt:
    def __int__(self):
        raise ArithmeticError("no int")


@pytest.mark.parametrize(
    "value, stored",
    [
        (2147483647, 2147483647),
        (-2147483648, -2147483648),
        (-1, -1),
        (0, 0),
        (True, 1),
        (7.9, 7),
        (-2.9, -2),
        (IntSubclass(5), 5),
        (WithInt(12), 12),
        (decimal.Decimal("3.7"), 3),
        (fractions.Fraction(-7, 2), -3),
    ],
)
def test_next_id_conversion_accepts(value, stored):
    compressor = fresh()
    compressor.next_id = value
    assert compressor.next_id == stored and type(compressor.next_id) is int


@pytest.mark.parametrize(
    "value, error, message",
    [
        (2147483648, OverflowError, "value too large to convert to int"),
        (-2147483649, OverflowError, "value too large to convert to int"),
        (2**100, OverflowError, "value too large to convert to int"),
        (-(2**100), OverflowError, "value too large to convert to int"),
        (1e20, OverflowError, "value too large to convert to int"),
        (WithInt(2**40), OverflowError, "value too large to convert to int"),
        ("5", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        ([1], TypeError, "an integer is required"),
        (OnlyIndex(), TypeError, "an integer is required"),
        (WithInt("7"), TypeError, "__int__ returned non-int (type str)"),
        (WithInt(7.0), TypeError, "__int__ returned non-int (type float)"),
        (FailingInt(), ArithmeticError, "no int"),
    ],
)
def test_next_id_conversion_refuses_and_keeps_the_value(value, error, message):
    compressor = fresh()
    compressor.next_id = 17
    with pytest.raises(error) as info:
        compressor.next_id = value
    assert str(info.value) == message
    assert compressor.next_id == 17


def test_nan_is_refused_by_the_interpreters_conversion():
    compressor = fresh()
    with pytest.raises(ValueError) as info:
        compressor.next_id = float("nan")
    with pytest.raises(ValueError) as expected:
        int(float("nan"))
    assert str(info.value) == str(expected.value)


STRICT_SUBCLASS_WARNING = (
    "__int__ returned non-int (type bool).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python."
)


def test_int_returning_a_strict_subclass_warns_and_is_used():
    compressor = fresh()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        compressor.next_id = WithInt(True)
    assert compressor.next_id == 1
    assert [(w.category, str(w.message)) for w in caught] == [(DeprecationWarning, STRICT_SUBCLASS_WARNING)]


def test_int_returning_a_strict_subclass_fails_when_warnings_are_errors():
    compressor = fresh()
    compressor.next_id = 5
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning) as info:
            compressor.next_id = WithInt(True)
    assert str(info.value) == STRICT_SUBCLASS_WARNING
    assert compressor.next_id == 5
