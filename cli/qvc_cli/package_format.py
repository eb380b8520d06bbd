"""The package format, as the command line reads it: one pickle of a dict, whose "compressed"
entry is one Zstandard frame of 4-byte big-endian token ids.

Three readers live here, each for a need:

- The walk finds where things lie by stepping through the pickle's opcodes without unpickling:
  describing a package must not cost what restoring it costs (unpickling builds every token of
  the vocabulary as a string, several times the package's size in memory). It reads the stream
  in pieces, skips byte strings by seeking, keeps only the small values and merely counts the
  vocabulary, and checks every declared length and memo index against the file's size. What it
  finds wrong is said in plain words, and every subcommand that meets a damaged package says
  what the walk says. It follows what picklers write for a dict of byte strings, strings,
  integers and lists; anything else is `Unsupported` and left to the restricted unpickler.
  Asked for the tokens of some ids, it keeps those alone: taking a few files out of a package
  (`load_part`) then builds nothing of the rest of the vocabulary.
- The restricted unpickler resolves no global except the two that byte strings of old pickle
  protocols need, and those only for byte strings, so an untrusted package cannot run code. It
  reads the first pickle of the file, as the library's decoder does; what follows is trailing
  data, which no subcommand takes for part of the package.
- `TokenStream` decompresses the token stream only as far as it is read, and turns ids into
  text the way the library's decoder does, so that one file can be restored or checked without
  decoding the whole package, and no more than a piece of it is in memory at once.
"""

from __future__ import annotations

import io
import itertools
import os
import pickle
import pickletools
import sys
from array import array
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field

import zstandard

CHUNK = 1 << 20
# Strings longer than this are not kept, only skipped: no file name or key is that long.
LONGEST_KEPT = 1 << 16
# The largest token stream a package may hold: 2^29 records of 4 bytes.
MAX_STREAM_BYTES = 2**31
# A Zstandard frame header is at most this long.
FRAME_HEADER_BYTES = 18


# The entries of a package's dict: the four every reader knows, and the manifest.
PACKAGE_KEYS = frozenset({"compressed", "file_boundaries", "filenames", "global_dict", "qvc_manifest"})


class PackageError(Exception):
    """The file, or its manifest, is not what this tool can read; the message says why."""


class PackageDamage(Exception):
    """What is wrong with a package, in words a user understands."""


class Unsupported(Exception):
    """The stream is built in a way this walk does not follow; unpickling it is the way left."""


@dataclass(frozen=True)
class Span:
    start: int
    length: int


@dataclass(frozen=True)
class VocabularyPlace:
    entries: int
    start: int
    end: int

    @property
    def length(self) -> int:
        return self.end - self.start


@dataclass
class PackageLayout:
    size: int
    compressed: Span | None = None
    boundaries: list | None = None
    names: list | None = None
    vocabulary: VocabularyPlace | None = None
    keys: list = field(default_factory=list)
    compressed_header: bytes | None = None  # when the stream's place is not known
    end: int | None = None  # where the pickle ends, when the walk went that far
    tokens: dict[int, str] = field(default_factory=dict)  # the wanted ids' tokens
    manifest: Span | None = None  # the manifest's payload, when the pickle has one


class _Opaque:
    """A value the walk skipped: a long string, or something only its position matters for."""

    def __init__(self, what: str) -> None:
        self.what = what


class _Bytes(Span):
    pass


class _CountedDict:
    """A dict below the top level: its entries are counted, never kept."""

    def __init__(self, start: int) -> None:
        self.start = start
        self.end = start + 1
        self.entries = 0
        self.collect = False  # whether the walk records wanted tokens from it


_TEXT_LINE_LIMIT = 1 << 16


