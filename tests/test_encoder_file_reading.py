"""encode_files reads plain objects' files straight from their bytes, on a worker thread: what it
reads, the errors it raises and the state it leaves must be those of the interpreter's own text
reading, file by file, in list order, whatever piece of a file the bytes arrive in."""

import copy
import os
import pickle
import subprocess
import sys
import types

import pytest
import zstandard

from qvc_compressor import QVCompressor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "bench"))
import corpus  # noqa: E402
from conftest import CAN_LIMIT_ADDRESS_SPACE  # noqa: E402
import plain_encoder  # noqa: E402

# Files are read in pieces of this many bytes.
PIECE = 4 << 20


def new_compressor(tmp_path):
    return QVCompressor(str(tmp_path / "absent_dict.bin"))


def state(vocabulary):
    return (list(vocabulary.global_dict.items()), list(vocabulary.inverse_dict.items()),
            vocabulary.next_id)


def reference(vocabulary=None, next_id=1):
    vocabulary = dict(vocabulary or {})
    return types.SimpleNamespace(global_dict=vocabulary,
                                 inverse_dict={v: k for k, v in vocabulary.items()},
                                 next_id=next_id)


def assert_same_package(tmp_path, paths, compressor=None, plain=None, **settings):
    """Packs `paths` with the module and with the plain encoder; both packages and both
    vocabularies must be identical."""
    compressor = compressor or new_compressor(tmp_path)
    plain = plain or reference()
    module_out, plain_out = tmp_path / "module.pkg", tmp_path / "plain.pkg"
    result = compressor.encode_files(paths, str(module_out), **settings)
    expected = plain_encoder.encode_files(plain, paths, str(plain_out), **settings)
    assert module_out.read_bytes() == plain_out.read_bytes()
    assert result == expected
    assert state(compressor) == state(plain)


