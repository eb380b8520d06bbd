"""decode_package writes restored files on a worker thread when nobody can tell how they are
written. Every failure there must be the one the interpreter's own `open`/`write` raises, for the
same file, with the earlier files complete and no later one created; the reference for each case
is the same decode with `open` patched, which keeps every file on the interpreter's path."""

import builtins
import os
import stat
import threading
import time

import pytest

from conftest import run_python
from package_builder import package_of_texts, write_package
from qvc_compressor import QVCompressor

# Texts of several sizes and kinds of storage; the failing file is FAILING.
TEXTS = [
    ("a.txt", "alpha beta\ngamma\r\n" * 300),
    ("b.txt", "Grüße, naïve café\n" * 200),
    ("c.txt", ""),
    ("d.txt", "漢字 かな カナ 😀\n" * 500),
    ("e.txt", "tail text\n" * 50),
    ("f.txt", "last\n"),
]
FAILING = 3


def expected_texts():
    return dict(TEXTS)


def decode_both_ways(tmp_path, prepare, names=None):
    """Decodes the package into two prepared directories, once as is and once with `open`
    patched; returns, for each, (exception or None, the directory's regular files' bytes)."""
    files = list(TEXTS)
    if names is not None:
        files = [(name, text) for name, (_, text) in zip(names, TEXTS)]
    package_path = tmp_path / "package.bin"
    write_package(package_path, package_of_texts(files))
    real_open = builtins.open
    outcomes = {}
    for way in ("worker", "interpreter"):
        out = tmp_path / way
        out.mkdir()
        prepare(out)
        error = None
        try:
            if way == "interpreter":
                builtins.open = lambda *args, **kwargs: real_open(*args, **kwargs)
            QVCompressor(str(tmp_path / "absent.bin")).decode_package(str(package_path), str(out))
        except Exception as raised:  # noqa: BLE001 - compared below
            error = raised
        finally:
            builtins.open = real_open
        outcomes[way] = (error, regular_files(out))
    return outcomes


def regular_files(directory):
    found = {}
    for entry in os.scandir(directory):
        if entry.is_file(follow_symlinks=False):
            with open(entry.path, "rb") as f:
                found[entry.name] = f.read()
    return found


def same_error(worker_error, interpreter_error, out_name):
    """Type, errno, message and file name alike, the name read in the worker's directory."""
    assert type(worker_error) is type(interpreter_error)
    assert worker_error.errno == interpreter_error.errno
    assert worker_error.strerror == interpreter_error.strerror
    expected_name = interpreter_error.filename
    if expected_name is not None:
        expected_name = expected_name.replace(os.sep + "interpreter" + os.sep,
                                              os.sep + out_name + os.sep)
    assert worker_error.filename == expected_name


def earlier_files_complete(found, failing_name):
    names = [name for name, _ in TEXTS]
    for name, text in TEXTS[:FAILING]:
        assert found[name] == text.encode("utf-8")
    later = names[FAILING + 1:]
    assert not set(later) & set(found), "a file after the failing one was created"
    return found.get(failing_name)


def make_directory(out):
    (out / TEXTS[FAILING][0]).mkdir()


def make_dangling_link(out):
    os.symlink(out / "elsewhere", out / TEXTS[FAILING][0])


@pytest.mark.parametrize(
    "prepare, error_type",
    [(make_directory, IsADirectoryError), (make_dangling_link, OSError)],
    ids=["name-is-a-directory", "name-is-a-symlink"],
)
def test_an_open_failure_is_raised_as_the_interpreter_raises_it(tmp_path, prepare, error_type):
    outcomes = decode_both_ways(tmp_path, prepare)
    worker_error, worker_files = outcomes["worker"]
    interpreter_error, interpreter_files = outcomes["interpreter"]
    assert type(interpreter_error) is error_type
    same_error(worker_error, interpreter_error, "worker")
    assert str(worker_error) == str(interpreter_error).replace("interpreter", "worker")
    assert worker_files == interpreter_files
    assert earlier_files_complete(worker_files, TEXTS[FAILING][0]) is None
    assert not os.path.exists(tmp_path / "worker" / "elsewhere")


