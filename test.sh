#!/usr/bin/env bash
# Builds Fotarik and runs every test headless. Installs missing Debian packages first.
#   ./test.sh              normal build (build/), all tests
#   ./test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/)
#   ./test.sh --tsan       ThreadSanitizer build (build-tsan/) of the tests of the folder walker,
#                          the one part with threads; only those are built and run
#   ./test.sh --format     formats every tracked C++ file with .clang-format, and nothing else
#   ./test.sh -R NAME      only the tests whose name matches NAME (passed to ctest)
set -euo pipefail
cd "$(dirname "$0")"

# The tracked C++ files, which .clang-format governs.
cxx_files() { git ls-files -z -- '*.cpp' '*.h' '*.c'; }

sanitize=OFF
tsan=OFF
builddir=build
ctest_args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --sanitize) sanitize=ON; builddir=build-asan ;;
        --tsan) tsan=ON; builddir=build-tsan ;;
        --format)
            ./scripts/install-deps.sh
            cxx_files | xargs -0 clang-format -i
            exit 0 ;;
        *) ctest_args+=("$1") ;;
    esac
    shift
done

./scripts/install-deps.sh --test

# CI fails on any formatting difference; ./test.sh --format fixes it.
if [ "${CI:-}" = true ] && ! cxx_files | xargs -0 clang-format --dry-run --Werror; then
    echo "Formatting differs from .clang-format: run ./test.sh --format" >&2
    exit 1
fi

buildtype=RelWithDebInfo
[ "$sanitize" = ON ] && buildtype=Debug
# The benchmarks are built (so they keep compiling) in the normal build only.
bench=ON
[ "$sanitize" = ON ] && bench=OFF
# CI builds with warnings as errors; a local build only shows them.
werror=OFF
[ "${CI:-}" = true ] && werror=ON
targets=()
if [ "$tsan" = ON ]; then
    bench=OFF
    targets=(--target tst_walker)
    ctest_args=(-R '^tst_walker$' "${ctest_args[@]}")
    # Reports go to the test's output; a report fails the test.
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
fi
cmake -S . -B "$builddir" -G Ninja -DCMAKE_BUILD_TYPE="$buildtype" -DFOTARIK_SANITIZE="$sanitize" \
    -DFOTARIK_TSAN="$tsan" -DFOTARIK_BENCH="$bench" -DFOTARIK_WERROR="$werror" >/dev/null
# A compiler cache (installed with the build packages) is shared by every clone on the machine.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(cd .. && pwd)}" CCACHE_NOHASHDIR=true
cmake --build "$builddir" --parallel "$(nproc)" "${targets[@]}"

export QT_QPA_PLATFORM=offscreen
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    XDG_RUNTIME_DIR="$(mktemp -d)"
    trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
fi
export XDG_RUNTIME_DIR
chmod 700 "$XDG_RUNTIME_DIR"
# As many tests at once as the machine has cores; those that must run alone say so.
ctest --test-dir "$builddir" --output-on-failure --timeout 600 --parallel "$(nproc)" "${ctest_args[@]}"
