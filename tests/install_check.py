"""Installing as a user would, run by `make test-wheel` after `make wheel`:

- every module wheel in dist/ installs, with the command line's wheel, into a fresh virtual
  environment whose PATH reaches no compiler, and packs and restores files there;
- the module and the command line build and install from a read-only copy of the checkout,
  without writing into it.
"""

import os
import shutil
import stat
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
DIST = ROOT / "dist"
VERSIONS = ["3.11", "3.12", "3.13"]
BUILD_TOOLS = ["gcc", "g++", "cc", "c++", "clang", "clang++", "cmake", "ninja", "make"]

# Run inside the new environment: a round trip through the module itself and through `qvc`.
ROUND_TRIP = textwrap.dedent(
    """
    import filecmp, os, shutil, subprocess, sys
    import qvc_compressor
    from qvc_compressor import QVCompressor

    prefix = os.path.realpath(sys.prefix)
    assert os.path.realpath(qvc_compressor.__file__).startswith(prefix), qvc_compressor.__file__
    os.makedirs("texts")
    texts = {"one.md": "to be,  or not\\n", "zwei.txt": "Grüße, 世界\\tand\\u00a0more\\n" * 500,
             "empty.txt": ""}
    for name, text in texts.items():
        with open(os.path.join("texts", name), "w", encoding="utf-8", newline="") as f:
            f.write(text)
    paths = [os.path.join("texts", name) for name in texts]

    compressor = QVCompressor("vocab.bin")
    assert compressor.encode_files(paths, "texts.qvc") > 0
    compressor.save_dict()
    restorer = QVCompressor("vocab.bin")
    assert restorer.decode_package("texts.qvc", "restored") == list(texts)
    for name, text in texts.items():
        with open(os.path.join("restored", name), encoding="utf-8", newline="") as f:
            assert f.read() == text, name
    assert restorer.detokenize(restorer.tokenize(texts["zwei.txt"])) == texts["zwei.txt"]

    qvc = shutil.which("qvc")
    assert qvc and os.path.realpath(qvc).startswith(prefix), qvc
    subprocess.run([qvc, "pack", "cli.qvc", "texts"], check=True, capture_output=True)
    subprocess.run([qvc, "unpack", "cli.qvc", "-o", "unpacked"], check=True, capture_output=True)
    subprocess.run([qvc, "check", "cli.qvc"], check=True, capture_output=True)
    match, mismatch, errors = filecmp.cmpfiles("texts", os.path.join("unpacked", "texts"), list(texts),
                                               shallow=False)
    assert sorted(match) == sorted(texts), (mismatch, errors)
    print(subprocess.run([qvc, "--version"], check=True, capture_output=True, text=True).stdout)
    """
)


def interpreter(version: str) -> str | None:
    found = subprocess.run([ROOT / "tools" / "find-python", version], capture_output=True, text=True)
    return found.stdout.strip() if found.returncode == 0 else None


def fresh_venv(python: str, directory: Path) -> tuple[Path, dict[str, str]]:
    """A new virtual environment, and an environment for processes in it whose PATH holds the
    venv's own commands and nothing else."""
    subprocess.run([python, "-m", "venv", directory], check=True)
    env = {k: v for k, v in os.environ.items() if k not in ("CC", "CXX", "CMAKE", "LD_PRELOAD")}
    env["PATH"] = str(directory / "bin")
    env.pop("PYTHONPATH", None)
    return directory / "bin" / "python", env


