#!/bin/sh
# Builds the libFuzzer targets with clang-14 (-fsanitize=fuzzer,address,
# undefined; every library compiled with coverage) in a build folder of their
# own, and runs each target for a bounded time on its seed corpus (the seeds
# in fuzz/<folder>/corpus are read, new inputs go to <build>/corpus/<target>).
# Any crash, leak, UBSan report or timeout fails the run; the reproducer is
# left in <build>/artifacts/<target>/.
#
# usage: fuzz/run-all.sh [--plain] [--seconds N] [--runs N] [--timeout N] [--build-dir DIR]
#                        [--corpus DIR] [--jobs N] [target...]
#   --plain      build with coverage only (-O2, no sanitizer; default folder
#                <source>/build-fuzz-plain): several times the rate, for long
#                runs; afterwards replay their corpus through the sanitizer
#                build: --runs 0 --corpus <plain build>/corpus
#   --seconds    run time of each target (default 60)
#   --runs       also stop a target after this many executions (default: none)
#   --timeout    seconds one input may take before it counts as a hang
#                (default 10; raise it when the fuzzers run at a low priority
#                on a busy machine, where an input can wait that long for a CPU)
#   --build-dir  where to build (default <source>/build-fuzz)
#   --corpus     the corpus folders are DIR/<target> (default <build>/corpus)
#   --jobs       parallel compile jobs (default 2)
# Exit status 77 when clang-14 or libFuzzer is not installed.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
seconds=60
runs=-1
timeout=10
build=""
corpora=""
jobs=2
plain=0
while [ $# -gt 0 ]; do
    case "$1" in
    --plain) plain=1 ;;
    --seconds) seconds=$2; shift ;;
    --runs) runs=$2; shift ;;
    --timeout) timeout=$2; shift ;;
    --build-dir) build=$2; shift ;;
    --corpus) corpora=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    --*) echo "unknown option $1" >&2; exit 2 ;;
    *) break ;;
    esac
    shift
done
command -v clang++-14 >/dev/null 2>&1 || { echo "clang++-14 is missing (apt-get install clang-14 libclang-rt-14-dev)" >&2; exit 77; }
printf 'int main(){}\n' | clang++-14 -x c++ -fsanitize=fuzzer-no-link -c -o /dev/null - 2>/dev/null ||
    { echo "clang-14 cannot build fuzzers here" >&2; exit 77; }

all="fuzz_frame_reader fuzz_control_server fuzz_dot_doh_stream fuzz_blockpage_request fuzz_answer_parser fuzz_settings_readers fuzz_dns_wire"
targets=${*:-$all}
# The presets fuzz and fuzz-plain of CMakePresets.json: clang-14, every
# library compiled with coverage, ASan and UBSan unless --plain.
preset=fuzz
[ $plain = 1 ] && preset=fuzz-plain
build=${build:-$root/build-$preset}
launcher=""
command -v ccache >/dev/null 2>&1 && launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
if [ ! -f "$build/CMakeCache.txt" ]; then
    # shellcheck disable=SC2086 # two words, or none
    cmake -S "$root" --preset "$preset" -B "$build" $launcher >"$build.configure.log" 2>&1 ||
        { tail -n 30 "$build.configure.log" >&2; exit 1; }
fi
# shellcheck disable=SC2086 # one word per target
cmake --build "$build" -j "$jobs" --target $targets >"$build/build.log" 2>&1 ||
    { grep -E 'error|Error' "$build/build.log" | head -n 30 >&2; echo "fuzz build failed (see $build/build.log)" >&2; exit 1; }

folder_of() {
    case "$1" in
    fuzz_frame_reader) echo control ;;
    fuzz_control_server) echo control_server ;;
    fuzz_dot_doh_stream) echo stream ;;
    fuzz_blockpage_request) echo blockpage ;;
    fuzz_answer_parser) echo backend ;;
    fuzz_settings_readers) echo settings ;;
    fuzz_dns_wire) echo dns ;;
    esac
}

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"
# Qt keeps a few one-time allocations (caches made on first use) until exit;
# the suite's suppressions name them. Qt's own frames cannot be unwound, so
# they are matched by library.
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0:${LSAN_OPTIONS:-}"
export QT_QPA_PLATFORM=offscreen
failed=0
printf '\n| target | seconds | executions | exec/s | corpus | result |\n|---|---|---|---|---|---|\n'
for t in $targets; do
    bin="$build/fuzz/$t"
    seeds="$here/$(folder_of "$t")/corpus"
    work="${corpora:-$build/corpus}/$t"
    art="$build/artifacts/$t"
    mkdir -p "$work" "$art"
    [ -d "$seeds" ] || seeds=""
    log="$build/$t.log"
    started=$(date +%s)
    set +e
    # shellcheck disable=SC2086 # the seed folder, or nothing
    "$bin" -max_total_time="$seconds" -runs="$runs" -timeout="$timeout" -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 \
        -artifact_prefix="$art/" "$work" $seeds >"$log" 2>&1
    rc=$?
    set -e
    elapsed=$(($(date +%s) - started))
    execs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log" | tail -n 1)
    per=$(awk '/stat::average_exec_per_sec/ {print $2}' "$log" | tail -n 1)
    corpus=$(find "$work" -mindepth 1 -maxdepth 1 | wc -l)
    result=ok
    if [ $rc -ne 0 ]; then
        result="FAILED (exit $rc, see $log)"
        failed=1
    fi
    printf '| %s | %s | %s | %s | %s | %s |\n' "$t" "$elapsed" "${execs:-?}" "${per:-?}" "$corpus" "$result"
done
exit $failed