class _Walk:
    def __init__(self, f, size: int, stop: str | None, wanted: set[int] | None = None) -> None:
        self.wanted = wanted
        self.found: dict[int, str] = {}
        self.f = f
        self.size = size
        self.stop = stop
        self.buf = b""
        self.pos = 0
        self.base = 0  # file offset of buf[0]
        self.stack: list = []
        self.marks: list[int] = []
        self.memo: dict[int, object] = {}
        self.memo_next = 0
        self.top: dict | None = None
        self.vocabulary_start: int | None = None
        self.end: int | None = None

    # -- reading -------------------------------------------------------------------------

    def offset(self) -> int:
        return self.base + self.pos

    def seek(self, absolute: int) -> None:
        if absolute > self.size:
            raise PackageDamage("it ends early")
        self.f.seek(absolute)
        self.base, self.pos = absolute, 0
        self.buf = self.f.read(CHUNK)

    def need(self, count: int) -> None:
        """At least `count` bytes from the position are in the buffer, or the stream has ended."""
        if self.pos + count <= len(self.buf):
            return
        absolute = self.offset()
        if absolute + count > self.size:
            raise PackageDamage("it ends early")
        if self.pos >= len(self.buf):
            self.seek(absolute)
        else:
            rest = self.buf[self.pos:]
            self.base, self.pos = absolute, 0
            self.buf = rest + self.f.read(max(CHUNK, count - len(rest)))
        if len(self.buf) < count:
            raise PackageDamage("it ends early")

    def take(self, count: int) -> bytes:
        self.need(count)
        data = self.buf[self.pos:self.pos + count]
        self.pos += count
        return data

    def skip(self, count: int) -> None:
        absolute = self.offset() + count
        if absolute > self.size:
            raise PackageDamage("it ends early")
        if self.pos + count <= len(self.buf):
            self.pos += count
        else:
            self.seek(absolute)

    def length(self, width: int) -> int:
        return int.from_bytes(self.take(width), "little")

    def line(self) -> bytes:
        """A text argument of the oldest protocols, up to its newline."""
        self.need(1)
        end = self.buf.find(b"\n", self.pos)
        while end < 0:
            if len(self.buf) - self.pos > _TEXT_LINE_LIMIT or self.offset() + len(self.buf) - self.pos >= self.size:
                raise PackageDamage("it ends early")
            self.need(len(self.buf) - self.pos + CHUNK if self.offset() + len(self.buf) - self.pos + CHUNK <= self.size
                      else self.size - self.offset())
            end = self.buf.find(b"\n", self.pos)
        data = self.buf[self.pos:end]
        self.pos = end + 1
        return data

    # -- values --------------------------------------------------------------------------

    def string(self, width: int) -> object:
        count = self.length(width)
        if count > LONGEST_KEPT:
            self.skip(count)
            return _Opaque("string")
        try:
            return self.take(count).decode("utf-8", "surrogatepass")
        except UnicodeDecodeError:
            raise self.unreadable() from None

    def byte_string(self, width: int) -> _Bytes:
        count = self.length(width)
        start = self.offset()
        self.skip(count)
        return _Bytes(start, count)

    def unreadable(self) -> PackageDamage:
        return PackageDamage(f"it is unreadable at byte {self.offset():,}")

    def pop_mark(self) -> list:
        if not self.marks:
            raise self.unreadable()
        mark = self.marks.pop()
        items = self.stack[mark:]
        del self.stack[mark:]
        return items

    def pop(self) -> object:
        if len(self.stack) <= (self.marks[-1] if self.marks else 0):
            raise self.unreadable()
        return self.stack.pop()

    def new_dict(self, start: int) -> object:
        if self.top is None:
            self.top = {}
            return self.top
        return _CountedDict(start)

    def set_items(self, target: object, pairs: list) -> None:
        if len(pairs) % 2:
            raise self.unreadable()
        if isinstance(target, _CountedDict):
            if target.collect:
                for key, value in zip(pairs[::2], pairs[1::2]):
                    if type(key) is not str or type(value) is not int:
                        raise Unsupported("a vocabulary entry that is not a string and an int")
                    if value in self.wanted:
                        self.found[value] = key
            target.entries += len(pairs) // 2
            target.end = self.offset()
        elif isinstance(target, dict):
            for key, value in zip(pairs[::2], pairs[1::2]):
                if not isinstance(key, (str, int)):
                    raise self.unreadable()
                target[key] = value
        else:
            raise self.unreadable()

    # -- the vocabulary ------------------------------------------------------------------

    def count_batch(self) -> int | None:
        """At a MARK opening a batch of a counted dict: skips its pairs up to and including the
        SETITEMS that ends it and returns how many there were; None, the position unchanged,
        when the batch holds anything but strings, integers and memo references."""
        start = self.offset()
        self.pos += 1
        items = memoized = 0
        buf, pos = self.buf, self.pos
        end = len(buf) - 16
        try:
            while True:
                if pos >= end:
                    buf, pos = self.refill(pos)
                    end = len(buf) - 16
                op = buf[pos]
                if op == 0x8C:  # SHORT_BINUNICODE: a token, and most often its memo entry and id
                    pos += 2 + buf[pos + 1]
                    items += 1
                    if pos < end and buf[pos] == 0x94:
                        memoized += 1
                        op = buf[pos + 1]
                        if op == 0x4A:  # BININT
                            pos += 6
                            items += 1
                        elif op == 0x4D:  # BININT2
                            pos += 4
                            items += 1
                        elif op == 0x4B:  # BININT1
                            pos += 3
                            items += 1
                        else:
                            pos += 1
                    continue
                if op == 0x94:  # MEMOIZE
                    pos += 1
                    memoized += 1
                    continue
                if op == 0x4A:  # BININT
                    pos += 5
                elif op == 0x4D:  # BININT2
                    pos += 3
                elif op == 0x4B:  # BININT1
                    pos += 2
                elif op == 0x58:  # BINUNICODE
                    pos += 5 + int.from_bytes(buf[pos + 1:pos + 5], "little")
                elif op == 0x8D:  # BINUNICODE8
                    pos += 9 + int.from_bytes(buf[pos + 1:pos + 9], "little")
                elif op == 0x8A:  # LONG1
                    pos += 2 + buf[pos + 1]
                elif op == 0x95:  # FRAME
                    if int.from_bytes(buf[pos + 1:pos + 9], "little") > self.size - self.base - pos:
                        raise PackageDamage("it ends early")
                    pos += 9
                    continue
                elif op == 0x71:  # BINPUT
                    pos += 2
                    continue
                elif op == 0x72:  # LONG_BINPUT
                    if int.from_bytes(buf[pos + 1:pos + 5], "little") >= self.size:
                        raise PackageDamage(f"it is unreadable at byte {self.base + pos:,}")
                    pos += 5
                    continue
                elif op == 0x68:  # BINGET
                    pos += 2
                elif op == 0x6A:  # LONG_BINGET
                    pos += 5
                elif op == 0x75:  # SETITEMS
                    self.pos = pos + 1
                    break
                else:
                    self.seek(start)
                    return None
                items += 1
        except IndexError:
            raise PackageDamage("it ends early") from None
        self.memo_next += memoized
        if items % 2:
            raise PackageDamage(f"it is unreadable at byte {start:,}")
        return items // 2

    def collect_batch(self) -> int:
        """As `count_batch`, for the vocabulary when tokens are wanted: records the token of
        every pair whose id is in `wanted`, a later pair of one id replacing an earlier one.
        Follows only what a pickler writes for a dict of strings to ints; Unsupported else."""
        start = self.offset()
        self.pos += 1
        pairs = memoized = 0
        wanted, found = self.wanted, self.found
        key = None
        buf, pos = self.buf, self.pos
        end = len(buf) - 16
        try:
            while True:
                if pos >= end:
                    buf, pos = self.refill(pos)
                    end = len(buf) - 16
                op = buf[pos]
                if op == 0x8C and key is None and pos + 263 < len(buf):
                    # SHORT_BINUNICODE: a token, and most often its memo entry and id right after,
                    # all in the buffer; the token is decoded only if its id is wanted.
                    at = pos + 2
                    pos = at + buf[pos + 1]
                    if buf[pos] == 0x94:
                        memoized += 1
                        pos += 1
                    op = buf[pos]
                    if op == 0x4D:  # BININT2
                        value = buf[pos + 1] | buf[pos + 2] << 8
                        pos += 3
                    elif op == 0x4A:  # BININT
                        value = buf[pos + 1] | buf[pos + 2] << 8 | buf[pos + 3] << 16 | buf[pos + 4] << 24
                        value -= (value >> 31) << 32
                        pos += 5
                    elif op == 0x4B:  # BININT1
                        value = buf[pos + 1]
                        pos += 2
                    else:
                        key = buf[at:at + buf[at - 1]]
                        continue
                    if value in wanted:
                        try:
                            found[value] = buf[at:at + buf[at - 1]].decode("utf-8", "surrogatepass")
                        except UnicodeDecodeError:
                            raise PackageDamage(f"it is unreadable at byte {start:,}") from None
                    pairs += 1
                    continue
                if op == 0x8C or op == 0x58:  # SHORT_BINUNICODE, BINUNICODE: a token
                    if key is not None:
                        raise Unsupported("two keys in a row")
                    width = 1 if op == 0x8C else 4
                    count = int.from_bytes(buf[pos + 1:pos + 1 + width], "little")
                    if pos + 1 + width + count > len(buf):
                        self.pos = pos + 1 + width
                        key = self.take(count)
                        buf, pos = self.buf, self.pos
                        end = len(buf) - 16
                    else:
                        pos += 1 + width
                        key = buf[pos:pos + count]
                        pos += count
                    continue
                if op == 0x94:  # MEMOIZE
                    pos += 1
                    memoized += 1
                    continue
                if op == 0x68 or op == 0x6A:  # BINGET, LONG_BINGET: a token met before the vocabulary
                    width = 1 if op == 0x68 else 4
                    known = self.memo.get(int.from_bytes(buf[pos + 1:pos + 1 + width], "little"))
                    if key is not None or type(known) is not str:
                        raise Unsupported("a token the walk did not keep")
                    key = known.encode("utf-8", "surrogatepass")
                    pos += 1 + width
                    continue
                if op == 0x4A:  # BININT
                    value = int.from_bytes(buf[pos + 1:pos + 5], "little", signed=True)
                    pos += 5
                elif op == 0x4D:  # BININT2
                    value = buf[pos + 1] | buf[pos + 2] << 8
                    pos += 3
                elif op == 0x4B:  # BININT1
                    value = buf[pos + 1]
                    pos += 2
                elif op == 0x95:  # FRAME
                    if int.from_bytes(buf[pos + 1:pos + 9], "little") > self.size - self.base - pos:
                        raise PackageDamage("it ends early")
                    pos += 9
                    continue
                elif op == 0x75 and key is None:  # SETITEMS
                    self.pos = pos + 1
                    break
                else:
                    raise Unsupported(f"opcode {bytes([op])!r} in the vocabulary")
                if key is None:
                    raise Unsupported("an id without its token")
                if value in wanted:
                    try:
                        found[value] = key.decode("utf-8", "surrogatepass")
                    except UnicodeDecodeError:
                        raise PackageDamage(f"it is unreadable at byte {start:,}") from None
                key = None
                pairs += 1
        except IndexError:
            raise PackageDamage("it ends early") from None
        self.memo_next += memoized
        return pairs

    def refill(self, pos: int) -> tuple[bytes, int]:
        """The buffer and position after `pos`, which may lie beyond the buffer, with what
        follows it read in."""
        self.pos = pos
        absolute = self.offset()
        if absolute >= self.size:
            raise PackageDamage("it ends early")
        if pos >= len(self.buf):
            self.seek(absolute)
        else:
            self.need(min(16, self.size - absolute))
        return self.buf, self.pos

    # -- the walk ------------------------------------------------------------------------

    def run(self) -> dict:
        """The top-level dict, its byte strings as spans and its nested dicts counted."""
        stack = self.stack
        while True:
            self.need(1)
            start = self.offset()
            op = self.buf[self.pos]
            self.pos += 1
            if op == 0x8C:  # SHORT_BINUNICODE
                stack.append(self.string(1))
            elif op == 0x58:  # BINUNICODE
                stack.append(self.string(4))
            elif op == 0x8D:  # BINUNICODE8
                stack.append(self.string(8))
            elif op == 0x94:  # MEMOIZE
                if not stack:
                    raise self.unreadable()
                self.memo[self.memo_next] = stack[-1]
                self.memo_next += 1
                if isinstance(stack[-1], _CountedDict):
                    stack[-1].end = self.offset()
            elif op in (0x4B, 0x4D, 0x4A):  # BININT1, BININT2, BININT
                width = {0x4B: 1, 0x4D: 2, 0x4A: 4}[op]
                stack.append(int.from_bytes(self.take(width), "little", signed=op == 0x4A))
            elif op in (0x8A, 0x8B):  # LONG1, LONG4
                count = self.length(1 if op == 0x8A else 4)
                if count > 64:
                    raise self.unreadable()
                stack.append(int.from_bytes(self.take(count), "little", signed=True))
            elif op == 0x28:  # MARK
                if stack and isinstance(stack[-1], _CountedDict):
                    self.pos -= 1
                    entries = self.collect_batch() if stack[-1].collect else self.count_batch()
                    if entries is not None:
                        stack[-1].entries += entries
                        stack[-1].end = self.offset()
                        continue
                    self.pos += 1
                self.marks.append(len(stack))
            elif op == 0x75:  # SETITEMS
                pairs = self.pop_mark()
                self.set_items(self.pop_target(), pairs)
            elif op == 0x73:  # SETITEM
                value, key = self.pop(), self.pop()
                self.set_items(self.pop_target(), [key, value])
            elif op == 0x7D:  # EMPTY_DICT
                made = self.new_dict(start)
                # The package's own vocabulary: the top-level dict's entry "global_dict".
                if isinstance(made, _CountedDict) and self.wanted is not None and stack[-1:] == ["global_dict"] \
                        and stack[:1] == [self.top] and len(self.marks) <= 1:
                    made.collect = True
                stack.append(made)
                if self.stop == "vocabulary" and stack[-2:-1] == ["global_dict"]:
                    self.vocabulary_start = start
                    return self.pending_top()
            elif op == 0x64:  # DICT
                pairs = self.pop_mark()
                made = self.new_dict(start)
                self.set_items(made, pairs)
                stack.append(made)
            elif op == 0x5D:  # EMPTY_LIST
                stack.append([])
            elif op == 0x6C:  # LIST
                stack.append(self.pop_mark())
            elif op == 0x61:  # APPEND
                item = self.pop()
                self.list_target().append(item)
            elif op == 0x65:  # APPENDS
                items = self.pop_mark()
                self.list_target().extend(items)
            elif op in (0x43, 0x42, 0x8E, 0x96):  # SHORT_BINBYTES, BINBYTES, BINBYTES8, BYTEARRAY8
                stack.append(self.byte_string({0x43: 1, 0x42: 4, 0x8E: 8, 0x96: 8}[op]))
                if self.stop == "compressed" and stack[-2:-1] == ["compressed"]:
                    return self.pending_top()
            elif op == 0x95:  # FRAME
                # The unpickler reads a whole frame at once, into memory of the size it declares.
                if self.length(8) > self.size - self.offset():
                    raise PackageDamage("it ends early")
            elif op == 0x80:  # PROTO
                self.skip(1)
            elif op in (0x71, 0x72):  # BINPUT, LONG_BINPUT
                index = self.length(1 if op == 0x71 else 4)
                # A pickler numbers memo entries from 0, one byte at least apiece; the unpickler
                # would reserve room up to any index it is given.
                if not stack or index >= self.size:
                    raise self.unreadable()
                self.memo[index] = stack[-1]
            elif op in (0x68, 0x6A):  # BINGET, LONG_BINGET
                index = self.length(1 if op == 0x68 else 4)
                stack.append(self.memo.get(index, _Opaque("memo")))
            elif op == 0x29:  # EMPTY_TUPLE
                stack.append(())
            elif op in (0x85, 0x86, 0x87):  # TUPLE1, TUPLE2, TUPLE3
                count = op - 0x84
                items = [self.pop() for _ in range(count)][::-1]
                stack.append(tuple(items))
            elif op == 0x74:  # TUPLE
                stack.append(tuple(self.pop_mark()))
            elif op == 0x4E:  # NONE
                stack.append(None)
            elif op in (0x88, 0x89):  # NEWTRUE, NEWFALSE
                stack.append(op == 0x88)
            elif op in (0x70, 0x67, 0x49, 0x4C, 0x56):  # PUT, GET, INT, LONG, UNICODE
                self.text_opcode(op)
            elif op == 0x30:  # POP
                if len(stack) > (self.marks[-1] if self.marks else 0):
                    stack.pop()
                elif self.marks:
                    self.marks.pop()
                else:
                    raise self.unreadable()
            elif op == 0x2E:  # STOP
                if len(stack) != 1 or self.marks or not isinstance(stack[0], dict):
                    raise PackageDamage("it holds something else than a dict")
                self.end = self.offset()
                return stack[0]
            elif op in _OTHER_OPCODES:
                raise Unsupported(f"opcode {bytes([op])!r} at byte {start:,}")
            else:
                self.pos -= 1
                raise self.unreadable()

    def text_opcode(self, op: int) -> None:
        argument = self.line()
        try:
            if op == 0x70:  # PUT
                if not self.stack or int(argument) >= self.size:
                    raise ValueError
                self.memo[int(argument)] = self.stack[-1]
            elif op == 0x67:  # GET
                self.stack.append(self.memo.get(int(argument), _Opaque("memo")))
            elif op == 0x49:  # INT
                self.stack.append({b"00": False, b"01": True}.get(argument) if argument in (b"00", b"01")
                                  else int(argument))
            elif op == 0x4C:  # LONG
                self.stack.append(int(argument.rstrip(b"L")))
            else:  # UNICODE
                self.stack.append(argument.decode("raw-unicode-escape"))
        except (ValueError, UnicodeDecodeError):
            raise self.unreadable() from None

    def pending_top(self) -> dict:
        """The top-level dict with the entries pickled so far, those still on the stack included."""
        top = dict(self.top or {})
        if self.marks and self.stack[:1] == [self.top]:
            pending = self.stack[self.marks[-1]:]
            top.update((key, value) for key, value in zip(pending[::2], pending[1::2])
                       if isinstance(key, str))
        return top

    def pop_target(self) -> object:
        if not self.stack:
            raise self.unreadable()
        return self.stack[-1]

    def list_target(self) -> list:
        target = self.pop_target()
        if not isinstance(target, list):
            raise self.unreadable()
        return target


