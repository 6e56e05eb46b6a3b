#!/usr/bin/env bash
# Checks the C++ format, builds TARN from scratch and runs the whole test suite twice: a normal build, then one
# under AddressSanitizer and UndefinedBehaviorSanitizer; then builds the Debian package from the first and
# checks it; then each fuzz target briefly.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

# The format is part of the test: every C++ file as .clang-format has it.
find . \( -path './build*' -o -path ./.git \) -prune -o \( -name '*.cpp' -o -name '*.h' \) -print0 |
    xargs -0 clang-format --dry-run --Werror

jobs=$(nproc)
for variant in test asan; do
    dir="build-$variant"
    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_WERROR=ON)
    [ "$variant" = asan ] && flags=(-DCMAKE_BUILD_TYPE=Debug -DTARN_WERROR=ON -DTARN_SANITIZE=ON)
    rm -rf "$dir"
    cmake -S . -B "$dir" -G Ninja "${flags[@]}"
    cmake --build "$dir" -j "$jobs"
    echo "== ctest ($variant) =="
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0 \
    UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir "$dir" --output-on-failure -j "$jobs"
done

# The Debian package, made from the tested build and checked without installing it.
echo "== package =="
deb=$(bash scripts/package.sh build-test | tail -n1)
bash scripts/check-package.sh "$deb"

# A short run of every fuzz target: a reader that crashes or breaks a property fails the tests.
bash scripts/fuzz.sh 20
