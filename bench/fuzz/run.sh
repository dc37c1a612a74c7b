#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz/ and runs each for SECONDS.
#   bench/fuzz/run.sh SECONDS [HARNESS...]     HARNESS: pattern shortcut text picture metafile workeranswer
# Each harness keeps its growing corpus in build-fuzz/corpus/HARNESS (seeded with
# tests/fuzz-regressions/HARNESS and, for pictures, metafiles and shortcuts, the samples
# in ../shared/corpus when present). A failing input lands in build-fuzz/artifacts/HARNESS/;
# copy it into tests/fuzz-regressions/HARNESS/ once fixed, where the tests replay it.
# Prints executions and findings per harness at the end.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds="${1:-60}"
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -eq 0 ] && harnesses=(pattern shortcut text picture metafile workeranswer)

./scripts/install-deps.sh
# The compiler and libFuzzer's runtime come from Debian's clang.
fuzz_pkgs=(clang-14 libclang-rt-14-dev)
missing=()
for p in "${fuzz_pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DFOTARIK_FUZZ=ON -DFOTARIK_BENCH=OFF >/dev/null
targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build build-fuzz --parallel "$(nproc)" --target "${targets[@]}"

shared=../shared/corpus
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:fast_unwind_on_malloc=0"
export UBSAN_OPTIONS="print_stacktrace=1"
summary=()
for h in "${harnesses[@]}"; do
    corpus="build-fuzz/corpus/$h"
    artifacts="build-fuzz/artifacts/$h"
    mkdir -p "$corpus" "$artifacts" build-fuzz/logs
    find "tests/fuzz-regressions/$h" -type f ! -name '.*' -exec cp -n {} "$corpus/" \; 2>/dev/null || true
    max_len=4096
    case "$h" in
        picture)
            max_len=262144
            [ -d "$shared/images" ] && find "$shared/images" -type f -size -256k -exec cp -n {} "$corpus/" \; ;;
        metafile)
            max_len=262144
            [ -d "$shared" ] && find "$shared" -type f \( -iname '*.wmf' -o -iname '*.emf' \) -size -256k \
                -exec cp -n {} "$corpus/" \; ;;
        shortcut)
            [ -d "$shared" ] && find "$shared" -type f -iname '*.lnk' -size -64k -exec cp -n {} "$corpus/" \; ;;
    esac
    log="build-fuzz/logs/$h.log"
    echo "== fuzz_$h for $seconds s (log: $log)"
    set +e
    "build-fuzz/bench/fuzz/fuzz_$h" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 \
        -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1
    set -e
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
    found=$(find "$artifacts" -type f | wc -l)
    summary+=("$(printf '%-10s %12s executions  %3s findings  corpus %5s' "$h" "${runs:-?}" "$found" "$(ls "$corpus" | wc -l)")")
done
echo
printf '%s\n' "${summary[@]}"