# Opcodes a pickler may write that this walk leaves to the unpickler.
_OTHER_OPCODES = frozenset(b"cFGSTUVRbio\x81\x82\x83\x84\x8f\x90\x91\x92\x93\x97\x98") - {0x56}

_ENTRY_WORDS = {"compressed": "compressed stream", "file_boundaries": "file boundaries",
                "filenames": "file names"}


def walk(path: str, stop: str | None = None, wanted: set[int] | None = None) -> PackageLayout:
    """The layout of the package at `path`. With `stop` "vocabulary" the walk ends where the
    vocabulary begins (its start is then the vocabulary's `start`, and its entries are not
    counted); with "compressed", right after the compressed stream. With `wanted`, the tokens of
    those ids are found in the vocabulary (`tokens`). Raises PackageDamage or Unsupported."""
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        walker = _Walk(f, size, stop, wanted)
        top = walker.run()
        layout = PackageLayout(size, keys=list(top), end=walker.end, tokens=walker.found)
        manifest = top.get("qvc_manifest")
        if isinstance(manifest, tuple) and len(manifest) == 2 and isinstance(manifest[0], _Bytes):
            layout.manifest = Span(manifest[0].start, manifest[0].length)
        compressed = top.get("compressed")
        boundaries = top.get("file_boundaries")
        names = top.get("filenames")
        if stop is not None:
            if walker.vocabulary_start is not None:
                layout.vocabulary = VocabularyPlace(0, walker.vocabulary_start, walker.vocabulary_start)
        else:
            for key in ("compressed", "file_boundaries", "filenames"):
                if key not in top:
                    raise PackageDamage(f"it has no {_ENTRY_WORDS[key]}")
            vocabulary = top.get("global_dict")
            if isinstance(vocabulary, _CountedDict):
                layout.vocabulary = VocabularyPlace(vocabulary.entries, vocabulary.start, vocabulary.end)
            elif vocabulary is not None:
                raise PackageDamage("its vocabulary is not a dict")
        if compressed is not None:
            if not isinstance(compressed, _Bytes):
                raise PackageDamage("its compressed stream is not a byte string")
            layout.compressed = Span(compressed.start, compressed.length)
        if boundaries is not None:
            if not isinstance(boundaries, list) or not all(type(b) is int for b in boundaries):
                raise PackageDamage("its file boundaries are not a list of numbers")
            layout.boundaries = boundaries
        if names is not None:
            if not isinstance(names, list):
                raise PackageDamage("its file names are not a list")
            layout.names = names
        return layout


