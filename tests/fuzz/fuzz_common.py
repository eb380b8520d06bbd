"""What the fuzz targets share: the exception types an input may legitimately cause, and the
way they turn fuzzer input into a plausible but damaged pickle stream."""

import os
import pickle
import threading

import zstandard

# The interpreter's own errors for malformed input (including what the unpickler raises for a
# damaged stream), the binding's, and our refusals. MemoryError, SystemError and anything else
# is a bug: no small input may exhaust memory or reach an inconsistent state.
EXPECTED_ERRORS = (
    pickle.UnpicklingError,
    EOFError,
    ValueError,  # includes UnicodeDecodeError / UnicodeEncodeError
    TypeError,
    KeyError,
    AttributeError,
    OverflowError,
    IndexError,
    zstandard.ZstdError,
    OSError,
)


def damaged_pickle(fdp, obj) -> bytes:
    """`obj` pickled under a protocol the input picks, with up to three bytes changed, so that
    mutations reach the unpickler past its first opcodes."""
    data = bytearray(pickle.dumps(obj, protocol=fdp.ConsumeIntInRange(0, pickle.HIGHEST_PROTOCOL)))
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        if data:
            data[fdp.ConsumeIntInRange(0, len(data) - 1)] = fdp.ConsumeIntInRange(0, 255)
    return bytes(data)


class Delivery:
    """Hands fuzzer content to a reader through a regular file or, to reach the reading of a
    stream whose size is unknown, through a FIFO that a thread writes it into."""

    def __init__(self, directory: str, name: str):
        self.file = os.path.join(directory, name)
        self.fifo = os.path.join(directory, name + ".fifo")
        os.mkfifo(self.fifo)
        self.writer = None

    def path(self, content: bytes, through_pipe: bool) -> str:
        if not through_pipe:
            with open(self.file, "wb") as f:
                f.write(content)
            return self.file

        def write():
            try:
                with open(self.fifo, "wb") as f:
                    f.write(content)
            except BrokenPipeError:
                pass  # the reader stopped at the stream's end and closed its side

        self.writer = threading.Thread(target=write)
        self.writer.start()
        return self.fifo

    def done(self) -> None:
        """Waits for the writer, opening the FIFO's reading side should the reader not have."""
        if self.writer is None:
            return
        while self.writer.is_alive():
            try:
                fd = os.open(self.fifo, os.O_RDONLY | os.O_NONBLOCK)
            except OSError:
                break
            try:
                while os.read(fd, 1 << 16):
                    pass
            except BlockingIOError:
                pass
            finally:
                os.close(fd)
            self.writer.join(0.01)
        self.writer.join()
        self.writer = None
