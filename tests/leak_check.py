"""Reference and memory leak check: every public operation, success and failure paths alike.

Each operation runs a while to warm up, then three times some thousands of times; neither the
number of live interpreter allocations (sys.getallocatedblocks) nor the process's resident
memory may grow with the count in every round. Run with `make test-leaks` (or `python tests/leak_check.py`).
"""

from __future__ import annotations

import argparse
import builtins
import copy
import gc
import os
import pickle
import random
import signal
import sys
import tempfile
import time
import warnings
from collections import UserDict

import zstandard

import qvc_compressor
from qvc_compressor import QVCompressor

# Growth allowed per call: a fraction of a block (caches that fill once) and of a kilobyte.
MAX_BLOCKS_PER_CALL = 0.02
MAX_RSS_KB_PER_CALL = 0.05


def rss_kb() -> int:
    with open("/proc/self/statm") as f:
        resident_pages = int(f.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE") // 1024


def fails(errors, function, *args, **kwargs):
    """Runs a call that must raise one of `errors`."""

    def run():
        try:
            function(*args, **kwargs)
        except errors:
            return
        raise AssertionError(f"{function.__name__ if hasattr(function, '__name__') else function} did not fail")

    return run


def succeeds(function, *args, **kwargs):
    def run():
        function(*args, **kwargs)

    return run


class Interrupted(Exception):
    pass


def _raise_interrupted(signum, frame):
    raise Interrupted


def interrupted(function, *args):
    """Runs a call that a signal interrupts at a random moment of it, or just after it: a
    handler raising on SIGALRM stands in for Ctrl-C's KeyboardInterrupt."""
    durations = []

    def run():
        if not durations:
            started = time.perf_counter()
            function(*args)
            durations.append(time.perf_counter() - started)
        previous = signal.signal(signal.SIGALRM, _raise_interrupted)
        try:
            signal.setitimer(signal.ITIMER_REAL, random.uniform(1e-4, 1.1 * durations[0]))
            try:
                function(*args)
                time.sleep(1.1 * durations[0])
            except Interrupted:
                pass
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)

    return run


def fewer(operation, divisor):
    """An operation too slow for the full count of calls: run `divisor` times less often."""
    operation.divisor = divisor
    return operation