def stream_size(path: str, layout: PackageLayout) -> int | None:
    """The token stream's size as the frame header of the compressed stream states it."""
    header = layout.compressed_header
    if header is None:
        if layout.compressed is None:
            return None
        with open(path, "rb") as f:
            f.seek(layout.compressed.start)
            header = f.read(min(FRAME_HEADER_BYTES, layout.compressed.length))
    return stream_size_of(header)


def token_counts(boundaries: list[int], files: int) -> list[int]:
    """Each file's number of tokens, as the decoder slices the stream."""
    counts, start = [], 0
    for boundary in boundaries[:files]:
        counts.append(max(boundary - start, 0))
        start = boundary
    return counts


def facts_of_written_package(path: str, vocabulary_entries: int) -> tuple[list[int] | None, VocabularyPlace | None]:
    """Each file's token count and the vocabulary's place in a package the library has just
    written, for its manifest, found by walking only the stream's head: the vocabulary is the
    last entry, so it ends where the package's dict does (before a frame header, if the pickler
    began a frame for the last two opcodes). None for what cannot be told that way."""
    try:
        layout = walk(path, stop="vocabulary")
    except (PackageDamage, Unsupported):
        return None, None
    counts = None
    if layout.boundaries is not None and layout.names is not None:
        counts = token_counts(layout.boundaries, len(layout.names))
    if layout.vocabulary is None or layout.keys[-1:] != ["global_dict"]:
        return counts, None
    with open(path, "rb") as f:
        f.seek(max(layout.size - 11, 0))
        tail = f.read()
    if not tail.endswith(b"u."):
        return counts, None
    end = layout.size - 2
    if tail[:1] == b"\x95" and int.from_bytes(tail[1:9], "little") == 2:
        end = layout.size - 11
    return counts, VocabularyPlace(vocabulary_entries, layout.vocabulary.start, end)


