r"""tokenize and detokenize: the split agrees with re.findall(r"\S+|\s+", text) for every string,
the join rebuilds it, and the argument and None cases fail as the interpreter's own tools do."""

import gc
import random
import re
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import CAN_LIMIT_ADDRESS_SPACE, run_python
from qvc_compressor import QVCompressor

PATTERN = r"\S+|\s+"
TYPE_MESSAGE = "Argument '{}' has incorrect type (expected {}, got {})"

# The whitespace class: the 29 code points of Unicode category Zs or bidirectional class WS, B
# or S, which is what the interpreter's regular expressions call \s.
WHITESPACE = (
    [chr(cp) for cp in range(0x09, 0x0E)]
    + [chr(cp) for cp in range(0x1C, 0x21)]
    + ["\x85", "\xa0", "\u1680"]
    + [chr(cp) for cp in range(0x2000, 0x200B)]
    + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
)
NEIGHBOURS = [chr(cp) for cp in (
    0x08, 0x0E, 0x1B, 0x21, 0x84, 0x86, 0x9F, 0xA1, 0x167F, 0x1681, 0x1FFF, 0x200B, 0x2027,
    0x202A, 0x202E, 0x2030, 0x205E, 0x2060, 0x2FFF, 0x3001, 0xFEFF,
)]
LONE_SURROGATES = ["\ud800", "\udbff", "\udc00", "\udfff"]
BEYOND_BMP = ["\U00010000", "\U0001f600", "\U0010ffff"]
LETTERS = ["a", "Z", "7", ",", "é", "ÿ", "ā", "中", "\U0001d400"]
ALPHABET = WHITESPACE + NEIGHBOURS + ["\x00"] + LONE_SURROGATES + BEYOND_BMP + LETTERS


def storage_width(ch: str) -> int:
    return 1 if ch <= "\xff" else 2 if ch <= "\uffff" else 4


# One alphabet per storage kind of the text (1, 2 or 4 bytes a character), so that each kind's
# scanner and keys meet every class change.
ALPHABETS = {
    width: [ch for ch in ALPHABET if storage_width(ch) <= width] for width in (1, 2, 4)
}


def findall(text):
    return re.findall(PATTERN, text)


@pytest.fixture
def compressor(in_tmp_dir):
    return QVCompressor()


@pytest.fixture(scope="module")
def shared_compressor(tmp_path_factory):
    """For the property tests, which run many examples on one object: its dictionary file does
    not exist, so that it starts and stays empty."""
    return QVCompressor(str(tmp_path_factory.mktemp("tokenizer") / "absent.bin"))


def check_split(compressor, text):
    tokens = compressor.tokenize(text)
    expected = findall(text)
    assert tokens == expected
    assert all(type(token) is str for token in tokens)
    # Stored as the interpreter stores them (the narrowest width, the ASCII mark), which
    # equality alone would not show.
    assert [(t.isascii(), sys.getsizeof(t)) for t in tokens] == [
        (t.isascii(), sys.getsizeof(t)) for t in expected
    ]
    assert compressor.detokenize(tokens) == text


# --- The whitespace class ------------------------------------------------------------------


def test_whitespace_class_is_the_regex_class_over_all_code_points(compressor):
    regex_whitespace = {chr(cp) for cp in range(0x110000) if re.fullmatch(r"\s", chr(cp))}
    assert regex_whitespace == set(WHITESPACE) and len(WHITESPACE) == 29
    # Every code point between two letters: a whitespace one is a token of its own, any other
    # merges with the letters. One text per storage kind, long enough for the block scanner.
    for limit in (0x100, 0x10000, 0x110000):
        text = "x" + "x".join(chr(cp) for cp in range(limit)) + "x"
        tokens = compressor.tokenize(text)
        assert tokens == findall(text)
        split_off = set(tokens[1::2])
        assert split_off == {ch for ch in regex_whitespace if ord(ch) < limit}


@pytest.mark.parametrize("width", [1, 2, 4])
@pytest.mark.parametrize("position", [0, 1, 15, 16, 31, 32, 62, 63, 64, 65, 127, 128, 200])
def test_every_class_change_is_cut_at_every_block_position(compressor, width, position):
    filler = {1: "q", 2: "\u0101", 4: "\U0001f600"}[width]
    for ch in ALPHABETS[width]:
        check_split(compressor, filler * position + ch + filler * 3)
        check_split(compressor, " " * position + ch + " " * 70)


# --- Agreement with re.findall for every string --------------------------------------------


def texts(alphabet, max_size):
    return st.text(alphabet=st.sampled_from(alphabet), max_size=max_size)


