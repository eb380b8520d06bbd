"""The dictionary file: exact bytes, loading and its failure states, safe saving and loading."""

import os
import pickle
import stat
import subprocess
import sys
import threading
import types

import pytest

import qvc_compressor
from conftest import run_python
from qvc_compressor import QVCompressor

EMPTY_37 = bytes.fromhex(
    "80 04 95 1a 00 00 00 00 00 00 00 7d 94 28 8c 04 64 69 63 74 94 7d 94 8c 07 6e 65 78 74 5f"
    " 69 64 94 4b 01 75 2e"
)
SMALL_53 = bytes.fromhex(
    "80 04 95 2a 00 00 00 00 00 00 00 7d 94 28 8c 04 64 69 63 74 94 7d 94 28 8c 01 61 94 4b 01"
    " 8c 01 62 94 4d 2c 01 75 8c 07 6e 65 78 74 5f 69 64 94 4d 2d 01 75 2e"
)


def write_pickle(path, content, protocol=None):
    with open(path, "wb") as f:
        pickle.dump(content, f, protocol=protocol)


def state(compressor):
    return compressor.global_dict, compressor.inverse_dict, compressor.next_id


def grown(path):
    """A compressor with a vocabulary of its own whose dict_path is `path` (not loaded yet)."""
    compressor = QVCompressor(str(path) + ".absent")
    compressor.dict_path = str(path)
    compressor.global_dict.update({"x": 1, "y": 2})
    compressor.inverse_dict.update({1: "x", 2: "y"})
    compressor.next_id = 3
    return compressor


@pytest.mark.parametrize(
    "vocabulary, next_id, expected",
    [({}, 1, EMPTY_37), ({"a": 1, "b": 300}, 301, SMALL_53)],
)
def test_saved_bytes_are_exactly_the_picklers(in_tmp_dir, vocabulary, next_id, expected):
    compressor = QVCompressor()
    compressor.global_dict.update(vocabulary)
    compressor.next_id = next_id
    assert compressor.save_dict() is None
    assert (in_tmp_dir / "vornakel_dict.bin").read_bytes() == expected
    loaded = QVCompressor()
    assert state(loaded) == (vocabulary, {v: k for k, v in vocabulary.items()}, next_id)


def test_save_then_load_keeps_pairs_order_and_next_id(tmp_path):
    path = str(tmp_path / "vocab.bin")
    source = QVCompressor(path)
    pairs = [("zeta", 5), (" ", 1), ("\u00e9t\u00e9", 3), ("\U0001f600", 2), ("\n\n", 4)]
    source.global_dict.update(pairs)
    source.next_id = -7
    source.save_dict()
    target = QVCompressor(path)
    assert list(target.global_dict.items()) == pairs
    assert list(target.inverse_dict.items()) == [(i, t) for t, i in pairs]
    assert target.next_id == -7


def test_load_without_a_file_changes_nothing(tmp_path):
    compressor = grown(tmp_path / "absent.bin")
    before = state(compressor)
    assert compressor.load_dict() is None
    assert state(compressor) == before and compressor.global_dict is before[0]


@pytest.mark.parametrize(
    "content, expected",
    [
        ({"next_id": 9}, ({}, {}, 9)),
        ({"dict": {"a": 4, "b": 2}}, ({"a": 4, "b": 2}, {4: "a", 2: "b"}, 1)),
        ({"dict": {"a": 1, "b": 1, "c": 2}, "next_id": 3}, ({"a": 1, "b": 1, "c": 2}, {1: "b", 2: "c"}, 3)),
        ({"dict": {"a": 1}, "next_id": 2.9, "other": "ignored"}, ({"a": 1}, {1: "a"}, 2)),
    ],
)
def test_load_reads_entries_by_key_with_defaults(tmp_path, content, expected):
    path = tmp_path / "vocab.bin"
    write_pickle(path, content)
    compressor = grown(path)
    compressor.load_dict()
    assert state(compressor) == expected


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_every_protocol_stays_readable(tmp_path, protocol):
    path = tmp_path / "vocab.bin"
    extras = [{1, 2}, frozenset({"f"}), bytearray(b"\x00ab"), bytearray(), b"", b"\xff\x00", (1, "t")]
    vocabulary = {"a": 1, "\u00e9": 300, "\u4e00": 2**31 - 1, "": 0}
    write_pickle(path, {"dict": vocabulary, "next_id": 301, "extras": extras}, protocol)
    compressor = QVCompressor(str(path))
    assert state(compressor) == (vocabulary, {v: k for k, v in vocabulary.items()}, 301)