def test_an_over_long_name_fails_at_its_own_file(tmp_path):
    names = [name for name, _ in TEXTS]
    names[FAILING] = "n" * 300
    outcomes = decode_both_ways(tmp_path, lambda out: None, names)
    worker_error, worker_files = outcomes["worker"]
    interpreter_error, interpreter_files = outcomes["interpreter"]
    assert interpreter_error.errno == 36  # ENAMETOOLONG
    same_error(worker_error, interpreter_error, "worker")
    assert worker_files == interpreter_files
    assert earlier_files_complete(worker_files, names[FAILING]) is None


@pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not bind root")
def test_a_read_only_directory_fails_at_the_first_new_file(tmp_path):
    def prepare(out):
        for name, _ in TEXTS[:FAILING]:
            (out / name).write_text("old")  # writable files: truncated and rewritten
        out.chmod(stat.S_IRUSR | stat.S_IXUSR)

    try:
        outcomes = decode_both_ways(tmp_path, prepare)
    finally:
        for way in ("worker", "interpreter"):
            (tmp_path / way).chmod(stat.S_IRWXU)
    worker_error, worker_files = outcomes["worker"]
    interpreter_error, interpreter_files = outcomes["interpreter"]
    assert isinstance(interpreter_error, PermissionError)
    same_error(worker_error, interpreter_error, "worker")
    assert worker_files == interpreter_files
    earlier_files_complete(worker_files, TEXTS[FAILING][0])