# -- the first key: what kind of dict a pickle holds ----------------------------------------

_STRINGS = {"UNICODE", "BINUNICODE", "SHORT_BINUNICODE", "BINUNICODE8",
            "STRING", "BINSTRING", "SHORT_BINSTRING"}
_BEFORE_CONTENT = {"PROTO", "FRAME", "MARK", "PUT", "BINPUT", "LONG_BINPUT", "MEMOIZE"}


class NotADict(ValueError):
    """The stream does not begin as a pickle of a dict."""


def first_key(head: bytes) -> str | None:
    """The first key of the dict a pickle stream begins with; None for an empty dict. Raises
    NotADict, or ValueError saying what is wrong with the dict."""
    opened = False
    opcodes = pickletools.genops(io.BytesIO(head))
    while True:
        try:
            opcode, argument, _ = next(opcodes)
        except (ValueError, StopIteration):  # not an opcode, or the head ends
            if opened:
                raise ValueError("it ends early") from None
            raise NotADict from None
        if opcode.name in _BEFORE_CONTENT:
            continue
        if not opened:
            if opcode.name not in ("EMPTY_DICT", "DICT"):
                raise NotADict
            opened = True
        elif opcode.name in _STRINGS:
            return str(argument)
        elif opcode.name == "STOP":
            return None
        else:
            raise ValueError("it holds a dict whose first key is not a string")