def run(args, env, cwd, timeout=900) -> subprocess.CompletedProcess:
    result = subprocess.run(args, env=env, cwd=cwd, capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, f"{args}\n{result.stdout}\n{result.stderr}"
    return result


def project_version() -> str:
    for line in (ROOT / "pyproject.toml").read_text().splitlines():
        if line.startswith("version = "):
            return line.split('"')[1]
    raise AssertionError("pyproject.toml names no version")


def module_wheels() -> list[Path]:
    return sorted(DIST.glob("qvc_compressor-*.whl"))


def cli_wheel() -> Path:
    wheels = list(DIST.glob("qvc_cli-*-py3-none-any.whl"))
    assert len(wheels) == 1, f"expected one pure qvc-cli wheel in {DIST}, found {wheels}"
    return wheels[0]


def test_dist_holds_a_manylinux_wheel_for_every_interpreter_here():
    available = {v.replace(".", "") for v in VERSIONS if interpreter(v)}
    tags = {}
    for wheel in module_wheels():
        _, _, python_tag, abi_tag, platform_tag = wheel.stem.split("-")
        assert python_tag == abi_tag and platform_tag.startswith("manylinux_"), wheel.name
        tags[python_tag.removeprefix("cp")] = wheel
    assert set(tags) == available
    for wheel in tags.values():
        names = zipfile.ZipFile(wheel).namelist()
        assert "qvc_compressor-stubs/__init__.pyi" in names
        assert not any(n.endswith((".cpp", ".hpp")) for n in names)
    cli_wheel()


@pytest.mark.parametrize("wheel", module_wheels(), ids=lambda w: w.name.split("-")[2])
def test_wheel_installs_and_runs_where_no_compiler_is_reachable(wheel, tmp_path):
    version = wheel.name.split("-")[2].removeprefix("cp")
    python = interpreter(f"{version[0]}.{version[1:]}")
    assert python, f"no interpreter for {wheel.name}"
    venv_python, env = fresh_venv(python, tmp_path / "venv")

    probe = "import shutil, sys; print(' '.join(t for t in sys.argv[1:] if shutil.which(t)))"
    assert run([venv_python, "-c", probe, *BUILD_TOOLS], env, tmp_path).stdout.strip() == ""

    # Binary distributions only: nothing may be built here, with or without a compiler.
    run([venv_python, "-m", "pip", "install", "--quiet", "--only-binary=:all:", wheel, cli_wheel()],
        env, tmp_path)
    work = tmp_path / "work"
    work.mkdir()
    printed = run([venv_python, "-c", ROUND_TRIP], env, work).stdout
    assert printed.strip() == f"qvc {project_version()}"


def snapshot(root: Path) -> dict[str, tuple]:
    """Every file and directory below `root`, with what a write would change."""
    entries = {}
    for directory, subdirs, files in os.walk(root):
        for name in subdirs + files:
            path = Path(directory, name)
            info = path.lstat()
            entries[str(path.relative_to(root))] = (info.st_mode, info.st_size, info.st_mtime_ns)
    return entries


def set_writable(root: Path, writable: bool) -> None:
    for directory, subdirs, files in os.walk(root):
        for path in [Path(directory)] + [Path(directory, n) for n in files]:
            mode = path.lstat().st_mode
            if not stat.S_ISLNK(mode):
                bits = stat.S_IWUSR if writable else 0
                path.chmod((mode & ~(stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH)) | bits)


@pytest.fixture
def read_only_checkout(tmp_path):
    """The checkout's files, as git would check them out, with no write permission anywhere."""
    listed = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=ROOT, capture_output=True, check=True,
    ).stdout.decode().split("\0")
    copy = tmp_path / "checkout"
    for name in filter(None, listed):
        source = ROOT / name
        if source.is_file():
            (copy / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, copy / name)
    set_writable(copy, False)
    yield copy
    set_writable(copy, True)


def test_module_and_command_line_install_from_a_read_only_checkout(read_only_checkout, tmp_path):
    before = snapshot(read_only_checkout)
    venv_python, env = fresh_venv(sys.executable, tmp_path / "venv")
    env["PATH"] += os.pathsep + os.environ["PATH"]  # this build needs the compiler
    for source in (read_only_checkout, read_only_checkout / "cli"):
        run([venv_python, "-m", "pip", "install", "--quiet", source], env, tmp_path)
    work = tmp_path / "work"
    work.mkdir()
    printed = run([venv_python, "-c", ROUND_TRIP], env, work).stdout
    assert printed.strip() == f"qvc {project_version()}"
    # Privileged users write through missing permissions, so compare the tree itself as well.
    assert snapshot(read_only_checkout) == before