def test_a_write_failure_is_raised_as_the_interpreters_write_raises_it(tmp_path):
    # A file-size limit makes the kernel refuse to write past it (EFBIG): the failing file is the
    # first longer than the limit, and everything before it fits.
    package_path = tmp_path / "package.bin"
    write_package(package_path, package_of_texts(TEXTS))
    limit = 12_000
    sizes = [len(text.encode("utf-8")) for _, text in TEXTS]
    assert max(sizes[:FAILING]) < limit < sizes[FAILING]
    result = run_python(
        f"""
        import builtins, os, resource, signal
        from qvc_compressor import QVCompressor

        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))
        real_open = builtins.open
        for way in ("worker", "interpreter"):
            out = os.path.join({str(tmp_path)!r}, way)
            if way == "interpreter":
                builtins.open = lambda *args, **kwargs: real_open(*args, **kwargs)
            try:
                QVCompressor("absent.bin").decode_package({str(package_path)!r}, out)
                print(way, "no error")
            except OSError as error:
                print(way, type(error).__name__, error.errno, error.strerror, error.filename)
            builtins.open = real_open
            print(way, sorted((n, os.path.getsize(os.path.join(out, n))) for n in os.listdir(out)))
        """,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    lines = result.stdout.splitlines()
    worker, interpreter = lines[0:2], lines[2:4]
    assert interpreter[0] == "interpreter OSError 27 File too large None"
    assert [line.split(" ", 1)[1] for line in worker] == \
        [line.split(" ", 1)[1] for line in interpreter]
    written = dict(eval(worker[1].split(" ", 1)[1]))  # noqa: S307 - our own output
    assert [written.get(name) for name, _ in TEXTS] == sizes[:FAILING] + [limit, None, None]


def tasks_of_this_process():
    return len(os.listdir("/proc/self/task"))


def test_a_fifo_is_written_once_another_thread_reads_it(tmp_path):
    received = {}

    def prepare(out):
        fifo = out / TEXTS[FAILING][0]
        os.mkfifo(fifo)

        def read_later():
            # The decode waits for this reader meanwhile, letting this thread run; count the
            # process's threads then.
            time.sleep(0.3)
            received[out.name] = tasks_of_this_process()
            with open(fifo, "rb") as f:
                received[out.name, "text"] = f.read()

        reader = threading.Thread(target=read_later)
        reader.start()
        readers.append(reader)

    readers = []
    outcomes = decode_both_ways(tmp_path, prepare)
    for reader in readers:
        reader.join()
    for way in ("worker", "interpreter"):
        error, found = outcomes[way]
        assert error is None
        assert received[way, "text"] == TEXTS[FAILING][1].encode("utf-8")
        assert {name: text.decode("utf-8") for name, text in found.items()} == {
            name: text for i, (name, text) in enumerate(TEXTS) if i != FAILING}
    # The worker's decode waited with its writing thread started.
    assert received["worker"] == received["interpreter"] + 1


def test_ctrl_c_while_the_worker_waits_for_a_fifo_reader(tmp_path):
    package_path = tmp_path / "package.bin"
    write_package(package_path, package_of_texts(TEXTS))
    out = tmp_path / "out"
    out.mkdir()
    os.mkfifo(out / TEXTS[FAILING][0])
    result = run_python(
        f"""
        import os, signal, threading, time
        from qvc_compressor import QVCompressor

        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            QVCompressor("absent.bin").decode_package({str(package_path)!r}, {str(out)!r})
            print("no error")
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - start)
        """,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    verdict, seconds = result.stdout.split()
    assert verdict == "interrupted"
    assert float(seconds) < 10  # answered, not left waiting for a reader that never comes
    found = regular_files(out)
    earlier_files_complete(found, TEXTS[FAILING][0])
    assert stat.S_ISFIFO(os.lstat(out / TEXTS[FAILING][0]).st_mode)


def test_audit_events_and_a_hook_refusing_one_file(tmp_path):
    package_path = tmp_path / "package.bin"
    write_package(package_path, package_of_texts(TEXTS))
    refused = TEXTS[FAILING][0]
    result = run_python(
        f"""
        import builtins, os, sys
        from qvc_compressor import QVCompressor

        events = []
        def hook(event, args):
            if event == "open" and args[1] == "w":
                events.append((os.path.basename(args[0]), args[2]))
                if args[0].endswith({refused!r}) and "refuse" in args[0]:
                    raise PermissionError("refused by hook")
        sys.addaudithook(hook)
        real_open = builtins.open
        for way in ("worker", "interpreter"):
            for mode in ("allow", "refuse"):
                out = os.path.join({str(tmp_path)!r}, way + "-" + mode)
                del events[:]
                if way == "interpreter":
                    builtins.open = lambda *args, **kwargs: real_open(*args, **kwargs)
                try:
                    QVCompressor("absent.bin").decode_package({str(package_path)!r}, out)
                    outcome = "ok"
                except PermissionError as error:
                    outcome = str(error)
                builtins.open = real_open
                print(way, mode, outcome, events, sorted(os.listdir(out)))
        """,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    lines = [line.split(" ", 2) for line in result.stdout.splitlines()]
    by_way = {(way, mode): rest for way, mode, rest in lines}
    names = [name for name, _ in TEXTS]
    flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC
    assert by_way["worker", "allow"] == by_way["interpreter", "allow"] == \
        f"ok {[(name, flags) for name in names]} {sorted(names)}"
    assert by_way["worker", "refuse"] == by_way["interpreter", "refuse"] == (
        f"refused by hook {[(name, flags) for name in names[:FAILING + 1]]} "
        f"{sorted(names[:FAILING])}")


def test_interpreter_exit_while_a_daemon_thread_decodes(tmp_path, monkeypatch):
    # At exit the interpreter stops a daemon thread when it next asks for the interpreter's lock.
    # A decode that gave the lock up while its files were being written would be stopped there
    # and its cleanup would run without a thread state: the process would crash or abort.
    # The stopped thread is never joined, which ThreadSanitizer would report as a leak.
    monkeypatch.setenv("TSAN_OPTIONS",
                       os.environ.get("TSAN_OPTIONS", "") + ":report_thread_leaks=0")
    files = [(f"{index:04d}.txt", f"line {index} of many words\n" * (40 + index % 200))
             for index in range(1500)]
    package_path = tmp_path / "package.bin"
    write_package(package_path, package_of_texts(files))
    for delay in (0.0, 0.002, 0.01, 0.03, 0.06, 0.1):
        result = run_python(
            f"""
            import threading, time
            from qvc_compressor import QVCompressor

            started = threading.Event()

            def decode_forever():
                compressor = QVCompressor("absent.bin")
                while True:
                    started.set()
                    compressor.decode_package({str(package_path)!r}, "out")

            threading.Thread(target=decode_forever, daemon=True).start()
            started.wait()
            time.sleep({delay})
            """,
            cwd=tmp_path,
        )
        assert result.returncode == 0, (delay, result.returncode, result.stderr[-2000:])