# -- the restricted unpickler ---------------------------------------------------------------


def _encode_latin1(text, encoding):
    if type(text) is str and encoding in ("latin1", "latin-1"):
        return text.encode("latin-1")
    raise pickle.UnpicklingError("_codecs.encode is only allowed to rebuild a byte string")


def _bytes(*args):
    if not args:
        return b""
    if len(args) == 1 and type(args[0]) is bytes:
        return args[0]
    raise pickle.UnpicklingError("bytes is only allowed to rebuild a byte string")


class _PackageUnpickler(pickle.Unpickler):
    def find_class(self, module: str, name: str):
        if (module, name) == ("_codecs", "encode"):
            return _encode_latin1
        if module in ("builtins", "__builtin__") and name == "bytes":
            return _bytes
        raise pickle.UnpicklingError(f"global '{module}.{name}' is forbidden in a package")


_MEMO_PUTS = {"PUT", "BINPUT", "LONG_BINPUT"}
_UNPICKLING_ERRORS = (pickle.UnpicklingError, EOFError, ValueError, TypeError, IndexError, KeyError)


def _check_declared_sizes(data: bytes) -> None:
    """Walks the opcodes without building anything: a length beyond the stream ends the walk
    with ValueError, and a pickler numbers memo entries from 0, one byte at least apiece."""
    for opcode, argument, _ in pickletools.genops(data):
        if opcode.name in _MEMO_PUTS and int(argument) >= len(data):
            raise ValueError(f"memo index {argument} out of range for a stream of this size")


def restricted_loads(data: bytes, what: str = "package", whole: bool = False):
    """The object pickled in `data`, unpickled as safely as a package: no global beyond those
    byte strings need, no declared size beyond the data. With `whole`, nothing may follow."""
    stream = io.BytesIO(data)
    try:
        _check_declared_sizes(data)
        value = _PackageUnpickler(stream).load()
    except UnicodeDecodeError:  # an old pickle's byte string where text belongs
        raise PackageError(f"not a {what}: it holds bytes that are not text where text belongs") from None
    except _UNPICKLING_ERRORS as error:
        raise PackageError(f"not a {what}: {error}") from None
    if whole and stream.tell() != len(data):
        raise PackageError(f"not a {what}: data follows its end")
    return value


# -- the package as the decoder reads it ----------------------------------------------------


@dataclass
class LoadedPackage:
    """The first pickle of a package file, unpickled, with what the decoder makes of it."""

    names: list
    file_spans: list[tuple[int, int]]  # each file's tokens [start, end), as the decoder slices them
    token_count: int
    compressed: bytes
    inverse: dict | list  # token id to token text, built as the decoder builds it: a dict, or
    # where every id is a small non-negative int, a list indexed by id ("<UNK>" in the gaps)
    manifest_entry: object  # the "qvc_manifest" entry, None when there is none
    extra_entries: dict  # entries no reader knows
    end: int  # where the pickle ends in the file
    size: int  # of the file: anything from `end` on is trailing data

    @property
    def trailing_bytes(self) -> int:
        return self.size - self.end


