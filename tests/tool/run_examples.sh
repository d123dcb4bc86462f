#!/usr/bin/env bash
# Runs every example scenario that must pass, checks that the one that must
# fail stops at its step with exit code 1 and a message naming the step, and
# that every example machine description loads.
# Usage: run_examples.sh TOOL EXAMPLES_DIR
set -u
tool=$1
examples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

for scenario in "$examples"/*.json; do
    name=$(basename "$scenario")
    [ "$name" = wrong_expectation.json ] && continue
    if "$tool" --state "$work/state" run "$scenario" > "$work/out" 2>&1; then
        echo "ok: $name"
    else
        echo "FAILED: $name"
        cat "$work/out"
        failed=1
    fi
done

"$tool" --state "$work/state" run "$examples/wrong_expectation.json" > "$work/out" 2> "$work/err"
rc=$?
if [ $rc -ne 1 ]; then
    echo "FAILED: wrong_expectation.json exited with $rc, not 1"
    cat "$work/out" "$work/err"
    failed=1
elif ! grep -q 'step 2 "inputs that are not there" (read_inputs) failed: bytes: expected 00 00 00 00, got 78 56 34 12' "$work/err"; then
    echo "FAILED: wrong_expectation.json: the message does not name the step and the difference"
    cat "$work/err"
    failed=1
elif grep -q 'step 3' "$work/out"; then
    echo "FAILED: wrong_expectation.json: the run went on past the failed step"
    failed=1
else
    echo "ok: wrong_expectation.json fails at step 2"
fi

for machine in "$examples"/machines/*.json; do
    if "$tool" --state "$work/state" --machine "$machine" list > "$work/out" 2>&1; then
        echo "ok: machines/$(basename "$machine")"
    else
        echo "FAILED: machines/$(basename "$machine")"
        cat "$work/out"
        failed=1
    fi
done
exit $failed
