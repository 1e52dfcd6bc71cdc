#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Runs the fuzz targets one after the other, each for SECONDS, and prints
# per target its executions, its coverage and the result. A crash, a
# sanitizer report or a broken invariant fails the run; the input that
# caused it is copied into fuzz/regressions/<target>/, which the normal
# suite replays, and is to be committed with the fix.
# Usage: run-fuzzers.sh BUILD-DIR SECONDS [TARGET...]
set -u
build_dir=$1
seconds=$2
shift 2
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$build_dir/fuzz-work
targets=$*
if [ -z "$targets" ]; then
    for program in "$build_dir"/fuzz/fuzz_*; do
        [ -f "$program" ] && [ -x "$program" ] && targets="$targets ${program##*/fuzz_}"
    done
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

status=0
summary=""
for target in $targets; do
    program=$build_dir/fuzz/fuzz_$target
    corpus=$work/corpus/$target
    findings=$work/findings/$target
    log=$work/$target.log
    mkdir -p "$corpus" "$findings"
    # An image runs to many lines; the streams and rows fit the default.
    max_len=4096
    [ "$target" = firmwareimage ] && max_len=16384
    # Qt 5.15's JSON parser leaks the first value of a repeated key when it
    # is an object or an array; that is Qt's, not the target's. LeakSanitizer
    # also checks once more at exit, which -detect_leaks does not turn off.
    leaks=1
    case $target in releasedescription|fleetpolicy) leaks=0 ;; esac

    echo "== $target: ${seconds} s"
    ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=$leaks" "$program" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
        -max_len="$max_len" -detect_leaks="$leaks" -dict="$source_dir/dictionaries/$target.dict" \
        -artifact_prefix="$findings/" "$corpus" "$source_dir/corpus/$target" >"$log" 2>&1
    result=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    if [ "$result" -eq 0 ]; then
        outcome=passed
    else
        outcome="FAILED (exit $result)"
        status=1
        tail -n 40 "$log"
        mkdir -p "$source_dir/regressions/$target"
        for finding in "$findings"/*; do
            [ -f "$finding" ] || continue
            cp "$finding" "$source_dir/regressions/$target/"
            echo "kept $finding as fuzz/regressions/$target/${finding##*/}: commit it with the fix"
        done
    fi
    summary="$summary$(printf '%-18s %12s executions  coverage %6s  %s' "$target" "${executions:-?}" "${coverage:-?}" "$outcome")
"
done

echo "== fuzz summary (${seconds} s per target; logs in $work)"
printf '%s' "$summary"
exit $status