def around_pieces(*parts):
    """Bytes where each part straddles the next piece boundary (one part per piece)."""
    data = bytearray()
    filler = b"filler words and\tmore " * 4
    for part in parts:
        boundary = (len(data) // PIECE + 1) * PIECE
        while len(data) + len(filler) < boundary - len(part) // 2:
            data += filler
        data += b"x" * (boundary - len(part) // 2 - len(data))
        data += part
    return bytes(data + b" end\n")


@pytest.fixture(scope="module")
def real_corpus():
    """A few hundred real files: source code, documentation and CJK text."""
    paths = corpus.utf8_files(corpus.stdlib_sources()[::8])
    for more in (corpus.python_docs(install=False), corpus.cjk_documents(install=False)):
        paths += corpus.utf8_files((more or [])[::4])
    return paths


def test_real_corpus_packs_as_the_plain_encoder_does(tmp_path, real_corpus):
    assert_same_package(tmp_path, real_corpus)


@pytest.mark.parametrize("threads", [1, -1, 4])
def test_compressed_in_pieces_as_in_one_call(tmp_path, real_corpus, threads):
    assert_same_package(tmp_path, real_corpus[:60], threads=threads, zstd_level=3)


BOUNDARY_CASES = {
    "crlf split": around_pieces(b"a\r\nb", b"c\r\n\r\n"),
    "lone cr at the end": b"one\rtwo\r",
    "cr cr lf": b"a\r\r\nb\n\r",
    "ideographic space split": around_pieces("x\u3000y".encode(), "\u3000\u3000".encode()),
    "no-break and line separator split": around_pieces("a\u00a0b".encode(), "c\u2028d".encode()),
    "four-byte character split": around_pieces("\U0001f600\U0010ffff".encode()),
    "next line and separators": "a\x85b\x1cc\x1fd\u200ae\u202ff\u205fg\u1680h".encode(),
    "token across pieces": b"start " + b"y" * (2 * PIECE + 12345) + b" stop",
    "whitespace across pieces": b"start" + b" \t\r\n" * (PIECE // 2 + 7) + b"stop",
    "byte order mark": "\ufeffword \ufeff".encode(),
    "empty": b"",
    "nul and controls": b"a\x00b \x01\x7f c",
}


@pytest.mark.parametrize("case", sorted(BOUNDARY_CASES))
def test_text_read_in_pieces_is_the_text_mode_read(tmp_path, case):
    path = tmp_path / "in.txt"
    path.write_bytes(BOUNDARY_CASES[case])
    other = tmp_path / "other.txt"
    other.write_bytes(b"a\rb \xc2\xa0 " + BOUNDARY_CASES[case][:100])
    assert_same_package(tmp_path, [str(path), str(other), str(path)])


# Files read one after another share the reader's buffers: what one file leaves there (a longer
# text, line ends still to translate, a token cut at the end) must never reach the next.
SMALL_READ = 64 << 10


def text_of_size(size, ending=b""):
    """ASCII words, then `ending`, exactly `size` bytes in all."""
    body = (b"word other\tlonger_word\n" * (size // 24 + 1))[:size - len(ending)]
    return body + ending


SEQUENCES = {
    "large after small": [text_of_size(10), text_of_size(PIECE + 999, b"\r\nend")],
    "small after large": [around_pieces(b"a\r\nb"), b"tiny\r", b"\nafter"],
    "cr ends one file, lf starts the next": [b"one\r", b"\ntwo\r\n", b"\r", b"\n"],
    "sizes around the smallest read": [text_of_size(n, b"\xc3\xa9\r") for n in
                                       (SMALL_READ - 1, SMALL_READ, SMALL_READ + 1, 3)],
    "sizes around a piece": [text_of_size(n, " \u3000".encode())
                             for n in (PIECE - 1, PIECE, PIECE + 1)],
    "token cut at the end, then a shorter file": [b"x" * (SMALL_READ + 5), b"y"],
    "empty between": [b"", b"a\r\n", b"", b"b"],
}


@pytest.mark.parametrize("case", sorted(SEQUENCES))
def test_each_file_is_read_on_its_own(tmp_path, case):
    paths = []
    for i, data in enumerate(SEQUENCES[case]):
        path = tmp_path / f"f{i}.txt"
        path.write_bytes(data)
        paths.append(str(path))
    assert_same_package(tmp_path, paths + paths[::-1])


# ASCII tokens of every length, with a non-ASCII character at each place a word-at-a-time test
# could miss it; one-character tokens, which the interpreter shares.
TOKEN_SHAPES = ["ab", "abcdefg", "abcdefgh", "abcdefghi", "a" * 15, "b" * 16, "c" * 17,
                "d" * 40, "e", "\u00e9", "\u2603", "\u4e2d", "\U0001f600", "\u00e9a",
                "a\u00e9", "abcdefg\u00e9", "abcdefgh\u00e9", "abcdefghijklmno\u00ff",
                "x" * 23 + "\u0101", "\u4e2d\u6587", "\x7f\x7f", "\x00\x01"]


def test_tokens_are_the_interpreters_own_strs(tmp_path):
    import sys

    path = tmp_path / "shapes.txt"
    path.write_text(" ".join(TOKEN_SHAPES) + "\n", encoding="utf-8")
    compressor = new_compressor(tmp_path)
    compressor.encode_files([str(path)], str(tmp_path / "out.pkg"))
    tokens = list(compressor.global_dict)
    assert tokens == TOKEN_SHAPES[:1] + [" "] + TOKEN_SHAPES[1:] + ["\n"]
    for token in tokens:
        # Marked ASCII exactly when it is, and an ASCII one as compact as a decoded copy (others
        # may carry their UTF-8 form once pickled); a one-character token of the first 256 is
        # the interpreter's shared str.
        assert type(token) is str
        assert token.isascii() == all(ord(c) < 128 for c in token)
        if token.isascii():
            assert sys.getsizeof(token) == sys.getsizeof(token.encode().decode())
        if len(token) == 1 and ord(token) < 256:
            assert token is chr(ord(token))


def test_one_character_names_and_tokens_are_pickled_once(tmp_path):
    # A name and a token that are the same shared str: the pickle refers back to the name.
    os.chdir(tmp_path)
    for name in ("a", "\u00e9", "ab"):
        with open(name, "w", encoding="utf-8") as f:
            f.write(f"{name} x {name}")
    assert_same_package(tmp_path, ["a", "\u00e9", "ab"])


INVALID = {
    "first byte": b"\xff rest",
    "lone continuation": b"ok \x80 more",
    "overlong": b"ok \xc0\x80",
    "surrogate": b"ok \xed\xa0\x80",
    "beyond U+10FFFF": b"ok \xf4\x90\x80\x80",
    "cut short at the end": b"ok \xe4\xb8",
    "late in a large file": b"word " * (PIECE // 5 + 100) + b"\xe4\xb8x",
    "split at a piece boundary": around_pieces(b"\xe4\xb8\xadA\xe4\xb8"),
}


def interpreter_error(path):
    with pytest.raises(UnicodeDecodeError) as raised:
        with open(path, encoding="utf-8") as f:
            f.read()
    return raised.value


@pytest.mark.parametrize("case", sorted(INVALID))
def test_invalid_utf8_raises_the_interpreters_error(tmp_path, case):
    good = tmp_path / "good.txt"
    good.write_text("some new words " * 1000)
    bad = tmp_path / "bad.txt"
    bad.write_bytes(INVALID[case])
    compressor = with_learned_vocabulary(new_compressor(tmp_path))
    before = copy.deepcopy(state(compressor))
    output = tmp_path / "out.pkg"

    with pytest.raises(UnicodeDecodeError) as raised:
        compressor.encode_files([str(good), str(bad), str(good)], str(output))

    expected = interpreter_error(bad)
    assert (str(raised.value), raised.value.start, raised.value.end) == (
        str(expected), expected.start, expected.end)
    assert state(compressor) == before
    assert not output.exists()


def with_learned_vocabulary(compressor):
    compressor.global_dict = {"some": 4, " ": 9, "kept": 2}
    # Inconsistent on purpose: ids handed out now overwrite these entries, which must come back.
    compressor.inverse_dict = {4: "some", 9: " ", 2: "kept", 10: "stale", 11: "older"}
    compressor.next_id = 10
    return compressor


def test_errors_come_in_list_order(tmp_path):
    files = [tmp_path / f"{i}.txt" for i in range(4)]
    files[0].write_text("alpha beta " * 50000)
    files[1].write_text("gamma")
    files[3].write_bytes(b"\xff")  # the worker may reach it first: the missing file wins
    compressor = with_learned_vocabulary(new_compressor(tmp_path))
    before = copy.deepcopy(state(compressor))

    with pytest.raises(FileNotFoundError) as raised:
        compressor.encode_files([str(f) for f in files], str(tmp_path / "out.pkg"))

    assert raised.value.filename == str(files[2])
    assert state(compressor) == before


@pytest.mark.parametrize("where", ["directory", "nul in the path", "empty path"])
def test_paths_the_worker_cannot_open_fail_as_open_does(tmp_path, where):
    path = {"directory": str(tmp_path), "nul in the path": str(tmp_path) + "/a\0b",
            "empty path": ""}[where]
    ok = tmp_path / "ok.txt"
    ok.write_text("fresh tokens here")
    compressor = new_compressor(tmp_path)
    with pytest.raises(Exception) as ours:
        compressor.encode_files([str(ok), path], str(tmp_path / "out.pkg"))
    with pytest.raises(Exception) as theirs:
        plain_encoder.encode_files(reference(), [str(ok), path], str(tmp_path / "plain.pkg"))
    assert (type(ours.value), str(ours.value)) == (type(theirs.value), str(theirs.value))
    assert state(compressor) == ([], [], 1)


def test_path_types_and_undecodable_names(tmp_path):
    import pathlib

    raw_name = os.fsencode(str(tmp_path)) + b"/caf\xe9.txt"  # not UTF-8: bytes only
    with open(raw_name, "wb") as f:
        f.write(b"bytes name\r\n")
    (tmp_path / "plain.txt").write_text("a path object")
    paths = [raw_name, pathlib.Path(tmp_path / "plain.txt"), str(tmp_path / "plain.txt")]
    assert_same_package(tmp_path, paths)


CONVERSIONS = []


class RecordedId:
    """An id that is no int: converting it runs the caller's code."""

    def __int__(self):
        CONVERSIONS.append(1)
        return 5

    def __reduce__(self):
        return int, (5,)


def test_deferred_id_conversion_never_runs_when_a_file_is_missing(tmp_path):
    calls = CONVERSIONS
    calls.clear()
    Id = RecordedId
    first = tmp_path / "first.txt"
    first.write_text("known and new words " * 20000)
    compressor = new_compressor(tmp_path)
    compressor.global_dict = {"new": 1, "known": Id()}
    compressor.next_id = 6
    with pytest.raises(FileNotFoundError):
        compressor.encode_files([str(first), str(tmp_path / "missing")], str(tmp_path / "o"))
    assert calls == []
    assert list(compressor.global_dict) == ["new", "known"] and compressor.next_id == 6

    plain = reference()
    plain.global_dict = {"new": 1, "known": 5}
    plain.inverse_dict = {1: "new"}
    plain.next_id = 6
    compressor.inverse_dict = {1: "new"}
    compressor.encode_files([str(first)], str(tmp_path / "module.pkg"))
    plain_encoder.encode_files(plain, [str(first)], str(tmp_path / "plain.pkg"))
    assert calls == [1] * len(calls) and calls
    assert state(compressor)[1:] == state(plain)[1:]


def test_open_events_reach_audit_hooks_as_the_interpreters_open_raises_them(tmp_path):
    script = f"""
import os, sys
sys.path.insert(0, {os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, 'bench')!r})
import plain_encoder, types
from qvc_compressor import QVCompressor
paths = []
for i in range(3):
    path = os.path.join({str(tmp_path)!r}, f"{{i}}.txt")
    with open(path, "w") as f:
        f.write("text " * i)
    paths.append(path)
paths.append(paths[0].encode())
events = []
wanted = set(paths)
sys.addaudithook(lambda event, args: events.append(args)
                 if event == "open" and args[0] in wanted else None)
QVCompressor("none.bin").encode_files(paths, {str(tmp_path / 'm.pkg')!r})
ours, events[:] = events[:], []
plain_encoder.encode_files(types.SimpleNamespace(global_dict={{}}, inverse_dict={{}}, next_id=1),
                           paths, {str(tmp_path / 'p.pkg')!r})
print(ours == events and len(ours) == 4, ours)
"""
    completed = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                               cwd=tmp_path, timeout=120)
    assert completed.stdout.startswith("True"), completed.stdout + completed.stderr


@pytest.fixture(scope="module")
def large_stream_file(tmp_path_factory):
    """A file whose stream compresses to well over 64 KiB: many distinct tokens."""
    path = tmp_path_factory.mktemp("large") / "words.txt"
    path.write_text(" ".join(f"w{(i * 7919) % 100003}" for i in range(120000)))
    return str(path)


# Vocabularies the package's pickle must carry byte for byte: batch ends, every int opcode,
# strs long enough to leave the pickler's frames, surrogates, names shared with keys.
LEARNED = {
    "batch ends": {f"k{i}": i + 1 for i in range(1000)},
    "a batch and one": {f"k{i}": i + 1 for i in range(1001)},
    "two batches": {f"k{i}": i + 1 for i in range(2000)},
    "one entry": {"only": 5},
    "int widths": {"a": 0, "b": 255, "c": 256, "d": 65535, "e": 65536, "f": 2**31 - 1},
    "long keys": {"x" * 65535: 1, "y" * 65536: 2, "z" * 255: 3, "q" * 256: 4},
    "wide keys": {"\u00e9t\u00e9": 1, "\u4e2d\u6587": 2, "\U0001f600": 3, "\ud800lone": 4},
}


@pytest.mark.parametrize("case", sorted(LEARNED))
def test_package_pickle_is_the_interpreters(tmp_path, large_stream_file, case):
    vocabulary = LEARNED[case]
    next_id = max(v for v in vocabulary.values() if v < 70000) + 70000
    compressor = new_compressor(tmp_path)
    compressor.global_dict = dict(vocabulary)
    compressor.inverse_dict = {v: k for k, v in vocabulary.items()}
    compressor.next_id = next_id
    assert_same_package(tmp_path, [large_stream_file], compressor, reference(vocabulary, next_id))


def test_names_that_are_keys_are_pickled_once(tmp_path, large_stream_file):
    name = "shared.txt"
    path = tmp_path / name
    path.write_bytes(b"x")
    os.chdir(tmp_path)
    # The same str object as path (so its base name), as key and as the package's own key.
    shared_keys = {name: 1, "filenames": 2, "global_dict": 3}
    paths = [name, name, large_stream_file, os.fsencode(name)]
    compressor = new_compressor(tmp_path)
    compressor.global_dict = dict(shared_keys)
    compressor.inverse_dict = {v: k for k, v in shared_keys.items()}
    compressor.next_id = 4
    assert_same_package(tmp_path, paths, compressor, reference(shared_keys, 4))


@pytest.fixture(scope="module")
def many_tokens_file(tmp_path_factory):
    """Over three million tokens: the stream is packed and compressed block by block."""
    path = tmp_path_factory.mktemp("many") / "many.txt"
    path.write_text("\n".join(" ".join(f"t{(i * 31 + j) % 50021}" for j in range(20))
                              for i in range(80000)))
    return str(path)


@pytest.fixture(scope="module")
def large_file(tmp_path_factory):
    """Over 64 MiB: its tokens are counted first and its stream compressed while it is read."""
    path = tmp_path_factory.mktemp("large") / "large.txt"
    line = " ".join(f"u{k}" for k in range(0, 200000, 7)).encode() + b"\n"
    with open(path, "wb") as f:
        for i in range((65 << 20) // len(line) + 1):
            f.write(line.replace(b"u1 ", b"v%d " % i))
    return str(path)


def test_stream_compressed_while_reading_a_large_file(tmp_path, large_file):
    from array import array

    compressor = new_compressor(tmp_path)
    output = tmp_path / "out.pkg"
    compressed_length = compressor.encode_files([large_file], str(output), 3, 2)
    with open(output, "rb") as f:
        package = pickle.load(f)
    stream = zstandard.ZstdDecompressor().decompress(package["compressed"])
    assert compressed_length == len(package["compressed"])
    assert zstandard.ZstdCompressor(level=3, threads=2).compress(stream) == package["compressed"]
    ids = array("I", stream)
    if sys.byteorder == "little":
        ids.byteswap()
    # New ids come in order of first occurrence, and the stream restores the file.
    assert max(ids) == len(package["global_dict"]) == compressor.next_id - 1
    seen = 0
    for token_id in ids:
        if token_id > seen:
            assert token_id == seen + 1
            seen = token_id
    compressor.decode_package(str(output), str(tmp_path / "restored"))
    with open(large_file, "rb") as f, open(tmp_path / "restored" / "large.txt", "rb") as g:
        assert f.read() == g.read()


@pytest.mark.parametrize("threads", [4, 0])
def test_stream_compressed_while_reading_is_the_same(tmp_path, many_tokens_file, threads):
    learned = {"t7": 3, "\n": 1}
    compressor = new_compressor(tmp_path)
    compressor.global_dict = dict(learned)
    compressor.inverse_dict = {v: k for k, v in learned.items()}
    compressor.next_id = 4
    other = tmp_path / "other.txt"
    other.write_text("tail words t7 t8")
    assert_same_package(tmp_path, [many_tokens_file, str(other)], compressor,
                        reference(learned, 4), threads=threads)


def test_failure_after_compressing_began_changes_nothing(tmp_path, large_file):
    # Every file counts and reads well; an audit hook refuses the last one's open only once the
    # first file's ids were given and its stream compressed.
    script = f"""
import copy, os, sys
from qvc_compressor import QVCompressor
last = {str(tmp_path / 'last.txt')!r}
with open(last, "w") as f:
    f.write("last words")
def hook(event, args):
    if event == "open" and args[0] == last:
        raise PermissionError("refused by the hook")
sys.addaudithook(hook)
c = QVCompressor("absent.bin")
c.global_dict, c.inverse_dict, c.next_id = {{"t7": 3}}, {{3: "t7", 9: "stale"}}, 4
before = (list(c.global_dict.items()), list(c.inverse_dict.items()), c.next_id)
try:
    c.encode_files([{large_file!r}, last], {str(tmp_path / 'out.pkg')!r})
except PermissionError as error:
    after = (list(c.global_dict.items()), list(c.inverse_dict.items()), c.next_id)
    print(str(error), after == before, os.path.exists({str(tmp_path / 'out.pkg')!r}))
"""
    completed = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                               cwd=tmp_path, timeout=300)
    assert completed.stdout.split() == ["refused", "by", "the", "hook", "True", "False"], (
        completed.stdout + completed.stderr)


GLIBC_THREAD_STORAGE_ABORT = "cannot allocate memory for thread-local data: ABORT\n"

OUT_OF_MEMORY_CHILD = r"""
import resource, sys
import zstandard
from qvc_compressor import QVCompressor

paths, output, threads, extra = sys.argv[1:4] + [int(sys.argv[4])]
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) << 10
resource.setrlimit(resource.RLIMIT_AS, (size + (extra << 20), size + (extra << 20)))
compressor = QVCompressor(output + ".dict")
try:
    compressor.encode_files(paths.split(","), output, threads=int(threads))
except (MemoryError, zstandard.ZstdError) as error:
    # The compressor's own allocation failures come as its own error.
    print(type(error).__name__)
else:
    print("packed")
"""


@pytest.mark.skipif(not CAN_LIMIT_ADDRESS_SPACE,
                    reason="needs /proc and an address space the sanitizer does not claim")
@pytest.mark.parametrize("threads", [0, 4])
def test_running_out_of_memory_anywhere_raises_memory_error(tmp_path, threads):
    # Every limit runs out at another place: on the reader's thread, while ids are given, in
    # the compressor, on the pickling thread. Each must end in an exception, never a crash.
    words = " ".join(f"w{i}" for i in range(300_000))
    paths = []
    for number in range(3):
        path = tmp_path / f"f{number}.txt"
        path.write_text(words + f" {number}\n")
        paths.append(str(path))
    outcomes = set()
    extra = 20
    # Up to the room the call needs, which depends on the interpreter and the zstandard release.
    while "packed" not in outcomes and extra < 1024:
        result = subprocess.run(
            [sys.executable, "-c", OUT_OF_MEMORY_CHILD, ",".join(paths),
             str(tmp_path / "out.pkg"), str(threads), str(extra)],
            capture_output=True, text=True, timeout=120)
        if result.returncode == 127 and result.stderr == GLIBC_THREAD_STORAGE_ABORT:
            # glibc ends the process itself when a new thread's storage for a loaded library
            # cannot be had; our threads claim theirs first thing (claim_exception_state), so
            # only a limit that runs out at that very moment gets here.
            outcomes.add("glibc abort")
        else:
            assert result.returncode == 0, (extra, result.returncode, result.stderr[-2000:])
            outcomes.add(result.stdout.strip())
        extra += 12
    assert "packed" in outcomes and "MemoryError" in outcomes
    assert outcomes <= {"MemoryError", "ZstdError", "packed", "glibc abort"}