def runs(alphabet):
    """Long texts of long runs, many repeated: past the scanner's blocks and through the keys of
    every length."""
    run = st.builds(lambda ch, n: ch * n, st.sampled_from(alphabet), st.integers(1, 40))
    piece = st.lists(run, min_size=1, max_size=4).map("".join)
    return st.lists(piece, min_size=1, max_size=12).flatmap(
        lambda pieces: st.lists(st.sampled_from(pieces), max_size=60).map("".join)
    )


@pytest.mark.parametrize("width", [1, 2, 4])
@settings(max_examples=400, deadline=None)
@given(data=st.data())
def test_tokenize_agrees_with_findall(shared_compressor, width, data):
    check_split(shared_compressor, data.draw(texts(ALPHABETS[width], 300)))


@pytest.mark.parametrize("width", [1, 2, 4])
@settings(max_examples=300, deadline=None)
@given(data=st.data())
def test_tokenize_agrees_with_findall_on_long_repetitive_texts(shared_compressor, width, data):
    check_split(shared_compressor, data.draw(runs(ALPHABETS[width])))


@settings(max_examples=300, deadline=None)
@given(text=texts(ALPHABET, 300))
def test_tokenize_agrees_with_findall_over_the_whole_alphabet(shared_compressor, text):
    check_split(shared_compressor, text)


# Tokens that agree in their leading storage bytes must still come out as themselves: trailing
# NULs, the same bytes in a narrower or wider storage, lengths around every key size.
CONFUSABLE = [
    ["a", "a\x00", "a\x00\x00", "\x00a", "\x00"],
    ["\x00N", "\u4e00", "N\x00", "\u004e"],
    ["\x00\x00N\x00", "\U00004e00", "\U0001f600", "\x00\xf6\x01\x00"],
    ["x" * n for n in range(1, 70)],
    ["\u0101" * n for n in range(1, 40)],
    ["\U0001f600" * n for n in range(1, 20)],
    ["ab" * n + "\x00" * k for n in range(1, 20) for k in range(3)],
    ["é" * 15, "é" * 15 + "\x00", "e" * 15, "é" * 16],
]


@pytest.mark.parametrize("words", CONFUSABLE)
@pytest.mark.parametrize("wide", ["", "\u4e00", "\U0001f600"])
def test_tokens_alike_in_their_bytes_are_not_confused(compressor, words, wide):
    text = " ".join(words * 3 + [wide]) + " " + " ".join(reversed(words))
    check_split(compressor, text)
    check_split(compressor, "\n".join(words))  # the last token at the very end of the text


def test_many_distinct_tokens(compressor):
    # Far more distinct tokens than the tables start with, of every key size.
    words = [f"w{i}" * (1 + i % 12) for i in range(60_000)]
    for wide in ("", "\u0101", "\U0001f600"):
        check_split(compressor, wide + " ".join(words) + "\t" + " ".join(words[::7]))


# --- The cases of the token rule -------------------------------------------------------------

RULE_CASES = [
    ("", []),
    (" \t\n", [" \t\n"]),
    ("\u3000 \x0b\x1c\x85", ["\u3000 \x0b\x1c\x85"]),
    ("word  word", ["word", "  ", "word"]),
    ("a \r\n\tb", ["a", " \r\n\t", "b"]),
    ("line\r\n", ["line", "\r\n"]),
    ("word, next", ["word,", " ", "next"]),
    ("  lead", ["  ", "lead"]),
    ("trail \n", ["trail", " \n"]),
    ("the the", ["the", " ", "the"]),
    ("a\u00a0b", ["a", "\u00a0", "b"]),
    ("a\u200bb", ["a\u200bb"]),
    ("a\ufeffb", ["a\ufeffb"]),
    ("a\x1cb\x1fc\x85d", ["a", "\x1c", "b", "\x1f", "c", "\x85", "d"]),
    ("a\x00b", ["a\x00b"]),
    ("\ud800 \udfff", ["\ud800", " ", "\udfff"]),
]


@pytest.mark.parametrize("text, tokens", RULE_CASES)
def test_token_rule_cases(compressor, text, tokens):
    assert findall(text) == tokens  # the documented rule is the regular expression's
    assert compressor.tokenize(text) == tokens
    assert compressor.detokenize(tokens) == text


def test_every_call_returns_a_new_list(compressor):
    text = "same text"
    first = compressor.tokenize(text)
    second = compressor.tokenize(text)
    assert first == second and first is not second
    first.append("x")
    assert compressor.tokenize(text) == second


