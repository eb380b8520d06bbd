#!/bin/sh
# Coverage-guided fuzzing of the decoder, the dictionary file reader, the tokenizer and the
# encoder's own reading of files.
# Builds the module with clang's fuzzer coverage and AddressSanitizer into a venv of its own
# (installing clang from Debian's packages when it is missing and we may), then runs each target
# for FUZZ_SECONDS. Without clang the targets still run, on the gcc AddressSanitizer build,
# with coverage of the Python side only. Any crash, sanitizer report, hang or unexpected
# exception fails the run; the input that caused it is left in build/fuzz/artifacts/.
set -eu
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET=${FUZZ_SECONDS:-60}
VENV=.venv-fuzz
mkdir -p build/fuzz/artifacts

find_clang() {
    for candidate in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
        if command -v "$candidate" >/dev/null 2>&1; then
            echo "$candidate"
            return
        fi
    done
}

CLANGXX=$(find_clang)
if [ -z "$CLANGXX" ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing clang for the fuzzing build ..." >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q clang >build/fuzz/apt.log 2>&1 || true
    CLANGXX=$(find_clang)
fi

make VENV=$VENV venv >build/fuzz/venv.log 2>&1 || { cat build/fuzz/venv.log >&2; exit 1; }
$VENV/bin/python -m pip install --quiet atheris >build/fuzz/atheris.log 2>&1 ||
    { cat build/fuzz/atheris.log >&2; exit 1; }

if [ -n "$CLANGXX" ]; then
    CLANG=$(echo "$CLANGXX" | sed 's/clang++/clang/')
    BUILD_FLAGS="-C build-dir=build/fuzz/clang -C cmake.define.QVC_FUZZ=ON"
    RUNTIME="$($VENV/bin/python -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
    export CXX=$CLANGXX CC=$CLANG
else
    echo "fuzz: no clang; fuzzing without native coverage on the gcc sanitizer build" >&2
    BUILD_FLAGS="-C build-dir=build/fuzz/gcc -C cmake.define.QVC_SANITIZE=ON"
    RUNTIME=$(${CXX:-g++} -print-file-name=libasan.so)
fi
# shellcheck disable=SC2086
$VENV/bin/python -m pip install --quiet --no-build-isolation --no-deps $BUILD_FLAGS \
    -C cmake.build-type=RelWithDebInfo . >build/fuzz/build.log 2>&1 ||
    { cat build/fuzz/build.log >&2; exit 1; }

# The targets' files live in one scratch directory, in memory where there is a tmpfs: libFuzzer
# ends the interpreter without running its exit handlers, so they cannot clean up themselves.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    QVC_FUZZ_SCRATCH=$(mktemp -d /dev/shm/qvc-fuzz-XXXXXX)
else
    QVC_FUZZ_SCRATCH=$(mktemp -d)
fi
export QVC_FUZZ_SCRATCH
trap 'rm -rf "$QVC_FUZZ_SCRATCH"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

for target in tokenizer dictionary_file decoder file_reading; do
    corpus=build/fuzz/corpus/$target
    mkdir -p "$corpus"
    echo "fuzzing $target for $SECONDS_PER_TARGET s" >&2
    (
        cd tests/fuzz
        LD_PRELOAD="$RUNTIME" ASAN_OPTIONS=detect_leaks=0 \
            "../../$VENV/bin/python" "fuzz_$target.py" \
            -max_total_time="$SECONDS_PER_TARGET" -timeout=30 -rss_limit_mb=3072 \
            -artifact_prefix=../../build/fuzz/artifacts/ -print_final_stats=1 \
            "../../$corpus" 2>"../../build/fuzz/$target.log"
    ) || { tail -40 "build/fuzz/$target.log" >&2; exit 1; }
    grep -E "stat::number_of_executed_units|DONE" "build/fuzz/$target.log" | tail -2 >&2
done
