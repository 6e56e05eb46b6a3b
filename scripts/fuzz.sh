#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang in build-fuzz/ and runs each for SECONDS
# (default 60) on a corpus seeded from the repository's own files. Exits non-zero when any
# target crashes or finds a property broken; the input is kept in build-fuzz/crashes/.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# FUZZ_SANITIZERS=address,undefined (the default) or "" for coverage alone, several times
# faster, for long runs; FUZZ_ARGS adds libFuzzer options (e.g. -runs=10000000).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true

bash scripts/deps.sh

sanitizers=${FUZZ_SANITIZERS-address,undefined}
dir=build-fuzz
[ -z "$sanitizers" ] && dir=build-fuzz-plain
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DTARN_FUZZ=ON -DTARN_FUZZ_SANITIZERS="$sanitizers" "${launcher[@]}" >/dev/null
cmake --build "$dir" --target fuzz -j "$(nproc)"

# Seeds: the files of fuzz/corpus/TARGET, the inputs of earlier findings in
# fuzz/crashes/TARGET-*, and the repository's own files of each format.
shopt -s nullglob
seed() {
    local target=$1
    shift
    mkdir -p "$dir/corpus/$target"
    local files=(fuzz/corpus/"$target"/* fuzz/crashes/"$target"-* "$@")
    [ ${#files[@]} -eq 0 ] || cp -f "${files[@]}" "$dir/corpus/$target/"
}
seed fuzz_store etc/isprops.xml tests/data/*.xml
seed fuzz_coefficientfile docs/coefficients/*
seed fuzz_frame
seed fuzz_listanswer
seed fuzz_modelparams
seed fuzz_hostproject examples/*.json
seed fuzz_coverage
# Each shapefile of the demo data as one input: the .shp and .shx sizes, then the three parts.
mkdir -p "$dir/corpus/fuzz_shapefile"
python3 - "$dir/corpus/fuzz_shapefile" examples/demo-data/*.shp <<'EOF'
import os, struct, sys
for shp in sys.argv[2:]:
    base = shp[:-4]
    parts = [open(base + suffix, "rb").read() for suffix in (".shp", ".shx", ".dbf")]
    with open(os.path.join(sys.argv[1], os.path.basename(base)), "wb") as out:
        out.write(struct.pack("<II", len(parts[0]), len(parts[1])) + b"".join(parts))
EOF

targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_store fuzz_coefficientfile fuzz_frame fuzz_listanswer
                                     fuzz_modelparams fuzz_hostproject fuzz_shapefile
                                     fuzz_coverage)
mkdir -p "$dir/crashes"
failed=()
for target in "${targets[@]}"; do
    echo "== $target: $seconds s =="
    # shellcheck disable=SC2086
    if ! ASAN_OPTIONS=detect_leaks=1 \
         LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0 \
         UBSAN_OPTIONS=print_stacktrace=1 QT_LOGGING_RULES='*.warning=false' \
         "$dir/fuzz/$target" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
             -artifact_prefix="$dir/crashes/$target-" ${FUZZ_ARGS:-} "$dir/corpus/$target" \
             >"$dir/$target.log" 2>&1; then
        tail -n 60 "$dir/$target.log"
        failed+=("$target")
    fi
    grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::average_exec_per_sec)' \
        "$dir/$target.log" || true
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing found faults in: ${failed[*]} (inputs in $dir/crashes/)"
    exit 1
fi
echo "fuzzing: no crash in ${#targets[@]} targets"