def test_whole_text_without_whitespace_is_one_token(compressor):
    text = "".join(map(chr, range(0x21, 0x7F))) * 3
    assert compressor.tokenize(text) == [text]


# --- Large texts, split on two threads ------------------------------------------------------

# From this many characters on a text is split on two threads, which share it out in pieces of
# PIECE characters.
TWO_THREADS_FROM = 1 << 20
PIECE = 1 << 16
LETTER_OF_WIDTH = {1: "x", 2: "\u4e00", 4: "\U0001f600"}


def large_text(words, seed, size=TWO_THREADS_FROM + 12_345):
    rng = random.Random(seed)
    parts, total = [], 0
    while total < size:
        parts.append(rng.choice(words))
        total += len(parts[-1])
    return "".join(parts)


@pytest.mark.parametrize("width", [1, 2, 4])
@settings(max_examples=6, deadline=None)
@given(data=st.data())
def test_large_texts_agree_with_findall(shared_compressor, width, data):
    words = data.draw(st.lists(texts(ALPHABETS[width], 40).filter(bool), min_size=1,
                               max_size=400))
    check_split(shared_compressor, large_text(words, data.draw(st.integers(0, 2**32))))


@pytest.mark.parametrize("wide", ["", "\u0101", "\U0001f600"])
def test_large_text_of_many_distinct_tokens(compressor, wide):
    # Hundreds of thousands of distinct tokens of every key size, and the same ones again near
    # the end, where the other thread is likely to meet them.
    words = [f"w{i:x}" * (1 + i % 24) for i in range(40_000)]
    check_split(compressor, wide + " ".join(words) + "\n" + " ".join(words[::5]) + "\t")


@pytest.mark.parametrize("width", [1, 2, 4])
@pytest.mark.parametrize("offset", [-1, 0, 1])
def test_large_text_cut_at_the_pieces_edges(compressor, width, offset):
    letters = [LETTER_OF_WIDTH[width]] * (TWO_THREADS_FROM + 3 * PIECE)
    # Tokens of a piece and of several, ending just before, at and just after a piece's edge,
    # and a run of whitespace across one.
    for piece in (1, 2, 3, 5, 8, 13, 18):
        letters[piece * PIECE + offset] = " "
    letters[10 * PIECE - 3: 10 * PIECE + 3] = "\t" * 6
    check_split(compressor, "".join(letters))


@pytest.mark.parametrize("character", ["x", " ", "\u4e00", "\u3000", "\U0001f600"])
def test_large_text_of_one_token(compressor, character):
    text = character * (TWO_THREADS_FROM + 5)
    assert compressor.tokenize(text) == [text]


def test_large_text_under_memory_pressure(tmp_path):
    """Out of memory at some point of the split, the call raises MemoryError and leaves nothing
    behind; with enough, it gives the whole list (on one thread, when no second could start)."""
    if not CAN_LIMIT_ADDRESS_SPACE:
        pytest.skip("needs /proc and an address space the sanitizer does not claim")
    result = run_python(
        f"""
        import gc, re, resource
        from qvc_compressor import QVCompressor

        compressor = QVCompressor({str(tmp_path / 'absent.bin')!r})
        words = [f"w{{i:x}}" * (1 + i % 24) for i in range(40_000)]
        text = " ".join(words) + "\\n" + " ".join(words[::5])
        expected = re.findall(r"\\S+|\\s+", text)
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        outcomes = []
        for budget_mib in range(0, 60):
            gc.collect()
            with open("/proc/self/status") as status:
                size = next(int(line.split()[1]) * 1024 for line in status
                            if line.startswith("VmSize:"))
            resource.setrlimit(resource.RLIMIT_AS, (size + budget_mib * 2**20, hard))
            try:
                tokens = compressor.tokenize(text)
            except MemoryError:
                outcomes.append("MemoryError")
            else:
                outcomes.append("equal" if tokens == expected else "DIFFERENT")
                del tokens
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        gc.collect()
        assert compressor.tokenize(text) == expected
        print(" ".join(outcomes))
        """
    )
    assert result.returncode == 0, result.stderr[-2000:]
    outcomes = result.stdout.split()
    assert set(outcomes) == {"MemoryError", "equal"}, outcomes


# --- References ------------------------------------------------------------------------------