def _int32(value: object, what: str) -> int:
    if type(value) is not int and type(value) is not bool:
        raise PackageDamage(f"{what} {value!r} is not a number")
    if not -2**31 <= value < 2**31:
        raise PackageDamage(f"{what} {value:,} is out of range")
    return int(value)


def _checked_entries(package: dict) -> tuple[bytes, list, list]:
    """The compressed stream, the file boundaries and the file names, as every reader needs them."""
    for key, words in (("compressed", "compressed stream"), ("file_boundaries", "file boundaries"),
                       ("filenames", "file names")):
        if key not in package:
            raise PackageDamage(f"it has no {words}")
    compressed = package["compressed"]
    if not isinstance(compressed, (bytes, bytearray, Span)):
        raise PackageDamage("its compressed stream is not a byte string")
    boundaries, names = package["file_boundaries"], package["filenames"]
    if type(boundaries) is not list:
        raise PackageDamage("its file boundaries are not a list of numbers")
    if type(names) is not list:
        raise PackageDamage("its file names are not a list")
    if len(names) != len(boundaries):
        raise PackageDamage(f"it has {len(names):,} file names but {len(boundaries):,} file boundaries")
    for name in names:
        if type(name) is not str:
            raise PackageDamage(f"a file name is not text: {name!r}")
    return compressed, boundaries, names


def load_part(path: str, choose: Callable[[list[str]], list[int]]) -> tuple[LoadedPackage, list[int]]:
    """The package at `path`, read for a few of its files only: those `choose(names)` numbers.
    Their ids are read from the stream first, and only their tokens are taken from the
    vocabulary, found by a walk of the pickle: nothing of the rest is built, which is most of
    the cost of reading a package. The result decodes those files only. Unsupported when the
    pickle is not one the walk follows that way, or the files hold a large part of the stream."""
    head = walk(path, stop="vocabulary")
    top = {"compressed": head.compressed, "file_boundaries": head.boundaries, "filenames": head.names}
    _, boundaries, names = _checked_entries({key: value for key, value in top.items() if value is not None})
    with open(path, "rb") as f:
        f.seek(head.compressed.start)
        compressed = f.read(head.compressed.length)
    token_count = stream_size_of(compressed[:FRAME_HEADER_BYTES]) // 4
    spans = file_spans(boundaries, names, token_count)
    numbers = choose(names)
    if sum(spans[n][1] - spans[n][0] for n in numbers) > token_count // 4:
        raise Unsupported("the files chosen hold much of the stream")
    part = LoadedPackage(names, spans, token_count, compressed, {}, None, {}, 0, 0)
    stream, wanted = TokenStream(part), set()
    try:
        for number in numbers:
            for ids in stream.ids(*spans[number]):
                wanted.update(ids)
    finally:
        stream.close()
    layout = walk(path, wanted=wanted)
    if layout.vocabulary is None and "global_dict" in layout.keys:
        raise Unsupported("a vocabulary the walk does not follow")
    part.inverse = _inverse({token: token_id for token_id, token in layout.tokens.items()})
    if layout.manifest is not None:
        with open(path, "rb") as f:
            f.seek(layout.manifest.start)
            payload = f.read(layout.manifest.length)
        part.manifest_entry = (payload, len(payload))
    part.end, part.size = layout.end, layout.size
    return part, numbers


def file_spans(boundaries: list, names: list, token_count: int) -> list[tuple[int, int]]:
    """Each file's tokens as the decoder takes them: from the previous boundary to its own, under
    a list slice's rules (a negative boundary counts from the end, bounds are clamped)."""
    spans, start = [], 0
    for boundary, _ in zip(boundaries, names):
        stop = _int32(boundary, "file boundary")
        first, last, _ = slice(start, stop).indices(token_count)
        spans.append((first, max(first, last)))
        start = stop
    return spans


def load(path: str) -> LoadedPackage:
    """The package at `path` as the library's decoder reads it: its first pickle. The file is
    walked first, which vouches for every size and memo index the pickle declares (a pickle the
    walk does not follow has them checked opcode by opcode). Raises PackageDamage."""
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        try:
            walk(path)
        except Unsupported:
            try:
                _check_declared_sizes(f.read())
            except _UNPICKLING_ERRORS as error:
                raise PackageDamage(f"it cannot be read: {error}") from None
            f.seek(0)
        try:
            package = _PackageUnpickler(f).load()
        except UnicodeDecodeError:
            raise PackageDamage("it holds a string that is not valid text") from None
        except _UNPICKLING_ERRORS as error:
            raise PackageDamage(f"it cannot be read: {error}") from None
        end = f.tell()
    if type(package) is not dict:
        raise PackageDamage("it holds something else than a dict")
    compressed, boundaries, names = _checked_entries(package)
    vocabulary = package.get("global_dict", {})
    if type(vocabulary) is not dict:
        raise PackageDamage("its vocabulary is not a dict")
    inverse = _inverse(vocabulary)
    del vocabulary
    package.pop("global_dict", None)
    stream_bytes = stream_size_of(bytes(compressed[:FRAME_HEADER_BYTES]))
    token_count = stream_bytes // 4
    extra = {key: value for key, value in package.items() if key not in PACKAGE_KEYS}
    return LoadedPackage(names, file_spans(boundaries, names, token_count), token_count, compressed, inverse,
                         package.get("qvc_manifest"), extra, end, size)