@pytest.mark.parametrize(
    "content, error, message, replaced",
    [
        ([1, 2], AttributeError, "'list' object has no attribute 'get'", "nothing"),
        ({"dict": None}, AttributeError, "'NoneType' object has no attribute 'items'", "global_dict"),
        ({"dict": [("a", 1)]}, AttributeError, "'list' object has no attribute 'items'", "global_dict"),
        ({"dict": {"a": [1]}}, TypeError, "unhashable type: 'list'", "global_dict"),
        ({"dict": {"a": 1}, "next_id": 2**31}, OverflowError, "value too large to convert to int", "mappings"),
        ({"dict": {"a": 1}, "next_id": "4"}, TypeError, "an integer is required", "mappings"),
    ],
)
def test_load_failures_keep_what_was_replaced_before_them(tmp_path, content, error, message, replaced):
    path = tmp_path / "vocab.bin"
    write_pickle(path, content)
    compressor = grown(path)
    before = state(compressor)
    with pytest.raises(error) as info:
        compressor.load_dict()
    assert str(info.value) == message
    after = state(compressor)
    stored = content.get("dict") if isinstance(content, dict) else None
    if replaced == "nothing":
        expected = before
    elif replaced == "global_dict":
        expected = (stored, before[1], before[2])
    else:
        expected = (stored, {v: k for k, v in stored.items()}, before[2])
    assert after == expected
    if replaced != "nothing":
        assert after[0] is not before[0]


@pytest.mark.parametrize("data", [b"", b"\x80\x04\x95\x1a\x00\x00", b"not a pickle at all"])
def test_malformed_files_raise_the_unpicklers_error_and_change_nothing(tmp_path, data):
    path = tmp_path / "vocab.bin"
    path.write_bytes(data)
    compressor = grown(path)
    before = state(compressor)
    with pytest.raises((EOFError, pickle.UnpicklingError)):
        compressor.load_dict()
    assert state(compressor) == before


def test_dict_path_of_the_wrong_type_fails_in_the_existence_test(in_tmp_dir):
    with pytest.raises(TypeError) as expected:
        os.path.exists(None)
    compressor = grown(in_tmp_dir / "x.bin")
    compressor.dict_path = None
    with pytest.raises(TypeError) as info:
        compressor.load_dict()
    assert str(info.value) == str(expected.value)


def test_directory_as_dict_path(tmp_path):
    compressor = grown(tmp_path / "x.bin")
    compressor.dict_path = str(tmp_path)
    before = state(compressor)
    with pytest.raises(IsADirectoryError):
        compressor.load_dict()
    with pytest.raises(IsADirectoryError) as info:
        compressor.save_dict()
    assert info.value.filename == str(tmp_path)
    assert state(compressor) == before


def test_save_into_a_missing_directory_creates_nothing(tmp_path):
    path = str(tmp_path / "missing" / "vocab.bin")
    compressor = grown(tmp_path / "x.bin")
    compressor.dict_path = path
    with pytest.raises(FileNotFoundError) as info:
        compressor.save_dict()
    assert info.value.filename == path
    assert os.listdir(tmp_path) == []