@pytest.mark.parametrize("repeats", [40, 10_000], ids=["one-thread", "two-threads"])
@pytest.mark.parametrize("wide", ["", "\u0101", "\U0001f600"])
def test_the_list_holds_exactly_one_reference_per_item(compressor, wide, repeats):
    words = ["ab", "cd" * 5, "ef" * 10, "gh" * 30, wide + "ij", "\n    ", "ab"]
    text = " ".join(words * repeats) + " " + " ".join(f"u{i}" for i in range(300))
    assert (len(text) >= TWO_THREADS_FROM) == (repeats > 40)
    tokens = compressor.tokenize(text)
    # One string per distinct token that is no interpreter singleton, and as the yardstick one
    # made by the interpreter, each held by `kept` only once the list is gone.
    kept = list({id(t): t for t in tokens if len(t) > 1}.values())
    kept.append("".join(["con", "trol"]))
    del tokens
    gc.collect()
    counts = [sys.getrefcount(token) for token in kept]
    assert counts == [counts[-1]] * len(kept)
    assert compressor.detokenize(kept) == "".join(kept)


def test_tokens_outlive_the_text(compressor):
    text = "".join(["alpha beta ", "\u0101lpha \U0001f600 "]) * 100
    expected = findall(text)
    tokens = compressor.tokenize(text)
    del text
    gc.collect()
    assert tokens == expected


# --- Arguments and None ----------------------------------------------------------------------


class StrSubclass(str):
    pass


class ListSubclass(list):
    pass


def error_of(call):
    with pytest.raises(TypeError) as raised:
        call()
    return str(raised.value)


@pytest.mark.parametrize(
    "text, type_name",
    [(StrSubclass("a b"), "StrSubclass"), (b"a b", "bytes"), (bytearray(b"a"), "bytearray"),
     (["a"], "list"), (5, "int")],
)
def test_tokenize_takes_exactly_a_str(compressor, text, type_name):
    expected = TYPE_MESSAGE.format("text", "str", type_name)
    assert error_of(lambda: compressor.tokenize(text)) == expected


def test_tokenize_of_none_fails_as_the_regex_search_does(compressor):
    expected = error_of(lambda: re.findall(PATTERN, None))
    assert error_of(lambda: compressor.tokenize(None)) == expected
    assert error_of(lambda: compressor.tokenize(text=None)) == expected


@pytest.mark.parametrize(
    "tokens, type_name",
    [(("a", "b"), "tuple"), (ListSubclass(["a"]), "ListSubclass"),
     ((t for t in "ab"), "generator"), ("ab", "str"), ({"a": 1}, "dict")],
)
def test_detokenize_takes_exactly_a_list(compressor, tokens, type_name):
    expected = TYPE_MESSAGE.format("tokens", "list", type_name)
    assert error_of(lambda: compressor.detokenize(tokens)) == expected


@pytest.mark.parametrize("tokens", [None, [1, 2], ["a", 2], ["a", b"b"], ["a", None]])
def test_detokenize_fails_as_the_join_does(compressor, tokens):
    expected = error_of(lambda: "".join(tokens))
    assert error_of(lambda: compressor.detokenize(tokens)) == expected


@pytest.mark.parametrize(
    "tokens",
    [[], ["one"], ["a", " b", "c\n"], [StrSubclass("x"), " ", StrSubclass("y")],
     ["\U0001f600", "é"]],
)
def test_detokenize_joins_the_elements_as_given(compressor, tokens):
    joined = compressor.detokenize(tokens)
    assert type(joined) is str and joined == "".join(tokens)


# --- The methods as virtual operations, and the vocabulary ----------------------------------


def test_redefinitions_may_call_the_class_methods(in_tmp_dir):
    class Marked(QVCompressor):
        def tokenize(self, text):
            return ["<"] + super().tokenize(text) + [">"]

        def detokenize(self, tokens):
            return "[" + super().detokenize(tokens) + "]"

    marked = Marked()
    assert marked.tokenize("a  b") == ["<", "a", "  ", "b", ">"]
    assert marked.detokenize(["a", "b"]) == "[ab]"
    # The class's own methods run the split and the join, never the redefinitions.
    assert QVCompressor.tokenize(marked, "a  b") == ["a", "  ", "b"]
    assert QVCompressor.detokenize(marked, ["a", "b"]) == "ab"


def test_tokenize_leaves_the_vocabulary_alone(compressor):
    vocabulary = {"alpha": 1, " ": 2}
    compressor.global_dict = vocabulary
    inverse = compressor.inverse_dict
    next_id = compressor.next_id
    for text in ["alpha beta", "gamma", "", "\u4e00 \U0001f600"]:
        compressor.tokenize(text)
        compressor.detokenize(compressor.tokenize(text))
    with pytest.raises(TypeError):
        compressor.tokenize(None)
    assert compressor.global_dict is vocabulary and vocabulary == {"alpha": 1, " ": 2}
    assert compressor.inverse_dict is inverse and compressor.next_id == next_id