class Workspace:
    """Files the operations read: inputs, dictionary files and packages, good and hostile."""

    def __init__(self, root: str):
        self.root = root
        self.text = self.write("text.txt", "the cat sat on the mat\r\nd\u00e9j\u00e0 vu \u4e00\n" * 20)
        self.other = self.write("other.txt", "  another   file\twith\u3000spaces \U0001f600\n")
        self.empty = self.write("empty.txt", "")
        self.latin1 = self.write_bytes("latin1.txt", "caf\u00e9".encode("latin-1"))
        self.dict_file = os.path.join(root, "vocab.bin")
        source = QVCompressor(self.dict_file + ".absent")
        source.global_dict.update({"a": 1, "b": 300, "\u00e9": 2})
        source.next_id = 301
        source.dict_path = self.dict_file
        source.save_dict()
        self.bad_next_id = self.pickle_file("bad_next_id.bin", {"dict": {"a": 1}, "next_id": 2**31})
        self.none_dict = self.pickle_file("none_dict.bin", {"dict": None})
        self.truncated = self.write_bytes("truncated.bin", b"\x80\x04\x95\x1a\x00")
        self.evil_dict = self.write_bytes("evil.bin", b"cos\nsystem\n(S'true'\ntR.")
        self.memo_bomb = self.write_bytes("memo.bin", b"\x80\x02Nr\x00\x00\x00\x40.")
        self.package = os.path.join(root, "good.qvc")
        self.out = os.path.join(root, "out")
        self.escape = self.package_file("escape.qvc", names=["../escape.txt"])
        self.absolute = self.package_file("absolute.qvc", names=["/tmp/qvc-leak-check.txt"])
        self.high_record = self.package_file("high.qvc", stream=b"\x80\x00\x00\x01")
        self.bomb = self.package_file("bomb.qvc", compressed=self.frame_claiming(2**40))
        self.not_a_frame = self.package_file("not_frame.qvc", compressed=b"plain bytes")
        self.evil_package = self.write_bytes("evil.qvc", b"cos\nsystem\n(S'true'\ntR.")
        self.unk_package = self.package_file("unk.qvc", stream=b"\x00\x00\x00\x09" * 3, names=["u.txt"])
        self.put_bomb = self.write_bytes("put.bin", b"Np+1073741824\n.")
        self.trailing = self.write_bytes("trailing.bin", pickle.dumps({"dict": {"a": 1}}) + b"\x8e\xff" * 50)
        self.linked = self.write_bytes("linked.bin", b"")
        os.link(self.linked, os.path.join(root, "linked-too.bin"))
        self.long_name = os.path.join(root, "n" * 255)
        self.symlinked_out = os.path.join(root, "symlinked-out")
        os.mkdir(self.symlinked_out)
        os.symlink(self.text, os.path.join(self.symlinked_out, "text.txt"))
        records = 4_500_000  # a frame decompressed in pieces
        stream = b"".join(i.to_bytes(4, "big") for i in (1, 2, 3)) * (records // 3)
        self.large_package = self.package_file("large.qvc", stream=stream, names=["large.txt"])
        self.large_broken = self.package_file(
            "broken.qvc", compressed=zstandard.ZstdCompressor().compress(stream)[:-50], names=["b.txt"])
        self.unencodable = self.pickle_file("unencodable.qvc", {
            "compressed": zstandard.ZstdCompressor().compress(stream),
            "file_boundaries": [records], "filenames": ["u.txt"],
            "global_dict": {"a" * 8: 1, "b": 2, "\ud800": 3}})
        words = [f"w{i}" for i in range(50_000)]
        generator = random.Random(3)
        self.large_inputs = [
            self.write(f"large{i}.txt", " ".join(generator.choices(words, k=150_000)) + "\n")
            for i in range(4)]

    def write(self, name, text):
        path = os.path.join(self.root, name)
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        return path

    def write_bytes(self, name, data):
        path = os.path.join(self.root, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def pickle_file(self, name, content):
        return self.write_bytes(name, pickle.dumps(content))

    def package_file(self, name, stream=b"\x00\x00\x00\x01", names=("a.txt",), compressed=None):
        if compressed is None:
            compressed = zstandard.ZstdCompressor().compress(stream)
        package = {
            "compressed": compressed,
            "file_boundaries": [len(stream) // 4] * len(names),
            "filenames": list(names),
            "global_dict": {"x": 1},
        }
        return self.pickle_file(name, package)

    @staticmethod
    def frame_claiming(size):
        # Frame header: magic, descriptor with an 8-byte content size and single segment.
        return b"\x28\xb5\x2f\xfd" + bytes([0xE0]) + size.to_bytes(8, "little") + b"\x01\x00\x00"


class Sub(QVCompressor):
    def tokenize(self, text):
        return super().tokenize(text)


class TupleTokenizer(QVCompressor):
    def tokenize(self, text):
        return tuple(text)


class WithInt:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


def reading_surrogates(call, *args):
    """Runs `call` with `open` giving undecodable bytes as lone surrogates."""
    real_open = builtins.open

    def surrogate_open(file, mode="r", *rest, **options):
        if "b" not in mode:
            options["errors"] = "surrogateescape"
        return real_open(file, mode, *rest, **options)

    builtins.open = surrogate_open
    try:
        return call(*args)
    finally:
        builtins.open = real_open


def fresh(path="absent-dictionary.bin"):
    return QVCompressor(path)


def saving_to(path):
    compressor = fresh()
    compressor.dict_path = path
    return compressor


def vocabulary_of(vocabulary):
    compressor = fresh()
    compressor.global_dict = vocabulary
    compressor.inverse_dict = {}
    compressor.next_id = 1
    return compressor


def operations(ws: Workspace) -> dict:
    c = fresh()
    loaded = QVCompressor(ws.dict_file)
    sub = Sub("absent.bin")
    tuple_tokenizer = TupleTokenizer("absent.bin")
    bare = QVCompressor.__new__(QVCompressor)
    text = open(ws.text, encoding="utf-8").read()
    tokens = c.tokenize(text)
    # Past a million characters, split on two threads.
    unit = text + " ".join(f"w{i}" for i in range(3000)) + "\n"
    large_text = unit * ((1 << 20) // len(unit) + 1)
    package = ws.package
    import pathlib

    learned = fresh()
    learned.global_dict = {"the": 3, "cat": WithInt(4)}
    learned.inverse_dict = {3: "the", 5: "stale"}
    learned.next_id = 5
    user_dict = fresh()
    user_dict.global_dict = UserDict()
    other = os.path.join(ws.root, "other.qvc")  # the package the decoder cases read stays plain
    ops = {
        # construction and attributes
        "construct": succeeds(QVCompressor, "absent.bin"),
        "construct loading a file": succeeds(QVCompressor, ws.dict_file),
        "construct, bad keyword": fails(TypeError, QVCompressor, path="x"),
        "new without init": succeeds(QVCompressor.__new__, QVCompressor, 1, x=2),
        "assign next_id": succeeds(setattr, bare, "next_id", 7.5),
        "assign next_id overflow": fails(OverflowError, setattr, bare, "next_id", 2**40),
        "assign next_id non-int __int__": fails(TypeError, setattr, bare, "next_id", WithInt("x")),
        "assign next_id strict subclass": succeeds(setattr, bare, "next_id", WithInt(True)),
        "delete next_id": fails(NotImplementedError, delattr, bare, "next_id"),
        "assign unknown attribute": fails(AttributeError, setattr, bare, "other", 1),
        # binding errors
        "too many arguments": fails(TypeError, c.encode_files, [], "o", 6, 4, 5),
        "missing argument": fails(TypeError, c.decode_package, "p", use_zstd=False),
        "unexpected keyword": fails(TypeError, c.load_dict, x=1),
        "multiple values": fails(TypeError, c.tokenize, "a", text="b"),
        "wrong type": fails(TypeError, c.detokenize, ("a",)),
        "conversion error": fails(TypeError, c.encode_files, [], "o", "6"),
        "unbound call without object": fails(TypeError, QVCompressor.tokenize),
        # dictionary file
        "load_dict": succeeds(loaded.load_dict),
        "load_dict missing file": succeeds(c.load_dict),
        "load_dict next_id overflow": fails(OverflowError, QVCompressor, ws.bad_next_id),
        "load_dict None vocabulary": fails(AttributeError, QVCompressor, ws.none_dict),
        "load_dict truncated": fails((EOFError, pickle.UnpicklingError), QVCompressor, ws.truncated),
        "load_dict hostile": fails(pickle.UnpicklingError, QVCompressor, ws.evil_dict),
        "load_dict memo bomb": fails(pickle.UnpicklingError, QVCompressor, ws.memo_bomb),
        "load_dict directory": fails(IsADirectoryError, QVCompressor, ws.root),
        "save_dict": succeeds(loaded.save_dict),
        "save_dict missing directory": fails(FileNotFoundError, QVCompressor("no/such/dir/x.bin").save_dict),
        # tokenizer
        "tokenize": succeeds(c.tokenize, text),
        "tokenize 4-byte text": succeeds(c.tokenize, "\U0001f600 a\u3000b " * 50),
        "tokenize on two threads": succeeds(c.tokenize, large_text),
        "tokenize None": fails(TypeError, c.tokenize, None),
        "detokenize": succeeds(c.detokenize, tokens),
        "detokenize non-str": fails(TypeError, c.detokenize, ["a", 1]),
        # state transfer
        "pickle": succeeds(lambda: pickle.loads(pickle.dumps(loaded))),
        "copy": succeeds(copy.copy, loaded),
        "deepcopy": succeeds(copy.deepcopy, loaded),
        "pickle subclass": succeeds(lambda: pickle.loads(pickle.dumps(sub))),
        "setstate short tuple": fails(IndexError, bare.__setstate__, (1, 2)),
        "setstate None": fails(TypeError, bare.__setstate__, None),
        "unpickle bad checksum": fails(pickle.PickleError, qvc_compressor.__pyx_unpickle_QVCompressor,
                                       QVCompressor, 5, None),
        "unpickle foreign type": fails(TypeError, qvc_compressor.__pyx_unpickle_QVCompressor, int,
                                       0x3E12E10, None),
        # encoder
        "encode_files": succeeds(fresh().encode_files, [ws.text, ws.other, ws.empty], package, 3, 1),
        "encode_files subclass": succeeds(sub.encode_files, [ws.text], os.path.join(ws.root, "sub.qvc"), 1, 0),
        "encode_files missing input": fails(FileNotFoundError, c.encode_files, [ws.text, "missing.txt"], package),
        "encode_files invalid UTF-8": fails(UnicodeDecodeError, c.encode_files, [ws.latin1], package),
        "encode_files tuple tokenizer": fails(TypeError, tuple_tokenizer.encode_files, [ws.text], package),
        "encode_files None paths": fails(TypeError, c.encode_files, None, package),
        "encode_files bad level": fails((zstandard.ZstdError, ValueError), fresh().encode_files, [ws.text], package, 2**30),
        "encode_files output directory": fails(IsADirectoryError, c.encode_files, [ws.text], ws.root),
        "encode_files shared id": fails(ValueError, lambda: vocabulary_of({"a": 1.0, "b": 1}).encode_files(
            [ws.text], package)),
        "encode_files UserDict": succeeds(lambda: vocabulary_of(UserDict({"the": 1})).encode_files(
            [ws.text], os.path.join(ws.root, "userdict.qvc"))),
        "encode_files in place": succeeds(fresh().encode_files, [ws.text], ws.linked),
        "encode_files in one call": succeeds(fresh().encode_files, [ws.text, ws.other], other, 3, 0),
        "encode_files path objects": succeeds(fresh().encode_files,
                                              [pathlib.Path(ws.text), os.fsencode(ws.other)], other),
        "encode_files missing after learned": fails(FileNotFoundError, learned.encode_files,
                                                    [ws.text, ws.other, "missing.txt"], other),
        "encode_files late invalid UTF-8": fails(UnicodeDecodeError, learned.encode_files,
                                                 [ws.text, ws.latin1], other),
        "encode_files mapping vocabulary": succeeds(user_dict.encode_files, [ws.text], other, 3, 1),
        "encode_files lone surrogates": succeeds(reading_surrogates, fresh().encode_files, [ws.latin1], other),
        "encode_files long name": succeeds(fresh().encode_files, [ws.text], ws.long_name),
        # interrupted
        "tokenize interrupted": fewer(interrupted(c.tokenize, large_text * 8), 10),
        "encode_files interrupted": fewer(interrupted(lambda: fresh().encode_files(
            ws.large_inputs, os.path.join(ws.root, "interrupted.qvc"))), 30),
        # dictionary file, hardened
        "load_dict text memo bomb": fails(pickle.UnpicklingError, QVCompressor, ws.put_bomb),
        "load_dict bytes after the stream": succeeds(QVCompressor, ws.trailing),
        "load_dict endless device": fails(pickle.UnpicklingError, QVCompressor, "/dev/zero"),
        "save_dict in place": succeeds(saving_to(ws.linked).save_dict),
        "save_dict to a device": succeeds(saving_to("/dev/null").save_dict),
        "save_dict long name": succeeds(saving_to(ws.long_name).save_dict),
    }
    fresh().encode_files([ws.text, ws.other, ws.empty], package)
    ops.update({
        # decoder
        "decode_package": succeeds(fresh().decode_package, package, ws.out),
        "decode_package unknown ids": succeeds(fresh().decode_package, ws.unk_package, ws.out),
        "decode_package hostile pickle": fails(pickle.UnpicklingError, fresh().decode_package, ws.evil_package, ws.out),
        "decode_package ../ name": fails(ValueError, fresh().decode_package, ws.escape, ws.out),
        "decode_package absolute name": fails(ValueError, fresh().decode_package, ws.absolute, ws.out),
        "decode_package record >= 2^31": fails(OverflowError, fresh().decode_package, ws.high_record, ws.out),
        "decode_package frame bomb": fails(ValueError, fresh().decode_package, ws.bomb, ws.out),
        "decode_package not a frame": fails(zstandard.ZstdError, fresh().decode_package, ws.not_a_frame, ws.out),
        "decode_package missing": fails(FileNotFoundError, c.decode_package, "missing.qvc", ws.out),
        "decode_package through a symlink": fails(OSError, fresh().decode_package, ws.package, ws.symlinked_out),
        "decode_package large frame": fewer(succeeds(fresh().decode_package, ws.large_package, ws.out), 10),
        "decode_package large broken frame": fewer(
            fails(zstandard.ZstdError, fresh().decode_package, ws.large_broken, ws.out), 10),
        "decode_package unencodable in pieces": fewer(
            fails(UnicodeEncodeError, fresh().decode_package, ws.unencodable, ws.out), 10),
        "decode_package interrupted": fewer(interrupted(
            lambda: fresh().decode_package(ws.large_package, ws.out)), 10),
    })
    return ops


def measure(operation, iterations: int) -> tuple[float, float]:
    """Growth per call in blocks and KiB, the least of three windows after a warm-up: a leak
    grows in every one, while caches, allocator free lists and heap fragmentation settle."""
    for _ in range(max(iterations // 4, 50)):
        operation()
    windows = []
    for _ in range(3):
        gc.collect()
        blocks, rss = sys.getallocatedblocks(), rss_kb()
        for _ in range(iterations):
            operation()
        gc.collect()
        windows.append(((sys.getallocatedblocks() - blocks) / iterations, (rss_kb() - rss) / iterations))
    return min(w[0] for w in windows), min(w[1] for w in windows)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=3000)
    parser.add_argument("--only", help="run only operations whose name contains this text")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    failures = []
    with tempfile.TemporaryDirectory() as root:
        os.chdir(root)
        ws = Workspace(root)
        for name, operation in operations(ws).items():
            if args.only and args.only not in name:
                continue
            iterations = max(args.iterations // getattr(operation, "divisor", 1), 30)
            blocks, rss = measure(operation, iterations)
            leaking = blocks > MAX_BLOCKS_PER_CALL or rss > MAX_RSS_KB_PER_CALL
            print(f"{'LEAK' if leaking else 'ok  '}  {name:40s} {blocks:+8.4f} blocks/call {rss:+8.4f} KiB/call")
            if leaking:
                failures.append(name)
        assert not os.path.exists(os.path.join(os.path.dirname(root), "escape.txt"))
    if failures:
        print(f"leaks in: {', '.join(failures)}", file=sys.stderr)
        return 1
    print("no leaks")
    return 0


if __name__ == "__main__":
    sys.exit(main())