def test_save_with_a_non_path_raises_opens_type_error(tmp_path):
    compressor = grown(tmp_path / "x.bin")
    compressor.dict_path = None
    with pytest.raises(TypeError) as expected:
        open(None, "wb")
    with pytest.raises(TypeError) as info:
        compressor.save_dict()
    assert str(info.value) == str(expected.value)


class FsPath:
    """A path-like object that is neither a str nor a pathlib path."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


UNWRITABLE_PATHS = {
    "missing directory": lambda tmp: tmp / "missing" / "vocab.bin",
    "parent is a file": lambda tmp: tmp / "file" / "vocab.bin",
    "a directory": lambda tmp: tmp / "dir",
    "read-only directory": lambda tmp: tmp / "read-only" / "vocab.bin",
}
PATH_KINDS = {
    "pathlib": lambda path: path,
    "own path-like": lambda path: FsPath(str(path)),
    "path-like giving bytes": lambda path: FsPath(os.fsencode(path)),
    "bytes": lambda path: os.fsencode(path),
}


@pytest.mark.parametrize("kind", sorted(PATH_KINDS))
@pytest.mark.parametrize("where", sorted(UNWRITABLE_PATHS))
def test_save_errors_name_the_path_as_open_does(tmp_path, where, kind):
    (tmp_path / "file").write_bytes(b"")
    (tmp_path / "dir").mkdir()
    (tmp_path / "read-only").mkdir(mode=0o555)
    path = PATH_KINDS[kind](UNWRITABLE_PATHS[where](tmp_path))
    try:
        open(path, "wb").close()
    except OSError as error:
        expected = error
    else:
        pytest.skip("this user may write anywhere")
    compressor = grown(tmp_path / "x.bin")
    compressor.dict_path = path
    with pytest.raises(OSError) as info:
        compressor.save_dict()
    assert type(info.value) is type(expected)
    assert (info.value.errno, info.value.filename, str(info.value)) == (
        expected.errno, expected.filename, str(expected))
    assert type(info.value.filename) is type(expected.filename)
    assert sorted(os.listdir(tmp_path)) == ["dir", "file", "read-only"]


def test_none_vocabulary_saves_and_then_fails_to_load(tmp_path):
    path = tmp_path / "vocab.bin"
    compressor = grown(path)
    compressor.global_dict = None
    compressor.save_dict()
    with open(path, "rb") as f:
        assert pickle.load(f) == {"dict": None, "next_id": 3}
    other = grown(tmp_path / "other.bin")
    other.dict_path = str(path)
    inverse = other.inverse_dict
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
        other.load_dict()
    assert other.global_dict is None and other.inverse_dict is inverse


# --- Saving never loses the file on disk ---------------------------------------------------------


def test_unpicklable_value_keeps_the_old_file_byte_for_byte(tmp_path):
    path = tmp_path / "vocab.bin"
    compressor = grown(path)
    compressor.save_dict()
    old = path.read_bytes()
    compressor.global_dict["bad"] = lambda: None
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
        compressor.save_dict()
    assert path.read_bytes() == old
    assert os.listdir(tmp_path) == ["vocab.bin"]


def test_symlinked_dict_path_keeps_pointing_at_its_target(tmp_path):
    target = tmp_path / "real" / "vocab.bin"
    target.parent.mkdir()
    target.write_bytes(b"old")
    link = tmp_path / "link.bin"
    link.symlink_to(target)
    compressor = grown(tmp_path / "x.bin")
    compressor.dict_path = str(link)
    compressor.save_dict()
    assert link.is_symlink() and os.readlink(link) == str(target)
    with open(target, "rb") as f:
        assert pickle.load(f) == {"dict": {"x": 1, "y": 2}, "next_id": 3}
    assert sorted(os.listdir(target.parent)) == ["vocab.bin"]


def test_file_modes_are_those_a_plain_open_gives(tmp_path):
    existing = tmp_path / "existing.bin"
    existing.write_bytes(b"old")
    existing.chmod(0o640)
    compressor = grown(existing)
    compressor.dict_path = str(existing)
    compressor.save_dict()
    assert stat.S_IMODE(existing.stat().st_mode) == 0o640

    old_umask = os.umask(0o027)
    try:
        compressor.dict_path = str(tmp_path / "new.bin")
        compressor.save_dict()
    finally:
        os.umask(old_umask)
    assert stat.S_IMODE((tmp_path / "new.bin").stat().st_mode) == 0o640


def test_pickle_is_looked_up_in_the_module_namespace_at_each_call(tmp_path, monkeypatch):
    dumped = []

    def recording_dump(obj, file):
        dumped.append(obj)
        pickle.dump(obj, file)

    shim = types.SimpleNamespace(dump=recording_dump, Unpickler=pickle.Unpickler,
                                 UnpicklingError=pickle.UnpicklingError)
    compressor = grown(tmp_path / "vocab.bin")
    monkeypatch.setattr(qvc_compressor, "pickle", shim)
    compressor.save_dict()
    assert dumped == [{"dict": {"x": 1, "y": 2}, "next_id": 3}]
    assert dumped[0]["dict"] is compressor.global_dict


# --- Loading never runs code ----------------------------------------------------------------------


class RunsCommand:
    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return (os.system, (f"touch {self.marker}",))


def hostile_streams(marker):
    command = f"touch {marker}".encode()
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        yield pickle.dumps({"dict": {"a": 1}, "next_id": RunsCommand(marker)}, protocol=protocol)
    yield b"cos\nsystem\n(S'" + command + b"'\ntR."
    yield b"cbuiltins\neval\n(V__import__('os').system('" + command + b"')\ntR."
    # The allowed names only rebuild byte strings: other arguments are refused too.
    yield b"\x80\x02c__builtin__\nbytearray\nJ\x00\x00\x00\x40\x85R."
    yield b"\x80\x02c_codecs\nencode\nX\x01\x00\x00\x00aX\x05\x00\x00\x00rot13\x86R."
    yield b"\x80\x02c__builtin__\nbytes\nJ\x00\x00\x00\x40\x85R."


def test_hostile_dictionary_files_run_nothing_and_change_nothing(tmp_path):
    marker = tmp_path / "pwned"
    path = tmp_path / "vocab.bin"
    compressor = grown(tmp_path / "x.bin")
    compressor.dict_path = str(path)
    before = state(compressor)
    for stream in hostile_streams(marker):
        path.write_bytes(stream)
        with pytest.raises(pickle.UnpicklingError) as info:
            compressor.load_dict()
        assert "forbidden" in str(info.value) or "only allowed" in str(info.value)
        assert state(compressor) == before
    assert not marker.exists()


def test_refusal_names_the_global(tmp_path):
    path = tmp_path / "vocab.bin"
    path.write_bytes(b"cos\nsystem\n(S'true'\ntR.")
    with pytest.raises(pickle.UnpicklingError, match=r"'os\.system'"):
        QVCompressor(str(path))


DECLARED_BEYOND_THE_STREAM = [
    # A byte string that claims a terabyte: the unpickler would allocate it before reading.
    b"\x80\x04\x8e" + (2**40).to_bytes(8, "little") + b"abc.",
    b"\x80\x04\x8e" + (2**62).to_bytes(8, "little") + b"abc.",
    b"\x80\x04\x95" + (2**40).to_bytes(8, "little") + b"N.",
    b"\x80\x03B" + (2**31 - 1).to_bytes(4, "little") + b".",
    # Memo indices far beyond the stream: the unpickler would grow and clear its memo table.
    b"\x80\x02Nr\x00\x00\x00\x40.",
    b"Np1073741824\n.",
    b"Np+1073741824\n.",
]


@pytest.mark.parametrize("stream", DECLARED_BEYOND_THE_STREAM)
def test_declared_sizes_beyond_the_stream_are_refused_before_allocating(tmp_path, stream):
    path = tmp_path / "vocab.bin"
    path.write_bytes(stream)
    compressor = grown(path)
    before = state(compressor)
    with pytest.raises(pickle.UnpicklingError):
        compressor.load_dict()
    assert state(compressor) == before


# --- The declared sizes, read as the unpickler reads them -----------------------------------------


# Every spelling of a memo index that `int()` accepts, as the unpickler's text PUT reads its line.
HUGE_PUT_LINES = [b"1073741824", b"+1073741824", b" 1073741824", b"\t1073741824",
                  b"1_073_741_824", b"1073741824 ", b"01073741824", b"1073741824\x00junk"]


@pytest.mark.parametrize("line", HUGE_PUT_LINES)
def test_text_memo_indices_beyond_the_stream_are_refused_however_written(tmp_path, line):
    path = tmp_path / "vocab.bin"
    path.write_bytes(b"Np" + line + b"\n.")
    compressor = grown(path)
    before = state(compressor)
    with pytest.raises(pickle.UnpicklingError, match="memo index out of range"):
        compressor.load_dict()
    assert state(compressor) == before


@pytest.mark.parametrize(
    "line, error",
    [(b"+0", None), (b" 0 ", None), (b"0_0", None), (b"1x", ValueError), (b"-1", ValueError),
     (b"", pickle.UnpicklingError), (b"99999999999999999999999", OverflowError)],
)
def test_text_memo_indices_the_stream_can_hold_are_left_to_the_unpickler(tmp_path, line, error):
    path = tmp_path / "vocab.bin"
    path.write_bytes(b"(dp" + line + b"\n.")
    if error is None:
        assert QVCompressor(str(path)).global_dict == {}
        return
    with pytest.raises(error) as raised:
        QVCompressor(str(path))
    with open(path, "rb") as f, pytest.raises(error) as plain:
        pickle.load(f)
    assert str(raised.value) == str(plain.value)


def test_bytes_after_the_stream_are_left_alone(tmp_path):
    path = tmp_path / "vocab.bin"
    # After the STOP opcode: what would be a declared terabyte, a memo bomb and plain junk.
    tail = b"\x8e" + (2**40).to_bytes(8, "little") + b"Np1073741824\n" + os.urandom(3000)
    path.write_bytes(pickle.dumps({"dict": {"a": 1}, "next_id": 2}) + tail)
    compressor = QVCompressor(str(path))
    assert state(compressor) == ({"a": 1}, {1: "a"}, 2)


class PipeWriter:
    """Writes data into a FIFO and, when `hold`, keeps its end open until released (at most a
    minute)."""

    def __init__(self, path, data, hold=True):
        self.released = threading.Event()
        if not hold:
            self.released.set()
        self.thread = threading.Thread(target=self._write, args=(path, data))
        self.thread.start()

    def _write(self, path, data):
        with open(path, "wb") as f:
            try:
                f.write(data)
                f.flush()
            except BrokenPipeError:
                return
            self.released.wait(60)

    def release(self):
        self.released.set()
        self.thread.join()


def test_a_fifo_is_read_as_far_as_the_stream_goes(tmp_path):
    path = tmp_path / "vocab.fifo"
    os.mkfifo(path)
    data = pickle.dumps({"dict": {"a": 1, "b": 2}, "next_id": 3}, protocol=2) + b"more to come"
    writer = PipeWriter(path, data)
    try:
        compressor = QVCompressor(str(path))
        assert not writer.released.is_set()  # loaded while the writer held the pipe open
    finally:
        writer.release()
    assert state(compressor) == ({"a": 1, "b": 2}, {1: "a", 2: "b"}, 3)


@pytest.mark.parametrize("stream", DECLARED_BEYOND_THE_STREAM)
def test_declared_sizes_of_a_stream_of_unknown_size_are_backed_by_what_came(tmp_path, stream):
    path = tmp_path / "vocab.fifo"
    os.mkfifo(path)
    writer = PipeWriter(path, stream, hold=False)
    try:
        with pytest.raises(pickle.UnpicklingError):
            QVCompressor(str(path))
    finally:
        writer.release()


def test_an_endless_device_fails_at_once(tmp_path):
    result = run_python("""
        from qvc_compressor import QVCompressor
        try:
            QVCompressor("/dev/zero")
        except Exception as error:
            print(type(error).__name__)
        """)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "UnpicklingError"


# --- Saving to what is not a plain file, and under any legal name ----------------------------------


def test_save_to_a_fifo_writes_into_it(tmp_path):
    path = tmp_path / "vocab.fifo"
    os.mkfifo(path)
    received = []
    reader = threading.Thread(target=lambda: received.append(path.read_bytes()))
    reader.start()
    grown(path).save_dict()
    reader.join()
    assert pickle.loads(received[0]) == {"dict": {"x": 1, "y": 2}, "next_id": 3}
    assert stat.S_ISFIFO(os.lstat(path).st_mode)
    assert os.listdir(tmp_path) == ["vocab.fifo"]


@pytest.mark.skipif(os.geteuid() != 0, reason="making a device node needs root")
def test_save_to_a_device_writes_into_it(tmp_path):
    path = tmp_path / "null"
    os.mknod(path, stat.S_IFCHR | 0o666, os.stat("/dev/null").st_rdev)
    grown(path).save_dict()
    assert stat.S_ISCHR(os.lstat(path).st_mode)
    assert os.listdir(tmp_path) == ["null"]


def test_save_to_a_hard_linked_file_keeps_the_links_shared(tmp_path):
    path, other = tmp_path / "vocab.bin", tmp_path / "other.bin"
    path.write_bytes(b"old")
    os.link(path, other)
    grown(path).save_dict()
    assert os.path.samefile(path, other)
    assert pickle.loads(other.read_bytes()) == {"dict": {"x": 1, "y": 2}, "next_id": 3}


def test_save_to_standard_output_when_it_is_a_pipe():
    result = subprocess.run(
        [sys.executable, "-c", "from qvc_compressor import QVCompressor\n"
         "c = QVCompressor('/nonexistent/d'); c.global_dict['a'] = 1; c.next_id = 2\n"
         "c.dict_path = '/dev/stdout'; c.save_dict()"],
        capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert pickle.loads(result.stdout) == {"dict": {"a": 1}, "next_id": 2}


@pytest.mark.parametrize("length", [234, 255])
def test_save_under_the_longest_names(tmp_path, length):
    path = tmp_path / ("n" * length)
    compressor = grown(path)
    compressor.save_dict()
    compressor.global_dict["z"] = 26
    compressor.save_dict()
    assert pickle.loads(path.read_bytes())["dict"] == {"x": 1, "y": 2, "z": 26}
    assert os.listdir(tmp_path) == [path.name]


def test_a_failing_file_object_does_not_close_another_threads_file(tmp_path, monkeypatch):
    # Whatever the file object did with the temporary file's descriptor before it failed, the
    # descriptor stays the saver's to close, and a file opened meanwhile keeps its own.
    real_open = open
    victim = []

    def failing_open(file, mode="r", *args, **kwargs):
        if not isinstance(file, int):
            return real_open(file, mode, *args, **kwargs)
        real_open(file, mode, *args, **kwargs).close()
        victim.append(real_open(tmp_path / "victim.txt", "w"))
        raise OSError("no file object today")

    path = tmp_path / "vocab.bin"
    monkeypatch.setattr("builtins.open", failing_open)
    with pytest.raises(OSError, match="no file object today"):
        grown(path).save_dict()
    monkeypatch.undo()
    victim[0].write("still mine")
    victim[0].close()
    assert (tmp_path / "victim.txt").read_text() == "still mine"
    assert sorted(os.listdir(tmp_path)) == ["victim.txt"]