def _inverse(vocabulary: dict) -> dict | list:
    """Token id to token text, the later of two tokens of one id winning, as the decoder has it.
    A list where the ids allow one: it takes a fraction of a dict's memory and is read faster."""
    ids = vocabulary.values()
    if all(type(token_id) is int for token_id in ids) and \
            (not ids or 0 <= min(ids) and max(ids) < 4 * len(ids) + 1024):
        table = [_UNKNOWN] * (max(ids, default=-1) + 1)
        for token, token_id in vocabulary.items():
            table[token_id] = token
        return table
    try:
        return {token_id: token for token, token_id in vocabulary.items()}
    except TypeError:
        raise PackageDamage("its vocabulary holds an id that is not a number") from None


def stream_size_of(header: bytes) -> int:
    """The token stream's size as the compressed stream's frame header states it."""
    try:
        size = zstandard.frame_content_size(header)
    except zstandard.ZstdError:
        raise PackageDamage("its compressed stream is unreadable") from None
    if size < 0:
        raise PackageDamage("its compressed stream does not state its size")
    if size > MAX_STREAM_BYTES:
        raise PackageDamage(f"its compressed stream claims {size:,} bytes, more than a package holds")
    return size


# Ids read in one piece: 4 MiB of stream, a few tens of MiB of text at most.
PIECE_TOKENS = 1 << 20
_UNKNOWN = "<UNK>"
_SMALL_BYTES = bytes(range(0x80))


def _text(ids: array, inverse: dict | list) -> str:
    if type(inverse) is list:
        try:
            return "".join(map(inverse.__getitem__, ids))
        except IndexError:  # an id beyond the vocabulary
            return "".join([inverse[i] if i < len(inverse) else _UNKNOWN for i in ids])
    return "".join(map(inverse.get, ids, itertools.repeat(_UNKNOWN)))


class TokenStream:
    """The token stream of a loaded package, decompressed as far as it is read."""

    def __init__(self, package: LoadedPackage) -> None:
        self._package = package
        self._reader = None
        self._position = 0  # in tokens

    def _rewind(self) -> None:
        self.close()
        self._reader = zstandard.ZstdDecompressor().stream_reader(self._package.compressed,
                                                                    read_across_frames=False)
        self._position = 0

    def close(self) -> None:
        if self._reader is not None:
            self._reader.close()
            self._reader = None

    def _read(self, count: int) -> bytes:
        pieces, wanted = [], count
        while wanted:
            try:
                piece = self._reader.read(wanted)
            except zstandard.ZstdError:
                raise PackageDamage("its compressed stream cannot be decompressed") from None
            if not piece:
                raise PackageDamage("its compressed stream ends before the size it states")
            pieces.append(piece)
            wanted -= len(piece)
        return pieces[0] if len(pieces) == 1 else b"".join(pieces)

    def _ids(self, count: int) -> array:
        data = self._read(4 * count)
        self._position += count
        if data[0::4].translate(None, _SMALL_BYTES):
            raise PackageDamage("its token stream holds an id out of range")
        ids = array("I", data)
        if sys.byteorder == "little":
            ids.byteswap()
        return ids

    def ids(self, start: int, end: int) -> Iterator[array]:
        """The ids of tokens `start` to `end` (exclusive), in pieces."""
        if self._reader is None or start < self._position:
            self._rewind()
        while self._position < start:
            count = min(PIECE_TOKENS, start - self._position)
            self._read(4 * count)
            self._position += count
        while self._position < end:
            yield self._ids(min(PIECE_TOKENS, end - self._position))

    def texts(self, start: int, end: int) -> Iterator[bytes]:
        """The text of tokens `start` to `end` (exclusive), UTF-8 encoded, in pieces."""
        inverse = self._package.inverse
        for ids in self.ids(start, end):
            try:
                yield _text(ids, inverse).encode("utf-8")
            except TypeError:
                raise PackageDamage("its vocabulary maps an id to something other than text") from None
            except UnicodeEncodeError:
                raise PackageDamage("its vocabulary holds text that cannot be written as UTF-8") from None

    def finish(self) -> None:
        """Reads the rest of the stream: a stream damaged past the last file read still fails, as
        the library's decoder, which decodes all of it first, would."""
        if self._reader is None:
            self._rewind()
        while self._position < self._package.token_count:
            self._ids(min(PIECE_TOKENS, self._package.token_count - self._position))
        rest = 0
        try:
            # Up to the frame's end, where its checksum, if any, is verified.
            while piece := self._reader.read(CHUNK):
                rest += len(piece)
        except zstandard.ZstdError:
            raise PackageDamage("its compressed stream cannot be decompressed") from None
        if rest >= 4:
            raise PackageDamage("its compressed stream holds more than the size it states")
        self.close()
